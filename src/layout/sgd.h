// The edge-sampled attract/repel SGD of an embedding. The result is that of
// the strictly sequential order of updates, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/checked.h"

namespace tarnwick::layout {

struct EdgeSchedule {
  Buffer<double> neg_sample_period;
  Buffer<double> next_sample_epoch;
  Buffer<double> next_neg_sample_epoch;
};

// Built with the interpreter lock held, so that nothing run_epochs needs can
// fail to be allocated there (what it allocates, it can do without).
EdgeSchedule build_edge_schedule(const double* epochs_per_sample, std::size_t n_edges,
                                 std::uint64_t negative_sample_rate);

struct EdgeList {
  const std::int64_t* head;
  std::size_t head_len;
  const std::int64_t* tail;
  std::size_t tail_len;
  const double* epochs_per_sample;
  std::size_t n_edges;
};

struct LayoutParams {
  std::uint64_t n_epochs;
  double a;
  double b;
  double gamma;
  double initial_alpha;
  std::uint64_t seed;
};

// More negative samples than this for one edge in one epoch is a fault: only
// a vanishing sampling period gets there, and the call would not end.
inline constexpr std::uint64_t kMaxNegativeSamplesPerEdge = std::uint64_t{1} << 30;

// How the lanes raise distances to b: through the C library's pow lane by
// lane, or through the exact vector pow, which gives the library's bits
// where exact_pow_vector_enabled() is true (the module's choice).
enum class PowChoice { kLibrary, kVector };

// Optimises the n_vertices x dim row-major embedding in place. A fault or an
// interrupt leaves it part-way, to be discarded.
void run_epochs(double* embedding, std::size_t n_vertices, std::size_t dim, const EdgeList& edges,
                EdgeSchedule& schedule, const LayoutParams& params, PowChoice pow);

}  // namespace tarnwick::layout
