// The epochs of the layout with many runs of edges in flight, their
// arithmetic lane by lane in vector registers; bit for bit the result of
// processing the edges one by one. Here: whether the lanes run, and which
// scheduler drives them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "layout/epoch_state.h"
#include "layout/sgd.h"

namespace tarnwick::layout {

// Rows up to this width have a vector path.
inline constexpr std::size_t kMaxLaneDim = 16;

// The most vertices with rows of `dim` coordinates whose runs are booked
// onto ticks whatever the schedule; larger graphs queue them unless their
// runs are crowded (see books_runs).
std::size_t max_booked_vertices(std::size_t dim);

// Whether the lanes book the runs of this graph and schedule onto ticks
// (else they queue them).
bool books_runs(const EpochState& state);

// Whether runs share rows so often that a booked schedule keeps only a few
// lanes busy: its runs then go to the first group of lanes where they can,
// and a tick whose other lanes are idle steps that group alone.
bool crowds_lanes(const EpochState& state);

// The instruction sets the lanes are compiled for; each computes the same bits.
enum class LaneSet { kAvx2, kAvx512 };

// The widest set this processor runs the lanes with (decided once per
// process); kAvx2 also where it has neither.
LaneSet widest_lane_set();

// Runs all n_epochs on `state` and returns true, or returns false having
// changed nothing when this processor, the row width or the size has no
// vector path (or its bookkeeping cannot be allocated); the caller then runs
// the plain loop. `pow` picks how the lanes raise distances to b, `set` the
// instruction set (one this processor has, or false is returned).
bool run_epochs_in_lanes(EpochState& state, std::uint64_t n_epochs, PowChoice pow,
                         LaneSet set = widest_lane_set());

#if defined(__x86_64__)
// The lanes of each set, for rows of 1 to kMaxLaneDim coordinates on a
// processor that has the set.
bool run_epochs_in_avx2_lanes(EpochState& state, std::uint64_t n_epochs, bool vector_pow);
bool run_epochs_in_avx512_lanes(EpochState& state, std::uint64_t n_epochs, bool vector_pow);
#endif

}  // namespace tarnwick::layout
