// The AVX2 variant of the seeding's distances over blocked rows
// (distances.h). Compiled with -mavx2; called only where the CPU has it.
#include "kmeans/distances.h"

#if defined(__x86_64__)
namespace tarnwick::distances_detail {

template <std::size_t G>
void keep_least_of_blocks_avx2(const float* blocks, std::size_t d, const float* centre, float* least,
                               bool first) {
  keep_least_of_blocks<G, 32>(blocks, d, centre, least, first);
}

template void keep_least_of_blocks_avx2<1>(const float*, std::size_t, const float*, float*, bool);
template void keep_least_of_blocks_avx2<kBlocksAtOnce>(const float*, std::size_t, const float*, float*, bool);

}  // namespace tarnwick::distances_detail
#endif
