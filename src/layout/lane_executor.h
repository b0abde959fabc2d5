// The epochs of the layout with many runs of edges in flight, their
// arithmetic lane by lane in vector registers; bit for bit the result of
// processing the edges one by one.
#pragma once

#include <cstdint>

#include "layout/epoch_state.h"

namespace tarnwick::layout {

// Rows up to this width have a vector path.
inline constexpr std::size_t kMaxLaneDim = 16;

// Graphs whose rows, with 8 bytes per row of bookkeeping, fit in this many
// bytes have their runs booked onto ticks; larger ones queue them, which
// costs less per step once the rows miss the second-level cache.
inline constexpr std::size_t kBookingBytes = 512 * 1024;

// Runs all n_epochs on `state` and returns true, or returns false having
// changed nothing when this processor, the row width or the size has no
// vector path (or its bookkeeping cannot be allocated); the caller then runs
// the plain loop.
bool run_epochs_in_lanes(EpochState& state, std::uint64_t n_epochs);

}  // namespace tarnwick::layout
