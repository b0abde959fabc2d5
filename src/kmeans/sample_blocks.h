// The seeding sample in blocks of sixteen rows stored column by column: the
// seeding's distances then run one row per lane with no shuffles, and read
// each block as one stream. A full block takes the same 16·d floats either
// way, so the rows past the last full block keep their place, row by row.
#pragma once

#include <cstddef>
#include <vector>

#include "support/checked.h"

namespace tarnwick {

inline constexpr std::size_t kSampleBlockRows = 16;

// The rows of an m-row sample that lie in full blocks.
inline std::size_t blocked_rows(std::size_t m) { return m / kSampleBlockRows * kSampleBlockRows; }

// Where a row's elements lie in the blocked sample: element l at
// offset + l * stride.
struct RowPlace {
  std::size_t offset;
  std::size_t stride;
};

inline RowPlace row_place(std::size_t i, std::size_t m, std::size_t d) {
  if (i >= blocked_rows(m)) return {i * d, 1};
  const std::size_t block = i / kSampleBlockRows;
  return {block * kSampleBlockRows * d + i % kSampleBlockRows, kSampleBlockRows};
}

// Rearranges the full blocks of an m×d row-major sample in place, and puts
// them back. Every block rearranged is put back on every path: put_back()
// uses the pool, the destructor the calling thread for whatever an
// interrupted pass left.
class SampleBlocks {
 public:
  // Takes the scratch space of the passes; changes nothing yet.
  SampleBlocks(float* rows, std::size_t m, std::size_t d);
  ~SampleBlocks();
  SampleBlocks(const SampleBlocks&) = delete;
  SampleBlocks& operator=(const SampleBlocks&) = delete;

  void rearrange();
  void put_back();

 private:
  // Each piece of blocks has its own scratch block and its own flag, set
  // while its blocks are rearranged.
  void pass(std::size_t piece, bool to_blocks);
  // pass() on the pool, for every piece not yet in that arrangement.
  void pass_all(bool to_blocks);
  std::size_t first_block(std::size_t piece) const { return n_blocks_ * piece / n_pieces_; }

  float* const rows_;
  const std::size_t d_;
  const std::size_t n_blocks_;
  const std::size_t n_pieces_;
  Buffer<float> scratch_;
  std::vector<unsigned char> rearranged_;
};

}  // namespace tarnwick
