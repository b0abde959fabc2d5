// Lloyd iterations: assign every row to its nearest centroid, then move each
// centroid to the mean of its rows, until few labels change.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kmeans/gemm.h"
#include "kmeans/kmeans_core.h"
#include "kmeans/nearest.h"
#include "support/cpu_features.h"
#include "support/worker_pool.h"

namespace tarnwick {

using kmeans_detail::ceil_div;
using kmeans_detail::element_count;
using kmeans_detail::work;

namespace {

// One rows×d row block added into k×d sums, row by row in ascending order.
__attribute__((always_inline)) inline void add_rows_here(const float* X, std::size_t d,
                                                         const Label* labels, std::size_t begin,
                                                         std::size_t end, float* __restrict sums,
                                                         std::uint64_t* __restrict counts) {
  for (std::size_t i = begin; i < end; ++i) {
    std::size_t j = static_cast<std::size_t>(labels[i]);
    counts[j] += 1;
    float* __restrict s = sums + j * d;
    const float* __restrict x = X + i * d;
    for (std::size_t l = 0; l < d; ++l) s[l] = s[l] + x[l];
  }
}

#if defined(__x86_64__)
// The same loop, vectorised by the compiler for AVX-512: the additions are
// elementwise, so any vector width gives the same sums. 1.1-1.8x faster for
// rows of 16 floats and more.
__attribute__((target("avx512f"))) void add_rows_avx512(const float* X, std::size_t d,
                                                        const Label* labels, std::size_t begin,
                                                        std::size_t end, float* sums,
                                                        std::uint64_t* counts) {
  add_rows_here(X, d, labels, begin, end, sums, counts);
}
#endif

void add_rows(const float* X, std::size_t d, const Label* labels, std::size_t begin,
              std::size_t end, float* sums, std::uint64_t* counts) {
#if defined(__x86_64__)
  if (d >= 16 && has_avx512()) return add_rows_avx512(X, d, labels, begin, end, sums, counts);
#endif
  add_rows_here(X, d, labels, begin, end, sums, counts);
}

// A piece's partial sums and counts, in slots that live for the whole run so
// that no iteration allocates them. Slots are handed out in any order: every
// piece starts from zeros, and the merge order comes from the pool's tree.
class PartialSums {
 public:
  PartialSums(std::size_t slots, std::size_t k, std::size_t d)
      : kd_(element_count(k, d)),
        k_(k),
        sums_(Buffer<float>::uninitialized(element_count(slots, kd_))),
        counts_(Buffer<std::uint64_t>::uninitialized(element_count(slots, k))) {}

  void restart() { next_.store(0, std::memory_order_relaxed); }

  struct Slot {
    float* sums;
    std::uint64_t* counts;
    std::size_t changed;
  };

  Slot take() {
    std::size_t s = next_.fetch_add(1, std::memory_order_relaxed);
    Slot slot{sums_.data() + s * kd_, counts_.data() + s * k_, 0};
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
  std::size_t kd_, k_;
  Buffer<float> sums_;
  Buffer<std::uint64_t> counts_;
  std::atomic<std::size_t> next_{0};
};

// Room for the products of the blocks being assigned, one block per task
// running at once, so that the products stay in cache from the library's
// write to the argmin's read instead of passing through an n×k buffer in
// memory. No more tasks run at once than the pool has threads.
class ProductScratch {
 public:
  ProductScratch(std::size_t slots, std::size_t block_entries)
      : storage_(Buffer<float>::uninitialized(element_count(slots, block_entries))) {
    free_.reserve(slots);
    for (std::size_t s = slots; s-- > 0;) free_.push_back(storage_.data() + s * block_entries);
  }

  // A block's room, given back when the lease ends.
  class Lease {
   public:
    Lease(ProductScratch& owner, float* block) : owner_(owner), block_(block) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      std::lock_guard<std::mutex> lock(owner_.mutex_);
      owner_.free_.push_back(block_);  // within the reserved capacity
    }
    float* get() const { return block_; }

   private:
    ProductScratch& owner_;
    float* block_;
  };

  Lease take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) raise_fault("more assignment tasks at once than worker threads");
    float* block = free_.back();
    free_.pop_back();
    return Lease(*this, block);
  }

 private:
  Buffer<float> storage_;
  std::mutex mutex_;
  std::vector<float*> free_;
};

class Lloyd {
 public:
  Lloyd(const float* X, std::size_t n, std::size_t d, std::size_t k, float* centroids,
        kmeans_detail::Schedule schedule)
      : schedule_(schedule),
        X_(X),
        n_(n),
        d_(d),
        k_(k),
        centroids_(centroids),
        // Cut from the shape, not from the pool size (see gemm_block_rows).
        rows_per_chunk_(gemm_block_rows(n, d, k)),
        blocks_(ceil_div(n, rows_per_chunk_)),
        // The float sums depend on the reduction tree, so the grain follows
        // from the shape alone. At most ~64 pieces, each with enough rows (>=
        // 2k) that folding them outweighs clearing and merging its k×d
        // partial sums.
        update_grain_(std::max({std::size_t{4096}, ceil_div(n, 64), work(k, 2)})),
        labels_(Buffer<Label>::zeroed(n)) {
    // The products are never all held at once (see ProductScratch), but a
    // shape whose n×k products could not even be addressed is refused as
    // such, the same whatever the thread count.
    checked_buffer_bytes<float>(element_count(n, k));
  }

  Buffer<std::int64_t> run(std::uint64_t n_iter) {
    if (n_iter != 0) {
      next_ = Buffer<Label>::uninitialized(n_);
      if (k_ != 0)
        scratch_ = std::make_unique<ProductScratch>(
            std::min(blocks_, worker_count() + 1),
            element_count(std::min(rows_per_chunk_, n_), k_));
    }
    // Stop once at most 0.1% of the rows move.
    const std::size_t change_tolerance = n_ / 1000;
    for (std::uint64_t it = 0; it < n_iter; ++it) {
      prepare_assignment();
      std::size_t changed;
      if (fused()) {
        // Sums for the new labels are gathered while the rows are in cache;
        // after the last assignment they are simply not used.
        PartialSums::Slot total = assign_and_sum();
        changed = total.changed;
        std::swap(labels_, next_);
        if (changed <= change_tolerance) break;
        move_centroids(total);
      } else {
        changed = assign();
        std::swap(labels_, next_);
        if (changed <= change_tolerance) break;
        move_centroids(sum_clusters());
      }
    }
    next_ = Buffer<Label>();
    Buffer<std::int64_t> out = Buffer<std::int64_t>::uninitialized(n_);
    std::copy_n(labels_.data(), n_, out.data());
    return out;
  }

 private:
  // ||x||² is the same for every candidate, so the score is ||c||² - 2·x·c,
  // with x·c taken from one GEMM per block of rows.
  void prepare_assignment() {
    if (norms_.size() != k_) norms_ = Buffer<float>::uninitialized(k_);
    float* norms = norms_.data();
    for (std::size_t j = 0; j < k_; ++j) {
      const float* c = centroids_ + j * d_;
      float acc = 0.0f;
      for (std::size_t l = 0; l < d_; ++l) acc = acc + c[l] * c[l];
      norms[j] = acc;
    }
    if (element_count(k_, rows_per_chunk_) == 0) raise_fault("chunk_size must not be zero");
    if (n_ != 0 && d_ != 0) check_gemm_dims(k_, d_);
  }

  // The block's products and then at once its labels, while the products are
  // still in cache. Returns how many labels changed.
  std::size_t assign_block(std::size_t h) {
    const std::size_t r0 = h * rows_per_chunk_;
    const std::size_t rows = std::min(rows_per_chunk_, n_ - r0);
    ProductScratch::Lease products = scratch_->take();
    float* G = products.get();
    gemm_block(X_ + r0 * d_, rows, d_, centroids_, k_, G);
    const float* norms = norms_.data();
    const Label* labels = labels_.data() + r0;
    Label* next = next_.data() + r0;
    nearest_rows(G, rows, k_, norms, next);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < rows; ++i) changed += next[i] != labels[i];
    return changed;
  }

  std::size_t assign() {
    return parallel_reduce<std::size_t>(
        blocks_, 1, work(work(n_, k_), d_), [] { return std::size_t{0}; },
        [&](std::size_t& changed, std::size_t b, std::size_t e) {
          for (std::size_t h = b; h < e; ++h) changed += assign_block(h);
        },
        [](std::size_t& lower, std::size_t& upper) { lower += upper; });
  }

  PartialSums& partial_sums() {
    if (!partial_) {
      std::size_t pieces = cut_range(n_, update_grain_).size();
      partial_ = std::make_unique<PartialSums>(pieces + 1, k_, d_);
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

  // The fused pass runs one task per update piece: it assigns the row blocks
  // that overlap the piece and adds the piece's rows right after. A block
  // that straddles two pieces is assigned by whichever task comes first; the
  // other waits for it, which is short and cannot deadlock, as the task
  // assigning a block waits for nothing. Only worth it with enough pieces to
  // keep every worker busy; the result is the same either way.
  bool fused() {
    if (n_ == 0 || k_ == 0) return false;
    if (schedule_ != kmeans_detail::Schedule::automatic)
      return schedule_ == kmeans_detail::Schedule::fused;
    if (pieces_ == 0) pieces_ = cut_range(n_, update_grain_).size();
    return pieces_ >= 4 * worker_count();
  }

  enum : std::uint8_t { kPending, kRunning, kDone, kFailed };

  void wait_for_block(std::size_t h) {
    for (unsigned spins = 0;; ++spins) {
      std::uint8_t state = block_state_[h].load(std::memory_order_acquire);
      if (state == kDone) return;
      if (state == kFailed) raise_fault("a row block of the assignment failed");
      if (spins < 64) {
#if defined(__SSE2__)
        _mm_pause();
#endif
      } else {
        std::this_thread::yield();
      }
    }
  }

  PartialSums::Slot assign_and_sum() {
    if (!block_state_) block_state_ = std::make_unique<std::atomic<std::uint8_t>[]>(blocks_);
    for (std::size_t h = 0; h < blocks_; ++h) block_state_[h].store(kPending, std::memory_order_relaxed);
    PartialSums& partial = partial_sums();
    const Label* next = next_.data();
    return parallel_reduce<PartialSums::Slot>(
        n_, update_grain_, work(work(n_, k_), d_), [&] { return partial.take(); },
        [&](PartialSums::Slot& acc, std::size_t b, std::size_t e) {
          for (std::size_t h = b / rows_per_chunk_; h * rows_per_chunk_ < e; ++h) {
            std::uint8_t expected = kPending;
            if (block_state_[h].compare_exchange_strong(expected, kRunning,
                                                        std::memory_order_acquire)) {
              try {
                acc.changed += assign_block(h);
              } catch (...) {
                block_state_[h].store(kFailed, std::memory_order_release);
                throw;
              }
              block_state_[h].store(kDone, std::memory_order_release);
            } else {
              wait_for_block(h);
            }
            std::size_t lo = std::max(b, h * rows_per_chunk_);
            std::size_t hi = std::min(e, (h + 1) * rows_per_chunk_);
            add_rows(X_, d_, next, lo, hi, acc.sums, acc.counts);
          }
        },
        [&](PartialSums::Slot& lower, PartialSums::Slot& upper) { partial.merge(lower, upper); });
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

  kmeans_detail::Schedule schedule_;
  const float* X_;
  std::size_t n_, d_, k_;
  float* centroids_;
  std::size_t rows_per_chunk_, blocks_, update_grain_;
  std::size_t pieces_ = 0;
  Buffer<Label> labels_;
  std::unique_ptr<ProductScratch> scratch_;
  Buffer<Label> next_;
  Buffer<float> norms_;
  std::unique_ptr<PartialSums> partial_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> block_state_;
};

}  // namespace

Buffer<std::int64_t> lloyd_iterations(const float* X, std::size_t n, std::size_t d,
                                      std::uint64_t k, std::uint64_t n_iter, float* centroids) {
  return kmeans_detail::lloyd_iterations(X, n, d, k, n_iter, centroids,
                                         kmeans_detail::Schedule::automatic);
}

namespace kmeans_detail {

Buffer<std::int64_t> lloyd_iterations(const float* X, std::size_t n, std::size_t d,
                                      std::uint64_t k, std::uint64_t n_iter, float* centroids,
                                      Schedule schedule) {
  return Lloyd(X, n, d, k, centroids, schedule).run(n_iter);
}

}  // namespace kmeans_detail

}  // namespace tarnwick
