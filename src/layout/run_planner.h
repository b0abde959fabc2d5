// Plans the work of an epoch as runs: consecutive due edges that share their
// head. Planning advances the schedule and draws the negative samples in edge
// order, exactly as processing the edges one by one would; what is left is
// arithmetic on rows, which a scheduler may reorder wherever rows are
// disjoint.
#pragma once

#include <cstddef>
#include <cstdint>

#include "layout/epoch_state.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace tarnwick::layout {

// One step of a run: the row it meets, and whether that is the edge's tail
// (attraction; the row is written) or a negative sample (repulsion; read).
// Samples that drew the head itself do nothing and are not planned.
// A step is coded as row << 1 | kAttract for an attraction, row << 1 for a
// repulsion; the lanes read the attraction bit as bit 0 (as a sign bit once
// shifted left by 63, as an index 0 or 1).
struct PlannedRun {
  static constexpr std::size_t kMaxSteps = 256;
  static constexpr std::uint32_t kAttract = 1;
  static_assert(kAttract == 1, "steps keep the row above bit 0");

  static constexpr std::uint32_t attraction(std::uint32_t row) { return (row << 1) | kAttract; }
  static constexpr std::uint32_t repulsion(std::uint32_t row) { return row << 1; }
  static constexpr std::uint32_t row_of(std::uint32_t step) { return step >> 1; }
  static constexpr bool attracts(std::uint32_t step) { return (step & kAttract) != 0; }

  std::uint32_t head_row = 0;
  std::uint32_t n_steps = 0;
  // One entry past the last step holds repulsion(0), for lanes that look
  // a step ahead.
  std::uint32_t steps[kMaxSteps + 1];
};

class RunPlanner {
 public:
  // Rows are coded in 31 bits.
  static constexpr std::uint64_t kMaxVertices = kMaxLaneVertices;
  static_assert(PlannedRun::row_of(PlannedRun::attraction(kMaxVertices - 1)) == kMaxVertices - 1);

  // `side_table` holds the entry of `entry_bytes` per vertex that the caller
  // will read for every planned row; it is fetched early along with the
  // rows, unless `fetch_rows` is false (they stay in cache anyway). Samples
  // beyond those drawn ahead are drawn by `draw`.
  RunPlanner(EpochState& state, const void* side_table, std::size_t entry_bytes, IndexDraw draw,
             bool fetch_rows)
      : state_(state),
        side_table_(static_cast<const char*>(side_table)),
        entry_bytes_(entry_bytes),
        draw_(draw),
        fetch_rows_(fetch_rows) {}

  void begin_epoch() {
    cursor_ = 0;
    stopped_ = false;
    block_ = kNoBlock;
    masked_end_ = 0;
  }

  bool stopped() const { return stopped_; }

  // The edge the plans stopped at (n_edges at the end of the epoch). Valid
  // once stopped() and every planned run has been executed; processing it
  // and calling resume_after() goes on with the epoch.
  std::size_t stop_edge() { return next_due(); }

  void resume_after(std::size_t edge) {
    cursor_ = edge + 1;
    stopped_ = false;
  }

  // Plans the due edges from the cursor on that share one head, stopping
  // before any edge that needs the checks of process_edge (a fault, a
  // self-loop, an unusually large sample count). False, and stopped(), when
  // the very next due edge is such an edge or there is none.
  bool plan(PlannedRun& run) {
    EpochState& st = state_;
    const std::size_t n_edges_all = st.edges.n_edges;
    EdgeTimes* const times = st.times;
    std::uint32_t tails[PlannedRun::kMaxSteps];
    std::uint64_t samples_of[PlannedRun::kMaxSteps];
    std::size_t n_edges = 0;
    std::uint64_t n_samples = 0;
    std::uint32_t head_row = 0;
    const RowFetch fetch = row_fetch();
    for (;;) {
      const std::size_t i = next_due();
      if (i >= n_edges_all) break;
      EdgeTimes& t = times[i];
      const std::uint32_t j = t.head;
      if (j == EdgeTimes::kCheckedRow || (n_edges > 0 && j != head_row)) break;
      const double period = st.neg_sample_period(t);
      const std::uint64_t n_neg = st.negative_samples_due(t, period);
      // Room for the edge and all its samples, none of them dropped.
      if (n_neg >= PlannedRun::kMaxSteps - (n_edges + n_samples)) break;

      if (n_edges == 0) {
        head_row = j;
        run.head_row = j;
        fetch.row(j);
      }
      tails[n_edges] = t.tail;
      samples_of[n_edges] = n_neg;
      ++n_edges;
      n_samples += n_neg;
      fetch.row(t.tail);
      st.advance_schedule(i, t, period, n_neg);
      cursor_ = i + 1;
    }
    if (n_edges == 0) {
      stopped_ = true;
      return false;
    }

    // The samples of all the run's edges, in edge order.
    std::uint64_t drawn[PlannedRun::kMaxSteps];
    st.samples.take(n_samples, drawn, draw_);
    const auto head = static_cast<std::uint64_t>(head_row);
    std::uint32_t* const steps = run.steps;
    std::uint32_t n_steps = 0;
    const std::uint64_t* sample = drawn;
    for (std::size_t e = 0; e < n_edges; ++e) {
      steps[n_steps++] = PlannedRun::attraction(tails[e]);
      // A sample that drew the head is written and then overwritten: a
      // branch here would be taken about once in n_vertices.
      for (const std::uint64_t* end = sample + samples_of[e]; sample != end; ++sample) {
        const std::uint64_t v = *sample;
        fetch.row(static_cast<std::uint32_t>(v));
        steps[n_steps] = PlannedRun::repulsion(static_cast<std::uint32_t>(v));
        n_steps += static_cast<std::uint32_t>(v != head);
      }
    }
    run.n_steps = n_steps;
    steps[n_steps] = PlannedRun::repulsion(0);
    return true;
  }

 private:
  // Edges are looked at in blocks of one bit each in a 64-bit word.
  static constexpr std::size_t kBlockEdges = 64;
  static_assert(kBlockEdges == 8 * sizeof(std::uint64_t));
  // The due edges' records are fetched early this many blocks ahead, their
  // next sample epochs (which say which are due) this many more.
  static constexpr std::size_t kBlocksAhead = 2;
  static constexpr std::size_t kKeysAhead = 2;
  static constexpr std::size_t kKeysPerLine = 64 / sizeof(double);

  // The first due edge at or after the cursor, from a bit mask of the due
  // edges of its block: an edge's due time changes only when it is
  // processed, so the mask of a block stays valid for the edges not yet
  // reached.
  std::size_t next_due() {
    const std::size_t n = state_.edges.n_edges;
    for (;;) {
      const std::size_t base = cursor_ & ~(kBlockEdges - 1);
      if (base >= n) return n;
      if (base != block_) load_block(base);
      const std::uint64_t ahead = due_ & (~std::uint64_t{0} << (cursor_ & (kBlockEdges - 1)));
      if (ahead != 0) return base + static_cast<std::size_t>(__builtin_ctzll(ahead));
      cursor_ = base + kBlockEdges;
    }
  }

  // Masks are worked out kBlocksAhead blocks before their block is reached
  // (blocks are reached in order), so that the records of its due edges can
  // be fetched: reads at due edges alone have gaps that keep the hardware
  // from streaming them in time.
  void load_block(std::size_t base) {
    const std::size_t n = state_.edges.n_edges;
    if (masked_end_ < base) masked_end_ = base;
    const std::size_t end = base + (kBlocksAhead + 1) * kBlockEdges;
    for (; masked_end_ < end && masked_end_ < n; masked_end_ += kBlockEdges) {
      const std::uint64_t due = due_mask(masked_end_);
      masks_[mask_slot(masked_end_)] = due;
      fetch_records(masked_end_, due);
      fetch_keys(masked_end_ + kKeysAhead * kBlockEdges);
    }
    due_ = masks_[mask_slot(base)];
    block_ = base;
  }

  static std::size_t mask_slot(std::size_t base) { return (base / kBlockEdges) % (kBlocksAhead + 1); }

  std::uint64_t due_mask(std::size_t base) const {
    const std::size_t n = state_.edges.n_edges;
    const std::size_t count = n - base < kBlockEdges ? n - base : kBlockEdges;
    const double* next = state_.next_sample + base;
    const double now = state_.epoch_f;
    std::uint64_t due = 0;
    std::size_t k = 0;
#if defined(__x86_64__)
    const __m128d now2 = _mm_set1_pd(now);
    for (; k + 2 <= count; k += 2) {
      due |= static_cast<std::uint64_t>(_mm_movemask_pd(EpochState::is_due2(_mm_loadu_pd(next + k), now2)))
             << k;
    }
#endif
    for (; k < count; ++k) due |= static_cast<std::uint64_t>(EpochState::is_due(next[k], now)) << k;
    return due;
  }

  // Records and rows are fetched into the second-level cache, not the first
  // (locality 2: prefetcht1 on x86): fetched into the first level too, the
  // planner stalled at its own fetches, and the lanes reach them in time
  // from the second.
  static constexpr int kFetchLocality = 2;

  // (Helpers that only prefetch are inlined by force: GCC takes them for
  // pure and drops the calls.)
  // A record may straddle two lines: its first and last bytes are fetched.
  [[gnu::always_inline]] void fetch_records(std::size_t base, std::uint64_t due) const {
    const EdgeTimes* const times = state_.times + base;
    for (; due != 0; due &= due - 1) {
      const char* const record = reinterpret_cast<const char*>(times + __builtin_ctzll(due));
      __builtin_prefetch(record, 1, kFetchLocality);
      __builtin_prefetch(record + sizeof(EdgeTimes) - 1, 1, kFetchLocality);
    }
  }

  [[gnu::always_inline]] void fetch_keys(std::size_t base) const {
    if (base + kBlockEdges > state_.edges.n_edges) return;
    for (std::size_t k = 0; k < kBlockEdges; k += kKeysPerLine) __builtin_prefetch(state_.next_sample + base + k, 1, 3);
  }

  // What fetching a row early needs, copied into locals: through the
  // members it was reloaded at every sample.
  struct RowFetch {
    const char* x;
    std::size_t row_bytes;
    const char* side;
    std::size_t entry_bytes;
    bool on;

    [[gnu::always_inline]] void row(std::uint32_t r) const {
      if (!on) return;
      __builtin_prefetch(x + static_cast<std::size_t>(r) * row_bytes, 1, kFetchLocality);
      __builtin_prefetch(side + static_cast<std::size_t>(r) * entry_bytes, 1, kFetchLocality);
    }
  };

  RowFetch row_fetch() const {
    return {reinterpret_cast<const char*>(state_.x), state_.dim * sizeof(double), side_table_, entry_bytes_,
            fetch_rows_};
  }

  static constexpr std::size_t kNoBlock = ~std::size_t{0};

  EpochState& state_;
  const char* const side_table_;
  const std::size_t entry_bytes_;
  const IndexDraw draw_;
  const bool fetch_rows_;
  std::size_t cursor_ = 0;
  bool stopped_ = false;
  std::size_t block_ = kNoBlock;  // the first edge of the block in due_
  std::uint64_t due_ = 0;
  std::size_t masked_end_ = 0;  // the blocks below it have their masks in masks_
  std::uint64_t masks_[kBlocksAhead + 1] = {};
};

}  // namespace tarnwick::layout
