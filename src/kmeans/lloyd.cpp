// The steps of one Lloyd iteration: the assignment, the fused product and
// argmin per block of rows, and the update, cluster sums over pieces of rows
// merged along the pool's halving tree.
#include "kmeans/lloyd.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "kmeans/assign.h"
#include "kmeans/cluster_runs.h"
#include "kmeans/cluster_sums.h"
#include "kmeans/kmeans_path.h"
#include "support/worker_pool.h"

namespace tarnwick::kmeans_detail {

namespace {

// The update's float sums depend on its reduction tree, so its grain follows
// from the shape alone. Pieces of at least this many rows...
constexpr std::size_t kUpdateMinRows = 4096;
// ...at most this many of them, since each clears and merges k×d partial
// sums...
constexpr std::size_t kUpdateMaxPieces = 64;
// ...and at least this many rows per cluster, so that folding a piece's rows
// outweighs clearing and merging its partial sums.
constexpr std::size_t kUpdateRowsPerCluster = 2;

// The fused pass's pieces differ in cost (some assign more blocks than
// others), so it pays only with this many pieces per worker to balance them.
constexpr std::size_t kFusedPiecesPerWorker = 4;

// Blocks of assignment: at least this many rows, so that handing a block to
// a worker costs little beside it, and at most this many blocks (or block
// groups, for long rows). Results do not depend on the blocks; the fused
// pass below cuts update pieces along them.
constexpr std::size_t kMinBlockRows = 256;
constexpr std::size_t kMaxBlocks = 256;
// Long rows get blocks of at most this many bytes of X, so that the fused
// pass adds a block's rows while they are still in the core's own cache...
constexpr std::size_t kMaxBlockBytes = std::size_t{192} << 10;
// ...but never fewer rows than this.
constexpr std::size_t kMinLongBlockRows = 16;
// Other blocks hold whole groups of the widest kernel's rows (four vectors
// of sixteen): a block's last rows short of a vector are labelled as one
// more vector, and a short last group runs smaller tiles.
constexpr std::size_t kBlockRowsStep = 64;

std::size_t block_rows(std::size_t n, std::size_t d) {
  const std::size_t fit = kMaxBlockBytes / (sizeof(float) * std::max<std::size_t>(d, 1));
  if (fit >= kMinBlockRows)
    return work(ceil_div(std::max(kMinBlockRows, ceil_div(n, kMaxBlocks)), kBlockRowsStep), kBlockRowsStep);
  return std::max(kMinLongBlockRows, fit);
}

// How many of `rows` labels differ between a and b, as rows less the labels
// that agree: each agreeing pair's all-ones comparison subtracts one, so
// the compiler's vector loop is a compare and a subtraction per vector. The
// count is kept at the labels' own width for chunks short of its range.
[[gnu::always_inline]] inline std::size_t count_changed_here(const Label* a, const Label* b,
                                                             std::size_t rows) {
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  std::size_t same = 0;
  for (std::size_t c = 0; c < rows; c += kChunk) {
    const std::size_t end = std::min(rows, c + kChunk);
    std::uint32_t in_chunk = 0;
#pragma GCC unroll 4
    for (std::size_t i = c; i < end; ++i) in_chunk += a[i] == b[i];
    same += in_chunk;
  }
  return rows - same;
}

#if defined(__x86_64__)
// Wider vectors for the same count; the labels of a block are compared on
// every iteration.
__attribute__((target("avx2"))) std::size_t count_changed_avx2(const Label* a, const Label* b,
                                                               std::size_t rows) {
  return count_changed_here(a, b, rows);
}
#endif

std::size_t count_changed(const Label* a, const Label* b, std::size_t rows) {
#if defined(__x86_64__)
  if (kmeans_avx2_fma()) return count_changed_avx2(a, b, rows);
#endif
  return count_changed_here(a, b, rows);
}

// parallel_reduce makes one accumulator of its own when the range is empty.
constexpr std::size_t kSpareSumSlots = 1;

// Assignment scratch for one task beyond the pool's workers, should the
// calling thread ever run pieces beside them.
constexpr std::size_t kSpareScratchSlots = 1;

[[noreturn, gnu::cold, gnu::noinline]] void scratch_exhausted_fault() {
  raise_fault("more assignment tasks at once than worker threads");
}

// A piece's partial sums and counts, in slots that live for the whole run so
// that no iteration allocates them. Slots are handed out in any order: every
// piece starts from zeros, and the merge order comes from the pool's tree.
// Each slot starts on a cache line of its own: pieces running at once on
// different cores add into their sums row by row, and a line the two
// shared would pass between the cores on every row.
class PartialSums {
 public:
  PartialSums(std::size_t slots, std::size_t k, std::size_t d)
      : kd_(element_count(k, d)),
        k_(k),
        sums_stride_(whole_lines<float>(kd_)),
        counts_stride_(whole_lines<std::uint64_t>(k)),
        sums_(Buffer<float>::uninitialized(padded(slots, sums_stride_))),
        counts_(Buffer<std::uint64_t>::uninitialized(padded(slots, counts_stride_))) {}

  void restart() { next_.store(0, std::memory_order_relaxed); }

  struct Slot {
    float* sums;
    std::uint64_t* counts;
    std::size_t changed;
  };

  Slot take() {
    std::size_t s = next_.fetch_add(1, std::memory_order_relaxed);
    Slot slot{line_start(sums_.data()) + s * sums_stride_, line_start(counts_.data()) + s * counts_stride_, 0};
    std::fill_n(slot.sums, kd_, 0.0f);
    std::fill_n(slot.counts, k_, std::uint64_t{0});
    return slot;
  }

  void merge(Slot& lower, const Slot& upper) const {
    float* __restrict ls = lower.sums;
    const float* __restrict us = upper.sums;
    for (std::size_t e = 0; e < kd_; ++e) ls[e] = ls[e] + us[e];
    for (std::size_t j = 0; j < k_; ++j) lower.counts[j] += upper.counts[j];
    lower.changed += upper.changed;
  }

 private:
  static constexpr std::size_t kLineBytes = 64;

  // Elements of T in the whole cache lines that `count` of them take.
  template <class T>
  static std::size_t whole_lines(std::size_t count) {
    static_assert(kLineBytes % sizeof(T) == 0);
    constexpr std::size_t per_line = kLineBytes / sizeof(T);
    return element_count(ceil_div(count, per_line), per_line);
  }

  // Room for `slots` slots of `stride` elements, one more slot (whole lines)
  // covering the move of the first to the start of a line.
  static std::size_t padded(std::size_t slots, std::size_t stride) {
    return element_count(slots + 1, stride);
  }

  template <class T>
  static T* line_start(T* p) {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    return reinterpret_cast<T*>((a + kLineBytes - 1) / kLineBytes * kLineBytes);
  }

  std::size_t kd_, k_, sums_stride_, counts_stride_;
  Buffer<float> sums_;
  Buffer<std::uint64_t> counts_;
  std::atomic<std::size_t> next_{0};
};

// The assignment kernel's scratch, one slot per task running at once. No
// more tasks run at once than the pool has threads.
class AssignScratch {
 public:
  AssignScratch(std::size_t slots, std::size_t block_entries)
      : storage_(Buffer<float>::uninitialized(element_count(slots, block_entries))) {
    free_.reserve(slots);
    for (std::size_t s = slots; s-- > 0;) free_.push_back(storage_.data() + s * block_entries);
  }

  // A block's room, given back when the lease ends.
  class Lease {
   public:
    Lease(AssignScratch& owner, float* block) : owner_(owner), block_(block) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      std::lock_guard<std::mutex> lock(owner_.mutex_);
      owner_.free_.push_back(block_);  // within the reserved capacity
    }
    float* get() const { return block_; }

   private:
    AssignScratch& owner_;
    float* block_;
  };

  Lease take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) [[unlikely]] scratch_exhausted_fault();
    float* block = free_.back();
    free_.pop_back();
    return Lease(*this, block);
  }

 private:
  Buffer<float> storage_;
  std::mutex mutex_;
  std::vector<float*> free_;
};

}  // namespace

class LloydSteps::State {
 public:
  State(const float* X, std::size_t n, std::size_t d, std::size_t k, float* centroids,
        Schedule schedule)
      : schedule_(schedule),
        X_(X),
        n_(n),
        d_(d),
        k_(k),
        centroids_(centroids),
        rows_per_block_(block_rows(n, d)),
        blocks_(ceil_div(n, rows_per_block_)),
        update_grain_(std::max({kUpdateMinRows, ceil_div(n, kUpdateMaxPieces),
                                work(k, kUpdateRowsPerCluster)})),
        labels_(Buffer<Label>::zeroed(n)) {}

  std::size_t rows_per_block() const { return rows_per_block_; }

  void start() {
    next_ = Buffer<Label>::uninitialized(n_);
    norms_ = Buffer<float>::uninitialized(k_);
    laid_out_ = Buffer<float>::uninitialized(laid_out_centroid_floats(d_, k_));
    if (k_ != 0)
      scratch_ = std::make_unique<AssignScratch>(
          std::min(blocks_, worker_count() + kSpareScratchSlots),
          assign_scratch_floats(std::min(rows_per_block_, n_), d_, k_, laid_out_.size() != 0));
    fused_ = choose_fused();
    if (fused_) {
      edges_ = std::make_unique<std::atomic<std::uint8_t>[]>(pieces_.size());
      piece_sums_.resize(pieces_.size());
    }
  }

  std::size_t assign() {
    prepare_centroids();
    std::size_t changed;
    if (fused_) {
      // Sums for the new labels are gathered while the rows are in cache;
      // after the last assignment they are simply not used.
      sums_ = assign_and_sum();
      changed = sums_.changed;
    } else {
      changed = assign_all();
    }
    std::swap(labels_, next_);
    return changed;
  }

  void update() {
    if (!fused_) sums_ = sum_clusters();
    move_centroids(sums_);
  }

  Buffer<std::int64_t> finish() {
    next_ = Buffer<Label>();
    scratch_.reset();
    partial_.reset();
    Buffer<std::int64_t> out = Buffer<std::int64_t>::uninitialized(n_);
    std::copy_n(labels_.data(), n_, out.data());
    return out;
  }

 private:
  // The fused pass runs one task per update piece: it assigns the row blocks
  // of the piece and adds the piece's rows right after, while they are in
  // cache. Only worth it with enough pieces to keep every worker busy; the
  // result is the same either way. It needs every block to overlap at most
  // two pieces, which pieces of at least a block's rows ensure; the grains
  // give that for every shape with more than one piece.
  bool choose_fused() {
    if (n_ == 0 || k_ == 0 || schedule_ == Schedule::separate) return false;
    pieces_ = cut_range(n_, update_grain_);
    if (pieces_.size() > 1)
      for (const Piece& piece : pieces_)
        if (piece.end - piece.begin < rows_per_block_) return false;
    return schedule_ == Schedule::fused ||
           pieces_.size() >= kFusedPiecesPerWorker * worker_count();
  }

  // ||x||² is the same for every candidate, so the score is ||c||² - 2·x·c.
  // The kernel's own layout of the centroids, where it has one, is made
  // here once rather than in every block.
  void prepare_centroids() {
    if (laid_out_.size() != 0) lay_out_centroids(centroids_, d_, k_, laid_out_.data());
    float* norms = norms_.data();
    for (std::size_t j = 0; j < k_; ++j) {
      const float* c = centroids_ + j * d_;
      float acc = 0.0f;
      for (std::size_t l = 0; l < d_; ++l) acc = acc + c[l] * c[l];
      norms[j] = acc;
    }
  }

  // The block's labels. Returns how many changed.
  std::size_t assign_block(std::size_t h) {
    const std::size_t r0 = h * rows_per_block_;
    const std::size_t rows = std::min(rows_per_block_, n_ - r0);
    AssignScratch::Lease scratch = scratch_->take();
    const Label* labels = labels_.data() + r0;
    Label* next = next_.data() + r0;
    assign_rows(AssignBlock{X_ + r0 * d_, rows, d_, centroids_, k_, norms_.data(),
                            laid_out_.size() != 0 ? laid_out_.data() : nullptr, n_ - r0 - rows},
                next, scratch.get());
    return count_changed(labels, next, rows);
  }

  std::size_t assign_all() {
    return parallel_reduce<std::size_t>(
        blocks_, ceil_div(blocks_, kMaxBlocks), work(work(n_, k_), d_),
        [] { return std::size_t{0}; },
        [&](std::size_t& changed, std::size_t b, std::size_t e) {
          for (std::size_t h = b; h < e; ++h) changed += assign_block(h);
        },
        [](std::size_t& lower, std::size_t& upper) { lower += upper; });
  }

  PartialSums& partial_sums() {
    if (!partial_) {
      std::size_t pieces = cut_range(n_, update_grain_).size();
      partial_ = std::make_unique<PartialSums>(pieces + kSpareSumSlots, k_, d_);
    }
    partial_->restart();
    return *partial_;
  }

  PartialSums::Slot sum_clusters() {
    PartialSums& partial = partial_sums();
    const Label* labels = labels_.data();
    return parallel_reduce<PartialSums::Slot>(
        n_, update_grain_, work(n_, d_), [&] { return partial.take(); },
        [&](PartialSums::Slot& acc, std::size_t b, std::size_t e) {
          add_rows(X_, d_, labels, b, e, acc.sums, acc.counts);
        },
        [&](PartialSums::Slot& lower, PartialSums::Slot& upper) { partial.merge(lower, upper); });
  }

  // How far the two pieces beside the end of a cut piece are: the cut piece
  // has added all its other rows, the next piece has assigned the block.
  enum : std::uint8_t { kRowsSummed = 1, kBlockAssigned = 2 };

  // Marks one side of piece p's end as done; the side that comes second adds
  // p's rows of the cut block into p's sums, after all its others as they
  // would have been added in one pass.
  void meet_at_end_of(std::size_t p, std::uint8_t side) {
    if (edges_[p].fetch_or(side, std::memory_order_acq_rel) == 0) return;
    const Piece piece = pieces_[p];
    const std::size_t lo = std::max(piece.begin, (piece.end - 1) / rows_per_block_ * rows_per_block_);
    add_block_rows(X_, d_, k_, next_.data(), lo, piece.end, piece_sums_[p].sums, piece_sums_[p].counts);
  }

  // The index of the piece that begins at `begin`.
  std::size_t piece_at(std::size_t begin) const {
    return static_cast<std::size_t>(
        std::lower_bound(pieces_.begin(), pieces_.end(), begin,
                         [](const Piece& piece, std::size_t b) { return piece.begin < b; }) -
        pieces_.begin());
  }

  // A block that a piece's end cuts through is assigned by the next piece,
  // which starts with it; the cut piece's rows of that block are its last,
  // and go into its sums once both pieces are that far (meet_at_end_of).
  // So no piece ever waits for another.
  PartialSums::Slot assign_and_sum() {
    for (std::size_t p = 0; p < pieces_.size(); ++p) edges_[p].store(0, std::memory_order_relaxed);
    PartialSums& partial = partial_sums();
    const Label* next = next_.data();
    const std::size_t R = rows_per_block_;
    PartialSums::Slot total = parallel_reduce<PartialSums::Slot>(
        n_, update_grain_, work(work(n_, k_), d_), [&] { return partial.take(); },
        [&](PartialSums::Slot& acc, std::size_t b, std::size_t e) {
          const std::size_t p = piece_at(b);
          piece_sums_[p] = acc;
          const bool head_cut = b % R != 0;
          const bool end_cut = e % R != 0 && e != n_;
          const std::size_t first = b / R, last = (e - 1) / R;
          for (std::size_t h = first; h <= last; ++h) {
            if (h == last && end_cut) break;  // the next piece assigns it
            acc.changed += assign_block(h);
            if (h == first && head_cut) meet_at_end_of(p - 1, kBlockAssigned);
            add_block_rows(X_, d_, k_, next, std::max(b, h * R), std::min(e, (h + 1) * R), acc.sums,
                           acc.counts);
          }
          if (end_cut) meet_at_end_of(p, kRowsSummed);
        },
        [&](PartialSums::Slot& lower, PartialSums::Slot& upper) { partial.merge(lower, upper); });
    return total;
  }

  void move_centroids(const PartialSums::Slot& total) {
    for (std::size_t j = 0; j < k_; ++j) {
      std::uint64_t count = total.counts[j];
      if (count == 0) continue;  // an empty cluster keeps its centroid
      float inv = 1.0f / static_cast<float>(count);
      const float* s = total.sums + j * d_;
      float* c = centroids_ + j * d_;
      for (std::size_t l = 0; l < d_; ++l) c[l] = inv * s[l];
    }
  }

  Schedule schedule_;
  const float* X_;
  std::size_t n_, d_, k_;
  float* centroids_;
  std::size_t rows_per_block_, blocks_, update_grain_;
  bool fused_ = false;
  Buffer<Label> labels_;
  Buffer<Label> next_;
  Buffer<float> norms_;
  Buffer<float> laid_out_;
  std::unique_ptr<AssignScratch> scratch_;
  std::unique_ptr<PartialSums> partial_;
  PartialSums::Slot sums_{};
  // Fused pass only: the update pieces, where each piece's sums are, and
  // how far the two pieces at each piece's end are (see meet_at_end_of).
  std::vector<Piece> pieces_;
  std::vector<PartialSums::Slot> piece_sums_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> edges_;
};

LloydSteps::LloydSteps(const float* X, std::size_t n, std::size_t d, std::size_t k,
                       float* centroids, Schedule schedule)
    : state_(std::make_unique<State>(X, n, d, k, centroids, schedule)) {}

LloydSteps::~LloydSteps() = default;

std::size_t LloydSteps::rows_per_block() const { return state_->rows_per_block(); }
void LloydSteps::start() { state_->start(); }
std::size_t LloydSteps::assign() { return state_->assign(); }
void LloydSteps::update() { state_->update(); }
Buffer<std::int64_t> LloydSteps::finish() { return state_->finish(); }

}  // namespace tarnwick::kmeans_detail
