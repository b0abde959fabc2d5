// The fused assignment kernel, written once over a vector type V and
// compiled once per instruction set (assign_*.cpp, with V from the matching
// assign_*.h). Included only by those files (and their test-only twins
// under tests/native), each of which instantiates it inside an anonymous
// namespace: code compiled for a wider instruction set must never be
// shared, through the linker, with code that runs on any CPU. For the same
// reason it uses no library templates.
//
// Four layouts. In the general one (FusedAssign) lanes are rows: a group of
// up to G vectors of W rows is first rearranged so that, for each l, the
// group's X[., l] lie side by side; then for each tile of M centroids and
// each l, one broadcast of C[j, l] per centroid and one fma per (row vector,
// centroid). So every lane performs exactly the chain of the contract in
// assign.h. The running best score and label of each row stay in registers
// across all k centroids. Rows of at most four columns skip the
// rearranging: their columns stay in registers (NarrowRows). For long rows
// and few centroids, lanes are centroids instead (CentroidLanes), or, with
// fewer centroids than fill a vector's lanes, rows again, transposed in
// registers (FewCentroids, assign_few_centroids.h, where V has columns8).
//
// V provides: kWidth; types F (floats), I (int32 labels), Mask; zero,
// load, set1, fma(a, b, c) = a·b + c rounded once, add, sub, less (ordered
// a < b), select(mask, a, b) = mask ? a : b for F and I, set1_label,
// add_labels (lanewise int32 sums),
// store, store_labels, load_labels; kTiles (its TileShape); optionally columns8 (see
// rearrange), columns<D> (see NarrowRows), and least_lane (the least of W
// floats, none NaN) or least_everywhere (that least in every lane) with
// equal_bits (bit r set where lane r of a equals lane r of b) for the
// centroid lanes' scan, and transpose (lane e of W vectors to lane r of
// vector e) for their square tiles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kmeans/assign_few_centroids.h"
#include "kmeans/assign_kernel_parts.h"

namespace tarnwick::assign_detail {
namespace {

template <class V, std::size_t G, std::size_t M>
struct FusedAssign {
  using F = typename V::F;
  using I = typename V::I;
  static constexpr std::size_t W = V::kWidth;
  static constexpr std::size_t kGroupRows = G * W;

  // Rows [0, NV·W) of X into `panel` lanes-first: X[r, l] goes to
  // panel[(l·NV + r / W)·W + r % W]. Eight columns at a time by register
  // transposes where V has them (V::columns8: columns 0-7 of W rows).
  template <std::size_t NV>
  static void rearrange(const float* X, std::size_t d, float* panel) {
    constexpr std::size_t kStride = NV * W;
    for (std::size_t g = 0; g < NV; ++g) {
      const float* rows = X + g * W * d;
      float* dst = panel + g * W;
      std::size_t l = 0;
      if constexpr (requires(F* column) { V::columns8(rows, d, column); }) {
        for (; l + 8 <= d; l += 8) {
          F column[8];
          V::columns8(rows + l, d, column);
#pragma GCC unroll 8
          for (std::size_t c = 0; c < 8; ++c) V::store(dst + (l + c) * kStride, column[c]);
        }
      }
      // Column by column: W stores side by side per column, with no loop
      // overhead per element (this is all of it for narrow rows).
      for (; l < d; ++l)
#pragma GCC unroll 16
        for (std::size_t r = 0; r < W; ++r) dst[l * kStride + r] = rows[r * d + l];
    }
  }

  // Rows fetched into the second-level cache while tiles run, from `from`
  // up to `end`: one cache line every kFetchEvery columns of a tile, so that
  // a few misses are in flight at any time; a burst of them stalls the
  // fmas until the misses are served.
  struct Fetch {
    const float* from;
    const float* end;
  };
  static constexpr std::size_t kFetchEvery = 4;

  // acc[g][m] = the chain of row vector g with centroid j0 + m; fetching
  // ahead where `fetch` is given.
  template <std::size_t NV, std::size_t MM>
  [[gnu::always_inline]] static inline void tile(const float* panel, const AssignBlock& b,
                                                 std::size_t j0, F (&acc)[NV][MM],
                                                 Fetch* fetch = nullptr) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < NV; ++g)
#pragma GCC unroll 8
      for (std::size_t m = 0; m < MM; ++m) acc[g][m] = V::zero();
    const std::size_t d = b.d;
    const float* c = b.C + j0 * d;
    const float* from = fetch ? fetch->from : nullptr;
    const float* const end = fetch ? fetch->end : nullptr;
    for (std::size_t l = 0; l < d; ++l) {
      F x[NV];
#pragma GCC unroll 8
      for (std::size_t g = 0; g < NV; ++g) x[g] = V::load(panel + (l * NV + g) * W);
      if (l % kFetchEvery == 0 && from < end) {
        __builtin_prefetch(from, 0, kToSecondLevel);
        from += kLineFloats;
      }
#pragma GCC unroll 8
      for (std::size_t m = 0; m < MM; ++m) {
        const F cm = V::set1(c[m * d + l]);
#pragma GCC unroll 8
        for (std::size_t g = 0; g < NV; ++g) acc[g][m] = V::fma(x[g], cm, acc[g][m]);
      }
    }
    if (fetch) fetch->from = from;
  }

  // Folds centroids j0 .. j0 + MM - 1 into each row's running best.
  template <std::size_t NV, std::size_t MM>
  static void fold(const float* panel, const AssignBlock& b, std::size_t j0, F (&best)[NV],
                   I (&label)[NV], Fetch* fetch) {
    F acc[NV][MM];
    tile<NV, MM>(panel, b, j0, acc, fetch);
    fold_scores<V>(acc, b.norms, j0, best, label);
  }

  // Folds centroids [j0, j1) into the group's labels in out: from the
  // running best in `best_in` and the labels in out, or from the start
  // where best_in is null; the running best goes to best_out where given.
  template <std::size_t NV>
  static void label_group(const float* panel, const AssignBlock& b, std::size_t j0,
                          std::size_t j1, const float* best_in, float* best_out, Label* out,
                          Fetch* fetch = nullptr) {
    F best[NV];
    I label[NV];
    for (std::size_t g = 0; g < NV; ++g) {
      best[g] = best_in ? V::load(best_in + g * W) : V::set1(kPlusInf);
      label[g] = best_in ? V::load_labels(out + g * W) : V::set1_label(0);
    }
    std::size_t j = j0;
    for (; j + M <= j1; j += M) fold<NV, M>(panel, b, j, best, label, fetch);
    with_count<M>(j1 - j, [&](auto mm) { fold<NV, decltype(mm)::value>(panel, b, j, best, label, fetch); });
    for (std::size_t g = 0; g < NV; ++g) {
      if (best_out) V::store(best_out + g * W, best[g]);
      V::store_labels(out + g * W, label[g]);
    }
  }

  // Prefetch locality hints: into the first-level cache, or the second.
  static constexpr int kToFirstLevel = 3;
  static constexpr int kToSecondLevel = 2;
  static constexpr std::size_t kLineFloats = 64 / sizeof(float);

  // Fetches up to `floats` floats from `from` (before `end`) into the cache
  // level kLocality names, one line at a time, and moves `from` past them.
  template <int kLocality = kToSecondLevel>
  static void prefetch_slice(const float*& from, const float* end, std::size_t floats) {
    const float* stop = end - from > static_cast<std::ptrdiff_t>(floats) ? from + floats : end;
    for (; from < stop; from += kLineFloats) __builtin_prefetch(from, 0, kLocality);
  }

  // Row vectors a group takes at this row length (the rule in assign.h).
  static std::size_t vectors(std::size_t d) { return group_vectors(d, W, G); }

  // Each group rearranged into the panel before group() runs on it; while
  // a whole group runs, the next one's rows are fetched.
  template <class Group, class Row>
  static void each_group(const AssignBlock& b, float* panel, Group&& group, Row&& row) {
    const std::size_t nv = vectors(b.d);
    each_row_group<G, W>(
        b.rows, nv,
        [&](auto n, std::size_t i) {
          constexpr std::size_t NV = decltype(n)::value;
          rearrange<NV>(b.X + i * b.d, b.d, panel);
          if (NV == nv && i + 2 * NV * W <= b.rows) {
            const float* next = b.X + (i + NV * W) * b.d;
            prefetch_slice<kToFirstLevel>(next, b.X + b.rows * b.d, NV * W * b.d);
          }
          group(n, i);
        },
        row);
  }

  // Rows whose groups share each block of centroids, rearranged at once: at
  // most kChunkRows, and at most kChunkBytes of them, half the smallest
  // second-level cache served (512 KB on Zen 3).
  static constexpr std::size_t kChunkRows = 256;
  static constexpr std::size_t kChunkBytes = std::size_t{256} << 10;
  static_assert(kChunkRows % W == 0 && kChunkRows >= kGroupRows);
  static std::size_t chunk_rows(std::size_t d) {
    const std::size_t fit = kChunkBytes / (d * sizeof(float)) / W * W;
    return fit < W ? W : fit > kChunkRows ? kChunkRows : fit;
  }


  // With more centroids than one block holds, the block's whole vectors go
  // in chunks: each chunk's groups rearranged together, then every block of
  // centroids scanned by each group in turn, so that a block stays in the
  // first-level cache across the chunk while each group's running best and
  // labels wait in memory between blocks. Each row still meets the
  // centroids in ascending j, so the labels are those of one scan. Fewer
  // centroids, rows too long for the rule, or blocks short of a vector: one
  // group at a time against all k.
  static void labels(const AssignBlock& b, Label* out, float* scratch) {
    const std::size_t d = b.d, nv = vectors(d), kb = block_centroids(d, nv * W, M);
    if (b.k <= kb || !l1_rule_holds(d, W, M) || b.rows < W) {
      each_group(
          b, scratch,
          [&](auto n, std::size_t i) {
            label_group<decltype(n)::value>(scratch, b, 0, b.k, nullptr, nullptr, out + i);
          },
          [&](std::size_t i) { out[i] = scalar_label(b.X + i * d, b); });
      return;
    }
    const std::size_t whole = b.rows / W * W, chunk = chunk_rows(d);
    alignas(64) float best[kChunkRows];
    for (std::size_t c = 0; c < whole; c += chunk) {
      const std::size_t rows = whole - c < chunk ? whole - c : chunk;
      const float* X = b.X + c * d;
      const auto no_row = [](std::size_t) {};
      each_row_group<G, W>(
          rows, nv,
          [&](auto n, std::size_t i) {
            // The first chunk was not fetched ahead: its next group is,
            // while this one is rearranged.
            constexpr std::size_t NV = decltype(n)::value;
            if (c == 0 && i + NV * W < rows) {
              const float* next = X + (i + NV * W) * d;
              prefetch_slice(next, X + rows * d, NV * W * d);
            }
            rearrange<NV>(X + i * d, d, scratch + i * d);
          },
          no_row);
      // The next chunk's rows are fetched into the second-level cache while
      // the tiles run (Fetch): its rearranging otherwise waits on memory
      // line by line. The last chunk fetches the first chunk after the
      // block, as far as X goes.
      const std::size_t after = b.rows + b.rows_after - (c + rows);
      Fetch ahead{X + rows * d, X + (rows + (after < chunk ? after : chunk)) * d};
      for (std::size_t j0 = 0; j0 < b.k; j0 += kb) {
        const std::size_t j1 = b.k - j0 < kb ? b.k : j0 + kb;
        each_row_group<G, W>(
            rows, nv,
            [&](auto n, std::size_t i) {
              label_group<decltype(n)::value>(scratch + i * d, b, j0, j1, j0 == 0 ? nullptr : best + i,
                                              j1 == b.k ? nullptr : best + i, out + c + i, &ahead);
            },
            no_row);
      }
    }
    // The rows short of a vector: the block's last W rows as one vector.
    if (whole < b.rows) {
      rearrange<1>(b.X + (b.rows - W) * d, d, scratch);
      label_group<1>(scratch, b, 0, b.k, nullptr, nullptr, out + b.rows - W);
    }
  }

};

// Rows in lanes again, for rows of at most kNarrowMax columns: a vector's
// columns go straight into registers (V::columns<D> where V has it) and
// stay there across all k centroids, with no panel and no loop over l.
inline constexpr std::size_t kNarrowMax = 4;
template <class V, std::size_t G>
struct NarrowRows {
  using F = typename V::F;
  using I = typename V::I;
  static constexpr std::size_t W = V::kWidth;

  // Columns 0..D-1 of W rows of D columns.
  template <std::size_t D>
  [[gnu::always_inline]] static inline void load_columns(const float* rows, F (&x)[D]) {
    if constexpr (requires(F(&c)[D]) { V::template columns<D>(rows, c); }) {
      V::template columns<D>(rows, x);
    } else {
      alignas(64) float column[D][W];
#pragma GCC unroll 16
      for (std::size_t r = 0; r < W; ++r)
#pragma GCC unroll 4
        for (std::size_t l = 0; l < D; ++l) column[l][r] = rows[r * D + l];
#pragma GCC unroll 4
      for (std::size_t l = 0; l < D; ++l) x[l] = V::load(column[l]);
    }
  }

  // acc[g][m] = the chain of row vector g with centroid j0 + m.
  template <std::size_t D, std::size_t NV, std::size_t MM>
  [[gnu::always_inline]] static inline void chains(const F (&x)[NV][D], const float* C,
                                                   std::size_t j0, F (&acc)[NV][MM]) {
#pragma GCC unroll 8
    for (std::size_t m = 0; m < MM; ++m) {
      const float* c = C + (j0 + m) * D;
#pragma GCC unroll 8
      for (std::size_t g = 0; g < NV; ++g) acc[g][m] = V::zero();
#pragma GCC unroll 4
      for (std::size_t l = 0; l < D; ++l) {
        const F cl = V::set1(c[l]);
#pragma GCC unroll 8
        for (std::size_t g = 0; g < NV; ++g) acc[g][m] = V::fma(x[g][l], cl, acc[g][m]);
      }
    }
  }

  // One centroid at a time, its label vector counted up rather than
  // broadcast afresh: with the group's columns, bests and labels in
  // registers, the centroid's broadcasts and one chain per row vector are
  // all the tile holds, so nothing spills.
  template <std::size_t D, std::size_t NV>
  static void label_group(const float* rows, const AssignBlock& b, Label* out) {
    F x[NV][D];
    for (std::size_t g = 0; g < NV; ++g) load_columns<D>(rows + g * W * D, x[g]);
    F best[NV];
    I label[NV];
    for (std::size_t g = 0; g < NV; ++g) {
      best[g] = V::set1(kPlusInf);
      label[g] = V::set1_label(0);
    }
    const I one = V::set1_label(1);
    I index = V::set1_label(0);
#pragma GCC unroll 2
    for (std::size_t j = 0; j < b.k; ++j) {
      F acc[NV][1];
      chains<D, NV, 1>(x, b.C, j, acc);
      const F norm = V::set1(b.norms[j]);
#pragma GCC unroll 8
      for (std::size_t g = 0; g < NV; ++g) fold_score<V>(acc[g][0], norm, index, best[g], label[g]);
      index = V::add_labels(index, one);
    }
    for (std::size_t g = 0; g < NV; ++g) V::store_labels(out + g * W, label[g]);
  }

  template <std::size_t D>
  static void labels_of(const AssignBlock& b, Label* out) {
    each_row_group<G, W>(
        b.rows,
        [&](auto nv, std::size_t i) {
          label_group<D, decltype(nv)::value>(b.X + i * D, b, out + i);
        },
        [&](std::size_t i) { out[i] = scalar_label(b.X + i * D, b); });
  }

  // With 1 <= b.d <= kNarrowMax.
  static void labels(const AssignBlock& b, Label* out) {
    with_count<kNarrowMax + 1>(b.d, [&](auto dd) { labels_of<decltype(dd)::value>(b, out); });
  }

};

// The contract's scan over one row's scores, lanes being centroids: the
// first j holding the least score, where that is below +inf, else 0. NaN
// scores become +inf first, so they never win; equal scores (-0 and +0
// among them) keep the first. Lanes past k must hold +inf or NaN.
template <class V, std::size_t Q>
[[gnu::always_inline]] inline Label first_least(const typename V::F (&score)[Q]) {
  constexpr std::size_t W = V::kWidth;
  if constexpr (requires(typename V::F v) { V::equal_bits(v, v); } &&
                (requires(typename V::F v) { V::least_lane(v); } ||
                 requires(typename V::F v) { V::least_everywhere(v); })) {
    const typename V::F inf = V::set1(kPlusInf);
    typename V::F s[Q];
#pragma GCC unroll 4
    for (std::size_t q = 0; q < Q; ++q) s[q] = V::select(V::less(score[q], inf), score[q], inf);
    typename V::F least = s[0];
#pragma GCC unroll 4
    for (std::size_t q = 1; q < Q; ++q) least = V::select(V::less(s[q], least), s[q], least);
    typename V::F lv;
    if constexpr (requires(typename V::F v) { V::least_everywhere(v); }) {
      // Where the least is +inf every lane holds it, and the first lane,
      // 0, is the label without a test.
      lv = V::least_everywhere(least);
    } else {
      const float l = V::least_lane(least);
      if (!(l < kPlusInf)) return 0;
      lv = V::set1(l);
    }
    // All lanes' bits in one word, so that no branch guesses the vector.
    static_assert(Q * W <= 32);
    std::uint32_t bits = 0;
#pragma GCC unroll 4
    for (std::size_t q = 0; q < Q; ++q) bits |= std::uint32_t{V::equal_bits(s[q], lv)} << (q * W);
    return static_cast<Label>(__builtin_ctz(bits));  // some lane holds the least
  } else {
    alignas(64) float lanes[Q * W];
    for (std::size_t q = 0; q < Q; ++q) V::store(lanes + q * W, score[q]);
    float best = kPlusInf;
    Label label = 0;
    for (std::size_t j = 0; j < Q * W; ++j) {
      if (lanes[j] < best) {
        best = lanes[j];
        label = static_cast<Label>(j);
      }
    }
    return label;
  }
}

// Lanes are centroids, for long rows and few centroids (k <= Q·W): X is read
// in place, with no rearranging, so its rows stream straight into the fmas.
// The centroids are laid out lanes-first, C[j, l] at [l·Q·W + j], zeros
// past k (once per set of centroids, or per block); then for each tile of R rows
// and each l, one broadcast of X[i, l] per row and one fma per (row,
// centroid vector). Every lane again performs exactly the contract's chain;
// each row's k scores are then scanned in ascending j.
template <class V, std::size_t Q, std::size_t R>
struct CentroidLanes {
  using F = typename V::F;
  using I = typename V::I;
  static constexpr std::size_t W = V::kWidth;
  static constexpr std::size_t kLanes = Q * W;

  // The block's laid-out centroids, C[j, l] at [l·kLanes + j]: given, or
  // laid out into the scratch.
  static const float* laid_out(const AssignBlock& b, float* panel) {
    return centroids_laid_out<CentroidLanes>(b, panel);
  }

  static void lay_out(const float* C, std::size_t d, std::size_t k, float* panel) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const float* c = C + j * d;
      if (j < k) {
        for (std::size_t l = 0; l < d; ++l) panel[l * kLanes + j] = c[l];
      } else {
        for (std::size_t l = 0; l < d; ++l) panel[l * kLanes + j] = 0.0f;
      }
    }
  }

  // acc[r][q] = the chains of row r of x with centroids q·W .. q·W + W - 1;
  // `ahead` is where the next tile's rows start. A nonzero D is the row
  // length fixed when compiled: every row's broadcast is then an offset
  // from x, where a length known only at run time takes an address per row,
  // more than the registers left beside the accumulators.
  template <std::size_t RR, std::size_t D = 0>
  [[gnu::always_inline]] static inline void tile(const float* x, const float* ahead,
                                                 std::size_t row_length, const float* panel,
                                                 F (&acc)[RR][Q]) {
    const std::size_t d = D != 0 ? D : row_length;
#pragma GCC unroll 16
    for (std::size_t r = 0; r < RR; ++r)
#pragma GCC unroll 4
      for (std::size_t q = 0; q < Q; ++q) acc[r][q] = V::zero();
    const auto column = [&](std::size_t l) {
      F c[Q];
#pragma GCC unroll 4
      for (std::size_t q = 0; q < Q; ++q) c[q] = V::load(panel + (l * Q + q) * W);
      // The next tile's rows, one cache line per row every 16 columns, so
      // that memory streams while the fmas run: on its own the hardware
      // fetches them too late.
      if (l % 16 == 0)
#pragma GCC unroll 16
        for (std::size_t r = 0; r < RR; ++r) __builtin_prefetch(ahead + r * d + l, 0, 3);
#pragma GCC unroll 16
      for (std::size_t r = 0; r < RR; ++r) {
        const F xr = V::set1(x[r * d + l]);
#pragma GCC unroll 4
        for (std::size_t q = 0; q < Q; ++q) acc[r][q] = V::fma(xr, c[q], acc[r][q]);
      }
    };
    if constexpr (D != 0) {
#pragma GCC unroll 16
      for (std::size_t l = 0; l < D; ++l) column(l);
    } else {
      for (std::size_t l = 0; l < d; ++l) column(l);
    }
  }

  // Sixteen columns, the shortest row these lanes take, fixed when compiled.
  static constexpr std::size_t kFixedRow = 16;

  // acc for the tiles of R rows, then for one of the rows left: at(rr, i,
  // acc) with row i the tile's first.
  template <std::size_t D, class At>
  static void each_tile_of(const AssignBlock& b, const float* panel, At&& at) {
    const auto run = [&](auto rr, std::size_t i) {
      constexpr std::size_t RR = decltype(rr)::value;
      const float* x = b.X + i * b.d;
      F acc[RR][Q];
      tile<RR, D>(x, rows_ahead(b, i, RR), b.d, panel, acc);
      at(rr, i, acc);
    };
    std::size_t i = 0;
    for (; i + R <= b.rows; i += R) run(Count<R>{}, i);
    with_count<R>(b.rows - i, [&](auto rr) { run(rr, i); });
  }

  template <class At>
  static void each_tile(const AssignBlock& b, const float* panel, At&& at) {
    if (b.d == kFixedRow) return each_tile_of<kFixedRow>(b, panel, at);
    each_tile_of<0>(b, panel, at);
  }

  // Whether V turns a square tile (W vectors of W lanes) in registers.
  static constexpr bool kTurnsSquares = requires(F (&v)[W]) { V::transpose(v); };

  // A square tile of one vector turned so that lanes are rows: the scan is
  // then the rows-in-lanes fold, one vector per centroid for W rows, in
  // place of a reduction across each row's lanes. A template, so that paths
  // without a transpose never look the call up.
  template <class VV = V>
  static void scan_square(const F (&acc)[W][1], const float* norms, Label* out) {
    F chains[1][W];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < W; ++r) chains[0][r] = acc[r][0];
    VV::transpose(chains[0]);
    F best[1] = {VV::set1(kPlusInf)};
    I label[1] = {VV::set1_label(0)};
    fold_scores<VV>(chains, norms, 0, best, label);
    VV::store_labels(out, label[0]);
  }

  static void labels(const AssignBlock& b, Label* out, float* scratch) {
    const float* panel = laid_out(b, scratch);
    // +inf past k: the zero centroids there score +inf or NaN, never a win.
    alignas(64) float norms[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) norms[j] = j < b.k ? b.norms[j] : kPlusInf;
    const auto scan = [&](auto rr, std::size_t i, auto& acc) {
      constexpr std::size_t RR = decltype(rr)::value;
      if constexpr (Q == 1 && RR == W && kTurnsSquares) {
        scan_square(acc, norms, out + i);
        return;
      }
      for (std::size_t r = 0; r < RR; ++r) {
        F score[Q];
#pragma GCC unroll 4
        for (std::size_t q = 0; q < Q; ++q)
          score[q] = V::sub(V::load(norms + q * W), V::add(acc[r][q], acc[r][q]));
        out[i + r] = first_least<V>(score);
      }
    };
    each_tile(b, panel, scan);
  }

};

// One instruction set's layouts, tiled by V::kTiles, and which of them a
// block takes: rows of at most kNarrowMax columns go to NarrowRows, other
// rows to FusedAssign; where centroids in lanes would run, FewCentroids
// takes k up to kTiles.few_centroids, else one vector of centroids where k
// fits in half of kCentroidLanes, else two.
template <class V>
struct Layouts {
  static constexpr TileShape kTiles = V::kTiles;
  using Rows = FusedAssign<V, kTiles.row_vectors, kTiles.centroids>;
  using Narrow = NarrowRows<V, kTiles.narrow_vectors>;
  using One = CentroidLanes<V, 1, kTiles.rows_one_vector>;
  using Two = CentroidLanes<V, 2, kTiles.rows_two_vectors>;
  using Few = FewCentroids<V, kTiles.few_centroids>;
  static_assert(2 * One::kLanes == Two::kLanes);
  static constexpr std::size_t kCentroidLanes = Two::kLanes;

  static bool narrow(std::size_t d) { return d <= kNarrowMax; }
  static bool one_vector(std::size_t k) { return one_centroid_vector(k, kCentroidLanes); }
  static bool few(std::size_t k) { return few_centroid_rows(k, kTiles.few_centroids); }
};

template <class V>
Kernel make_kernel() {
  using L = Layouts<V>;
  return Kernel{
      L::Rows::kChunkRows,
      L::kTiles.centroids,
      L::kCentroidLanes,
      L::kTiles.few_centroids,
      [](const AssignBlock& b, Label* out, float* panel) {
        L::narrow(b.d) ? L::Narrow::labels(b, out) : L::Rows::labels(b, out, panel);
      },
      [](const AssignBlock& b, Label* out, float* panel) {
        if (L::few(b.k)) return L::Few::labels(b, out, panel);
        L::one_vector(b.k) ? L::One::labels(b, out, panel) : L::Two::labels(b, out, panel);
      },
      [](const float* C, std::size_t d, std::size_t k, float* out) {
        if (L::few(k)) return L::Few::lay_out(C, d, k, out);
        L::one_vector(k) ? L::One::lay_out(C, d, k, out) : L::Two::lay_out(C, d, k, out);
      },
  };
}

}  // namespace
}  // namespace tarnwick::assign_detail
