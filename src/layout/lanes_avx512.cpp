// The lanes compiled with AVX-512 (F, DQ and VL) allowed: the same
// operations as the AVX2 lanes, held in twice as many vector registers, so
// that fewer values spill, pow(s, b - 1) only in groups that attract, and
// the sample draws' 64-bit products in one instruction.
// Run only where the processor has AVX-512.
#include "layout/lane_isa_avx512.h"
// (before any lane header)
#include "layout/lane_runs.h"

#if defined(__x86_64__)
namespace tarnwick::layout {

bool run_epochs_in_avx512_lanes(EpochState& state, std::uint64_t n_epochs, bool vector_pow) {
  return run_lanes_of_width(state, n_epochs, vector_pow);
}

}  // namespace tarnwick::layout
#endif
