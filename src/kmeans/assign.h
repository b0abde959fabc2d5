// The assignment step: every row of a block labelled with its nearest
// centroid, the products and the argmin fused so that no product ever goes
// to memory.
//
// The contract, the same on every machine and every instruction set:
// - The product of row i and centroid j is one chain of fused multiply-adds
//   over l = 0, 1, ..., d-1 starting from +0.0f:
//       acc = fma(X[i, l], C[j, l], acc)
//   Each fma rounds once, correctly, so a scalar loop and any vector lane
//   that performs this chain produce the same bits. The vector paths put
//   rows or centroids (never l) into lanes and so perform exactly this
//   chain per lane.
// - The score of centroid j is norms[j] - (acc + acc), two float roundings.
// - The label is what a scan j = 0, 1, ..., k-1 with best = +inf and a
//   strict `score < best` returns: ties keep the lower index, a NaN score
//   never wins, and a row whose scores are all NaN or +inf gets 0. With
//   d = 0 every product and every norm is 0, so every label is 0.
// So labels depend on the data alone, not on the CPU, the blocking or the
// thread count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Labels while iterating, half the memory traffic of the int64 result.
// k <= kMaxClusters is checked before any assignment.
using Label = std::int32_t;
inline constexpr std::uint64_t kMaxClusters = INT32_MAX;

// A block of rows to label: X is rows×d (row stride d), C is k×d, norms has
// k entries (the centroids' squared norms as plain float sums). C_laid_out,
// where given, is what lay_out_centroids wrote for this C: it spares every
// block laying the centroids out again. rows_after counts the rows of X that
// follow the block, which the kernel may fetch ahead (never reads) while it
// labels the block's last rows.
struct AssignBlock {
  const float* X;
  std::size_t rows;
  std::size_t d;
  const float* C;
  std::size_t k;
  const float* norms;
  const float* C_laid_out = nullptr;
  std::size_t rows_after = 0;
};

// Floats lay_out_centroids writes for k×d centroids; 0 where the kernel
// reads C as it is.
std::size_t laid_out_centroid_floats(std::size_t d, std::size_t k);

// The centroids as the kernel reads them, once per set of centroids.
void lay_out_centroids(const float* C, std::size_t d, std::size_t k, float* out);

// Floats of scratch one call of assign_rows needs for blocks of rows×d and
// k centroids: a group of rows, or the centroids, rearranged lanes-first;
// with `centroids_laid_out` the blocks bring C_laid_out, so none for those.
// Never more than max(rows, 32) × d.
std::size_t assign_scratch_floats(std::size_t rows, std::size_t d, std::size_t k,
                                  bool centroids_laid_out = false);

// Labels every row of the block into out, by the fastest path this process
// has. `scratch` holds assign_scratch_floats(b.rows, b.d, b.k, ...) floats.
void assign_rows(const AssignBlock& b, Label* out, float* scratch);

namespace assign_detail {

// How one instruction set's kernel tiles its work (assign_kernel.h): rows in
// lanes take `row_vectors` vectors of rows against `centroids` centroids at
// a time; centroids in lanes take `rows_one_vector` rows against one vector
// of centroids, or `rows_two_vectors` rows against two. A tile's
// accumulators, with the registers that feed them, fit the register file.
// Rows of at most four columns take `narrow_vectors` vectors of rows, one
// centroid at a time. Where centroids in lanes would run, up to
// `few_centroids` centroids (0: never) meet one vector of rows transposed in
// registers instead.
struct TileShape {
  std::size_t row_vectors;
  std::size_t centroids;
  std::size_t rows_one_vector;
  std::size_t rows_two_vectors;
  std::size_t narrow_vectors;
  std::size_t few_centroids;
};

// The first-level cache rule of rows in lanes. A group of rows, rearranged,
// is read again for every tile of centroids, and the centroids a group
// scans are read again by the next group: both stay in the first-level data
// cache only where they fit it together, or the fmas wait on the second
// level. kL1Bytes is the smallest first-level data cache of the machines
// served (32 KB on AMD Zen 3 and 4; recent Intel cores have 48 KB). The
// group and its block share three quarters of it (kWorkingBytes), the
// group taking at most half of the cache (kGroupBytes), which keeps the
// tiles' full height where rows are short; the last quarter holds the rows
// coming in, the norms and the stack.
inline constexpr std::size_t kL1Bytes = std::size_t{32} << 10;
inline constexpr std::size_t kWorkingBytes = kL1Bytes / 4 * 3;
inline constexpr std::size_t kGroupBytes = kL1Bytes / 2;

// Whether one vector of `width` rows of d floats and one tile of `tile`
// centroids fit kWorkingBytes: past that no blocking keeps the rule, and a
// group scans all k centroids at once.
constexpr bool l1_rule_holds(std::size_t d, std::size_t width, std::size_t tile) {
  return (width + tile) * d * sizeof(float) <= kWorkingBytes;
}

// Row vectors of `width` rows in a group at this d: as many as fit
// kGroupBytes, from 1 to `most`.
constexpr std::size_t group_vectors(std::size_t d, std::size_t width, std::size_t most) {
  const std::size_t fit = kGroupBytes / (width * (d == 0 ? 1 : d) * sizeof(float));
  return fit < 1 ? 1 : fit > most ? most : fit;
}

// Centroids of d floats in the block beside a group of `group_rows` rows:
// whole tiles of `tile` centroids, as many as fit what the group leaves of
// kWorkingBytes, at least one tile.
constexpr std::size_t block_centroids(std::size_t d, std::size_t group_rows, std::size_t tile) {
  const std::size_t row_bytes = (d == 0 ? 1 : d) * sizeof(float);
  const std::size_t group_bytes = group_rows * row_bytes;
  const std::size_t left = group_bytes < kWorkingBytes ? kWorkingBytes - group_bytes : 0;
  const std::size_t fit = left / row_bytes / tile * tile;
  return fit < tile ? tile : fit;
}

// One path's kernel, in its two arrangements: rows in lanes (any k), and
// centroids in lanes (k <= centroid_lanes). Scratch: scratch_rows·d floats
// for rows in lanes, centroid_lanes·d for centroids in lanes (none where the
// block brings them laid out).
struct Kernel {
  std::size_t scratch_rows;    // the most rows rows in lanes rearranges at once
  std::size_t tile_centroids;  // centroids a tile of rows in lanes takes
  std::size_t centroid_lanes;  // the most centroids the second arrangement takes
  std::size_t few_centroids;   // the most it takes with rows in lanes (TileShape)
  void (*labels)(const AssignBlock& b, Label* out, float* scratch);
  void (*centroid_labels)(const AssignBlock& b, Label* out, float* scratch);
  void (*lay_out_centroids)(const float* C, std::size_t d, std::size_t k, float* out);
};

// Centroids in lanes take one vector of them where k fits in half the
// kernel's centroid_lanes, else two.
constexpr bool one_centroid_vector(std::size_t k, std::size_t centroid_lanes) {
  return 2 * k <= centroid_lanes;
}

// Where centroids in lanes would run, k centroids meet rows in lanes instead
// (FewCentroids) from 1 up to the kernel's few_centroids.
constexpr bool few_centroid_rows(std::size_t k, std::size_t few_centroids) {
  return k >= 1 && k <= few_centroids;
}

// The kernel of each instruction set; all but the portable one sit in a file
// of their own compiled for their instruction set, and are only called where
// the CPU has it. assign_rows takes the widest the CPU has.
Kernel portable_kernel();
Kernel avx2_kernel();
Kernel avx512_kernel();
Kernel neon_kernel();

}  // namespace assign_detail
}  // namespace tarnwick
