#include "kmeans/sample_blocks.h"

#include <algorithm>
#include <cstring>

#include "kmeans/kmeans_core.h"
#include "support/worker_pool.h"

namespace tarnwick {

using kmeans_detail::element_count;
using kmeans_detail::work;

namespace {

// Pieces per worker: enough to even out, few enough that their scratch
// blocks stay small beside the sample.
constexpr std::size_t kPiecesPerWorker = 2;

}  // namespace

SampleBlocks::SampleBlocks(float* rows, std::size_t m, std::size_t d)
    : rows_(rows),
      d_(d),
      n_blocks_(d == 0 ? 0 : m / kSampleBlockRows),
      n_pieces_(std::min(n_blocks_, kPiecesPerWorker * worker_count())),
      scratch_(Buffer<float>::uninitialized(element_count(n_pieces_, element_count(kSampleBlockRows, d)))),
      rearranged_(n_pieces_, 0) {}

SampleBlocks::~SampleBlocks() {
  for (std::size_t p = 0; p < n_pieces_; ++p) {
    if (rearranged_[p]) pass(p, false);
  }
}

void SampleBlocks::rearrange() { pass_all(true); }

void SampleBlocks::put_back() { pass_all(false); }

void SampleBlocks::pass_all(bool to_blocks) {
  parallel_for(n_pieces_, 1, work(n_blocks_ * kSampleBlockRows, d_), [&](std::size_t b, std::size_t e) {
    for (std::size_t p = b; p < e; ++p) {
      if (static_cast<bool>(rearranged_[p]) != to_blocks) pass(p, to_blocks);
    }
  });
}

void SampleBlocks::pass(std::size_t piece, bool to_blocks) {
  constexpr std::size_t R = kSampleBlockRows;
  const std::size_t d = d_;
  float* const scratch = scratch_.data() + piece * R * d;
  for (std::size_t b = first_block(piece); b < first_block(piece + 1); ++b) {
    float* const block = rows_ + b * R * d;
    std::memcpy(scratch, block, R * d * sizeof(float));
    if (to_blocks) {
      for (std::size_t r = 0; r < R; ++r)
        for (std::size_t l = 0; l < d; ++l) block[l * R + r] = scratch[r * d + l];
    } else {
      for (std::size_t l = 0; l < d; ++l)
        for (std::size_t r = 0; r < R; ++r) block[r * d + l] = scratch[l * R + r];
    }
  }
  rearranged_[piece] = to_blocks;
}

}  // namespace tarnwick
