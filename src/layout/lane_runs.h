// A whole run of epochs through the lanes, for one row width and b: the
// scheduler the graph calls for, with its table of one entry per vertex.
// Included by each file that compiles the lanes for an instruction set.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "layout/booking_scheduler.h"
#include "layout/epoch_state.h"
#include "layout/lane_dispatch.h"
#include "layout/queue_scheduler.h"

#if defined(__x86_64__)

namespace tarnwick::layout {
// Internal linkage, as in lane_steps.h: each file has its own instantiations.
namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// The scheduler and its table of one entry per vertex (zeroed).
template <class Scheduler, class Entry>
bool run_with(EpochState& state, std::uint64_t n_epochs, bool vector_pow) {
  // calloc: untouched pages cost nothing until a row is used.
  std::unique_ptr<Entry, FreeDeleter> table(
      static_cast<Entry*>(std::calloc(state.n_vertices == 0 ? 1 : state.n_vertices, sizeof(Entry))));
  if (!table) return false;
  std::unique_ptr<Scheduler> scheduler(new (std::nothrow) Scheduler(state, table.get(), vector_pow));
  if (!scheduler) return false;
  for (std::uint64_t e = 0; e < n_epochs; ++e) {
    state.begin_epoch(e);
    scheduler->run_epoch();
  }
  return true;
}

template <std::size_t kDim, bool kUnitB>
bool run_lanes(EpochState& state, std::uint64_t n_epochs, bool vector_pow) {
  if (books_runs(state)) {
    return run_with<BookingScheduler<kDim, kUnitB>, RowTicks>(state, n_epochs, vector_pow);
  }
  return run_with<QueueScheduler<kDim, kUnitB>, RowUsers>(state, n_epochs, vector_pow);
}

using LaneRun = bool (*)(EpochState&, std::uint64_t, bool);

template <bool kUnitB, std::size_t... kDimLess1>
constexpr std::array<LaneRun, sizeof...(kDimLess1)> lane_runs(std::index_sequence<kDimLess1...>) {
  return {&run_lanes<kDimLess1 + 1, kUnitB>...};
}

// For 1 <= state.dim <= kMaxLaneDim.
bool run_lanes_of_width(EpochState& state, std::uint64_t n_epochs, bool vector_pow) {
  static constexpr auto kRunsGeneralB = lane_runs<false>(std::make_index_sequence<kMaxLaneDim>());
  static constexpr auto kRunsUnitB = lane_runs<true>(std::make_index_sequence<kMaxLaneDim>());
  const auto& runs = state.consts.b == 1.0 ? kRunsUnitB : kRunsGeneralB;
  return runs[state.dim - 1](state, n_epochs, vector_pow);
}

}  // namespace
}  // namespace tarnwick::layout

#endif  // __x86_64__
