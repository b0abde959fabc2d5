// The edge-sampled attract/repel SGD of an embedding. The result is that of
// the strictly sequential order of updates, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/checked.h"

namespace tarnwick::layout {

struct EdgeList {
  const std::int64_t* head;
  std::size_t head_len;
  const std::int64_t* tail;
  std::size_t tail_len;
  const double* epochs_per_sample;
  std::size_t n_edges;
};

// The lanes code rows in 31 bits.
inline constexpr std::uint64_t kMaxLaneVertices = std::uint64_t{1} << 31;

// What a due edge reads and advances besides its next sample epoch, in one
// 24-byte record: the fewer bytes the due edges' records take, the more of
// them stay in the second-level cache. The negative-sample period is not
// kept: it is epochs_per_sample / the schedule's rate, the same division
// every time. The rows are copied for the planner: kCheckedRow where the
// edge must take the checked path (a row out of range or missing, a
// self-loop).
struct EdgeTimes {
  static constexpr std::uint32_t kCheckedRow = ~std::uint32_t{0};

  double next_neg_sample_epoch;
  double epochs_per_sample;
  std::uint32_t head;
  std::uint32_t tail;
};
static_assert(sizeof(EdgeTimes) == 24);

// next_sample_epoch is apart: finding the due edges scans it alone. An edge
// that is never due (epochs_per_sample not NaN and not above 0) has it +inf,
// so that being due is just !(next_sample_epoch > epoch). neg_rate divides
// an edge's epochs_per_sample into its negative-sample period.
struct EdgeSchedule {
  Buffer<double> next_sample_epoch;
  Buffer<EdgeTimes> times;
  double neg_rate;
};

inline double neg_sample_period(const EdgeTimes& t, double neg_rate) { return t.epochs_per_sample / neg_rate; }

// Built with the interpreter lock held, so that nothing run_epochs needs can
// fail to be allocated there (what it allocates, it can do without).
EdgeSchedule build_edge_schedule(const EdgeList& edges, std::size_t n_vertices,
                                 std::uint64_t negative_sample_rate);

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
