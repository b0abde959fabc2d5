// The worker pool: a fixed set of threads made once per process, pieces handed out in order, the caller asleep until its step is done.
#include "support/worker_pool.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <string>

#include "support/fault.h"
#include "support/cpu_count.h"
#include "support/interrupt.h"

namespace tarnwick {

namespace detail {
// How worker threads are started; a test swaps it to make a start fail.
using ThreadStart = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
ThreadStart thread_start = &pthread_create;
}  // namespace detail

namespace {

// Below this many element operations, waking the workers costs more than the
// step itself; the pieces then run on the calling thread (same cutting, same
// results).
constexpr std::size_t kInlineWorkBelow = 32768;

// Worker bodies are flat loops over blocks; a small stack keeps even the
// largest pool (kMaxWorkerThreads) within reasonable address space.
constexpr std::size_t kWorkerStackBytes = std::size_t{512} << 10;

// A worker out of pieces looks for the next job this long before it sleeps:
// the steps of a kmeans computation follow one another within microseconds,
// and a sleeping worker (on a virtual machine, a halted virtual CPU) can take
// a tenth of a millisecond or more to wake.
constexpr std::chrono::microseconds kLookBeforeSleeping{100};

constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

// One run_pieces call. It lives on the caller's stack; workers touch it only
// under Pool::mutex or while running a piece they claimed, and the caller
// leaves only after the last piece has been accounted for under that mutex.
struct Job {
  const Piece* pieces;
  std::size_t count;
  PieceFn body;
  void* context;
  std::exception_ptr* faults;  // one slot per piece
  std::size_t next_piece = 0;  // next piece to hand out
  std::size_t unfinished;      // pieces not yet run to the end
  std::condition_variable finished;
};

struct Pool {
  std::mutex mutex;
  std::condition_variable wake;  // jobs queued, or stopping
  std::deque<Job*> queue;        // jobs with pieces still to hand out, oldest first
  // Jobs ever queued, changed under the mutex; read without it by workers
  // looking for work, which then take the mutex to find the job.
  std::atomic<std::uint64_t> queued{0};
  bool stopping = false;         // only after a failed start
  std::size_t threads = 0;
};

// Process-wide creation state. Replaced wholesale in a forked child, since any
// of its locks may have been held by a thread that does not exist there.
struct Global {
  std::mutex lock;  // serialises the single creation attempt
  std::atomic<Pool*> pool{nullptr};
  bool attempted = false;
  const std::string* failure = nullptr;  // the fault text once creation failed
};

constinit Global g_first;
std::atomic<Global*> g_state{&g_first};

thread_local bool t_is_worker = false;

void run_piece(const Job& job, std::size_t i) noexcept {
  try {
    job.body(job.context, i, job.pieces[i].begin, job.pieces[i].end);
  } catch (...) {
    job.faults[i] = std::current_exception();
  }
}

// Returns once more than `seen` jobs have been queued, or after
// kLookBeforeSleeping. Yields the CPU between looks, so that the calling
// thread's sequential steps run beside the looking workers.
void look_for_work(const Pool& pool, std::uint64_t seen) {
  const auto until = std::chrono::steady_clock::now() + kLookBeforeSleeping;
  do {
    for (int i = 0; i < 16; ++i) {
      if (pool.queued.load(std::memory_order_relaxed) != seen) return;
#if defined(__x86_64__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield");
#endif
    }
    sched_yield();
  } while (std::chrono::steady_clock::now() < until);
}

void* worker_main(void* raw) {
  auto* pool = static_cast<Pool*>(raw);
  pthread_setname_np(pthread_self(), "tarnwick-worker");
  t_is_worker = true;
  std::unique_lock lock(pool->mutex);
  for (;;) {
    if (pool->queue.empty() && !pool->stopping) {
      // Read under the mutex: a job queued after it is one to look for.
      const std::uint64_t seen = pool->queued.load(std::memory_order_relaxed);
      lock.unlock();
      look_for_work(*pool, seen);
      lock.lock();
    }
    pool->wake.wait(lock, [&] { return pool->stopping || !pool->queue.empty(); });
    if (pool->stopping) return nullptr;
    Job* job = pool->queue.front();
    std::size_t i = job->next_piece++;
    if (job->next_piece == job->count) pool->queue.pop_front();
    lock.unlock();
    run_piece(*job, i);
    lock.lock();
    // Notified under the mutex: the caller cannot see unfinished == 0 and
    // destroy the job before this thread is done with it.
    if (--job->unfinished == 0) job->finished.notify_one();
  }
}

// Starts every worker or none: on a failed start the ones already running are
// stopped and joined, and the cause is returned.
std::string start_workers(Pool& pool, std::size_t count) {
  pthread_attr_t attr;
  if (int err = pthread_attr_init(&attr); err != 0) {
    return std::string(" (could not start worker thread: ") + std::strerror(err) + ")";
  }
  pthread_attr_setstacksize(&attr, std::max<std::size_t>(kWorkerStackBytes, PTHREAD_STACK_MIN));

  // Workers inherit a fully blocked signal mask, so asynchronous signals go
  // to the threads that expect them (the interpreter's).
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);

  std::vector<pthread_t> started;
  std::string failure;
  try {
    started.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      pthread_t id;
      if (int err = detail::thread_start(&id, &attr, &worker_main, &pool); err != 0) {
        failure = std::string(" (could not start worker thread: ") + std::strerror(err) + ")";
        break;
      }
      started.push_back(id);
    }
  } catch (const std::exception& e) {
    failure = std::string(" (") + e.what() + ")";
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attr);

  if (!failure.empty()) {
    {
      std::lock_guard lock(pool.mutex);
      pool.stopping = true;
    }
    pool.wake.notify_all();
    for (pthread_t id : started) pthread_join(id, nullptr);
  }
  return failure;
}

Pool& the_pool() {
  Global& g = *g_state.load(std::memory_order_acquire);
  if (Pool* p = g.pool.load(std::memory_order_acquire)) return *p;

  std::lock_guard lock(g.lock);
  if (Pool* p = g.pool.load(std::memory_order_relaxed)) return *p;
  if (g.attempted) raise_fault(g.failure ? *g.failure : kNotInitialized);
  g.attempted = true;

  std::string cause;
  Pool* pool = nullptr;
  try {
    std::size_t count = configured_thread_count();
    pool = new Pool;
    pool->threads = count;
    cause = start_workers(*pool, count);
  } catch (const std::exception& e) {
    cause = std::string(" (") + e.what() + ")";
  }
  if (!cause.empty()) {
    delete pool;  // no worker of it is left running
    std::string text = kNotInitialized + cause;
    g.failure = new std::string(text);
    raise_fault(std::move(text));
  }
  // Never destroyed: workers sleep until the process ends.
  g.pool.store(pool, std::memory_order_release);
  return *pool;
}

// The child of a fork has none of the parent's workers. Leak the parent's
// pool and creation state (their mutexes may be locked for good) and let the
// child create its own pool on first use.
void after_fork_in_child() {
  g_state.store(new Global, std::memory_order_release);
  t_is_worker = false;
}

[[maybe_unused]] const int g_atfork_registered = pthread_atfork(nullptr, nullptr, &after_fork_in_child);

void run_inline(const std::vector<Piece>& pieces, PieceFn body, void* context) {
  std::exception_ptr first;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    try {
      body(context, i, pieces[i].begin, pieces[i].end);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

// Pieces not yet handed out are dropped; those running finish.
void cancel_remaining(Pool& pool, Job& job) {
  if (job.next_piece == job.count) return;
  pool.queue.erase(std::find(pool.queue.begin(), pool.queue.end(), &job));
  job.unfinished -= job.count - job.next_piece;
  job.next_piece = job.count;
}

// Sleeps until every piece has run. A caller with an interrupt check wakes
// every interval to poll it; when the check throws, the remaining pieces are
// dropped, the running ones finish, and the exception goes on.
void wait_for_job(Pool& pool, Job& job) {
  std::unique_lock lock(pool.mutex);
  auto done = [&] { return job.unfinished == 0; };
  if (!interrupt_check_installed()) {
    job.finished.wait(lock, done);
    return;
  }
  while (!job.finished.wait_for(lock, interrupt_detail::kInterval, done)) {
    lock.unlock();
    try {
      poll_interrupt();
    } catch (...) {
      lock.lock();
      cancel_remaining(pool, job);
      job.finished.wait(lock, done);
      throw;
    }
    lock.lock();
  }
}

void split_into(std::vector<Piece>& out, std::size_t begin, std::size_t len, std::size_t grain) {
  if (len <= grain || len / 2 == 0) {
    out.push_back({begin, begin + len});
    return;
  }
  split_into(out, begin, len / 2, grain);
  split_into(out, begin + len / 2, len - len / 2, grain);
}

}  // namespace

std::vector<Piece> cut_range(std::size_t n, std::size_t grain) {
  std::vector<Piece> pieces;
  if (n == 0) return pieces;
  split_into(pieces, 0, n, grain == 0 ? 1 : grain);
  return pieces;
}

std::size_t worker_count() { return the_pool().threads; }

void run_pieces(const std::vector<Piece>& pieces, PieceFn body, void* context,
                std::size_t work_estimate) {
  Pool& pool = the_pool();
  if (pieces.empty()) return;
  // A worker must never wait for the pool it belongs to.
  if (pieces.size() == 1 || work_estimate < kInlineWorkBelow || t_is_worker) {
    run_inline(pieces, body, context);
    return;
  }

  std::vector<std::exception_ptr> faults(pieces.size());
  Job job{pieces.data(), pieces.size(), body, context, faults.data(), 0, pieces.size(), {}};
  {
    std::lock_guard lock(pool.mutex);
    pool.queue.push_back(&job);
    pool.queued.fetch_add(1, std::memory_order_relaxed);
  }
  // Wake no more workers than there are pieces; busy ones look at the queue
  // before they sleep again.
  std::size_t wanted = std::min(pieces.size(), pool.threads);
  if (wanted == pool.threads) {
    pool.wake.notify_all();
  } else {
    for (std::size_t i = 0; i < wanted; ++i) pool.wake.notify_one();
  }
  wait_for_job(pool, job);
  for (const std::exception_ptr& fault : faults) {
    if (fault) std::rethrow_exception(fault);
  }
}

}  // namespace tarnwick
