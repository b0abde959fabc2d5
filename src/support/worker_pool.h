// The process-wide worker pool that runs the data-parallel steps of kmeans.
//
// Every parallel step cuts [0, n) into contiguous pieces by recursive halving
// (lower floor(len/2) indices, then the rest) until a piece holds at most
// `grain` indices. The cutting depends on n and grain only, never on the
// thread count or on timing, so reductions combine the same partial results
// in the same tree on every run and for every pool size.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace tarnwick {

struct Piece {
  std::size_t begin;
  std::size_t end;
};

// The pieces of [0, n) for the given grain (grain 0 counts as 1), in index order.
std::vector<Piece> cut_range(std::size_t n, std::size_t grain);

// T, the number of worker threads; creates the pool on first use.
std::size_t worker_count();

// Runs body(context, piece_index, begin, end) for every piece, on the pool
// (or on the calling thread when the step is too small to pay for waking the
// workers), and returns when all have run. A fault in a piece does not stop
// the others; afterwards the fault of the earliest faulting piece is
// rethrown on the calling thread.
using PieceFn = void (*)(void* context, std::size_t piece, std::size_t begin, std::size_t end);
void run_pieces(const std::vector<Piece>& pieces, PieceFn body, void* context,
                std::size_t work_estimate);

// body(begin, end) over the pieces. work_estimate is a rough count of
// element operations in the whole step, used only to decide whether to wake
// the workers (never to cut).
template <class Body>
void parallel_for(std::size_t n, std::size_t grain, std::size_t work_estimate, Body&& body) {
  std::vector<Piece> pieces = cut_range(n, grain);
  auto trampoline = [](void* ctx, std::size_t, std::size_t b, std::size_t e) {
    (*static_cast<Body*>(ctx))(b, e);
  };
  run_pieces(pieces, trampoline, &body, work_estimate);
}

// Each piece folds its indices in ascending order into a fresh accumulator
// (fold(acc, begin, end)); the partial results are then merged along the
// halving tree in index order: combine(lower, upper) folds upper into lower.
template <class Acc, class Make, class Fold, class Combine>
Acc parallel_reduce(std::size_t n, std::size_t grain, std::size_t work_estimate, Make&& make,
                    Fold&& fold, Combine&& combine) {
  std::vector<Piece> pieces = cut_range(n, grain);
  std::vector<std::optional<Acc>> partial(pieces.size());
  struct Context {
    Make& make;
    Fold& fold;
    std::vector<std::optional<Acc>>& partial;
  } ctx{make, fold, partial};
  auto trampoline = [](void* raw, std::size_t piece, std::size_t b, std::size_t e) {
    auto& c = *static_cast<Context*>(raw);
    Acc acc = c.make();
    c.fold(acc, b, e);
    c.partial[piece].emplace(std::move(acc));
  };
  run_pieces(pieces, trampoline, &ctx, work_estimate);

  // Walk the same halving as cut_range; pieces are numbered in index order.
  std::size_t next_piece = 0;
  std::size_t g = grain == 0 ? 1 : grain;
  auto merge = [&](auto& self, std::size_t len) -> Acc {
    if (len <= g || len / 2 == 0) return std::move(*partial[next_piece++]);
    Acc lower = self(self, len / 2);
    Acc upper = self(self, len - len / 2);
    combine(lower, upper);
    return lower;
  };
  if (pieces.empty()) return make();
  return merge(merge, n);
}

}  // namespace tarnwick
