#include "support/worker_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/fault.h"

namespace tarnwick::detail {
// Defined in worker_pool.cpp; replaced only inside forked children below.
using ThreadStart = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern ThreadStart thread_start;
}  // namespace tarnwick::detail

namespace tarnwick {
namespace {

constexpr std::size_t kPooled = std::size_t{1} << 30;  // a work estimate that wakes the workers
constexpr std::size_t kTiny = 1;                       // ... and one that runs inline

std::string shape(std::size_t n, std::size_t grain) {
  std::string s;
  for (Piece p : cut_range(n, grain)) s += std::to_string(p.begin) + "-" + std::to_string(p.end) + " ";
  return s;
}

TEST(WorkerPoolCut, HalvesLowerFloorFirst) {
  EXPECT_EQ(shape(0, 4), "");
  EXPECT_EQ(shape(1, 0), "0-1 ");
  EXPECT_EQ(shape(5, 0), "0-1 1-2 2-3 3-4 4-5 ");
  EXPECT_EQ(shape(7, 2), "0-1 1-3 3-5 5-7 ");
  EXPECT_EQ(shape(8, 3), "0-2 2-4 4-6 6-8 ");
  EXPECT_EQ(shape(10, 4), "0-2 2-5 5-7 7-10 ");
  EXPECT_EQ(shape(1000, 1000), "0-1000 ");
}

struct Step {
  std::size_t n, grain, work;
};

class WorkerPoolStep : public ::testing::TestWithParam<Step> {};

TEST_P(WorkerPoolStep, PiecesTileTheRangeWithinGrain) {
  auto [n, grain, work] = GetParam();
  std::size_t g = std::max<std::size_t>(grain, 1);
  std::size_t at = 0;
  for (Piece p : cut_range(n, grain)) {
    EXPECT_EQ(p.begin, at);
    EXPECT_LE(p.end - p.begin, g);
    // Each piece is half of a range longer than the grain, so never tiny.
    EXPECT_GE(p.end - p.begin, n > g ? (g + 1) / 2 : n);
    at = p.end;
  }
  EXPECT_EQ(at, n);
}

TEST_P(WorkerPoolStep, ForTouchesEveryIndexOnce) {
  auto [n, grain, work] = GetParam();
  std::vector<std::atomic<int>> hits(n);
  parallel_for(n, grain, work, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) hits[i]++;
  });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
}

// Folds each leaf left to right and adds lower + upper, one thread.
float serial_tree_sum(const std::vector<float>& v, std::size_t b, std::size_t len, std::size_t g) {
  if (len <= g || len < 2) {
    float acc = 0.0f;
    for (std::size_t i = b; i < b + len; ++i) acc += v[i];
    return acc;
  }
  float lower = serial_tree_sum(v, b, len / 2, g);
  return lower + serial_tree_sum(v, b + len / 2, len - len / 2, g);
}

float pooled_sum(const std::vector<float>& v, std::size_t grain, std::size_t work) {
  return parallel_reduce<float>(
      v.size(), grain, work, [] { return 0.0f; },
      [&](float& acc, std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) acc += v[i];
      },
      [](float& lower, float upper) { lower += upper; });
}

std::vector<float> awkward_floats(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(std::sin(i) * std::pow(10.0, i % 9));
  return v;
}

TEST_P(WorkerPoolStep, ReduceMatchesSerialTreeEveryRun) {
  auto [n, grain, work] = GetParam();
  std::vector<float> v = awkward_floats(n);
  float expected = serial_tree_sum(v, 0, n, std::max<std::size_t>(grain, 1));
  for (int run = 0; run < 20; ++run) {
    float got = pooled_sum(v, grain, work);
    ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << got << " vs " << expected;
  }
}

INSTANTIATE_TEST_SUITE_P(WorkerPool, WorkerPoolStep,
                         ::testing::Values(Step{0, 4, kPooled}, Step{1, 0, kPooled},
                                           Step{7, 2, kPooled}, Step{7, 2, kTiny},
                                           Step{8, 3, kPooled}, Step{1000, 1, kPooled},
                                           Step{1000, 37, kPooled}, Step{1000, 37, kTiny},
                                           Step{1000, 5000, kPooled},
                                           Step{100000, 1000, kPooled},
                                           Step{100000, 1000, 32767}));

TEST(WorkerPoolReduce, CombinesLowerThenUpperAlongTheTree) {
  auto tree = [](std::size_t n, std::size_t grain) {
    return parallel_reduce<std::string>(
        n, grain, kPooled, [] { return std::string(); },
        [](std::string& acc, std::size_t b, std::size_t e) {
          acc = std::to_string(b) + "-" + std::to_string(e);
        },
        [](std::string& lower, std::string& upper) { lower = "(" + lower + "," + upper + ")"; });
  };
  EXPECT_EQ(tree(7, 2), "((0-1,1-3),(3-5,5-7))");
  EXPECT_EQ(tree(10, 4), "((0-2,2-5),(5-7,7-10))");
  EXPECT_EQ(tree(3, 1), "(0-1,(1-2,2-3))");
  EXPECT_EQ(tree(0, 1), "");
}

class WorkerPoolFault : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WorkerPoolFault, EarliestPieceWinsAndOthersStillRun) {
  for (int round = 0; round < 3; ++round) {
    std::vector<std::atomic<int>> ran(64);
    try {
      parallel_for(64, 1, GetParam(), [&](std::size_t b, std::size_t) {
        ran[b]++;
        if (b == 60 || b == 61) throw std::runtime_error("late " + std::to_string(b));
        if (b == 40) throw Fault("piece 40 failed");
        if (b == 9) {
          // Faults last in time, so only its index can make it win.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          throw Fault("piece 9 failed");
        }
      });
      ADD_FAILURE() << "no fault came back";
    } catch (const Fault& f) {
      EXPECT_EQ(f.text(), "piece 9 failed");
    }
    for (std::size_t i = 0; i < ran.size(); ++i) EXPECT_EQ(ran[i].load(), 1) << "piece " << i;
  }
  std::vector<float> v = awkward_floats(5000);
  EXPECT_EQ(pooled_sum(v, 100, GetParam()), serial_tree_sum(v, 0, v.size(), 100));
}

INSTANTIATE_TEST_SUITE_P(WorkerPool, WorkerPoolFault, ::testing::Values(kPooled, kTiny));

// Runs check() in a forked child, which makes its own pool, and returns its
// exit code; a child still running after 20 s is killed and gives -1, so a
// deadlock fails the test instead of stalling it.
template <class Check>
int in_child(Check&& check) {
  pid_t pid = fork();
  if (pid == 0) _exit(check());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

TEST(WorkerPoolShared, ConcurrentAndNestedStepsFinish) {
  EXPECT_EQ(in_child([] {
              std::atomic<int> wrong{0};
              std::vector<std::thread> callers;
              for (std::size_t t = 0; t < 4; ++t) {
                callers.emplace_back([&, t] {
                  for (std::size_t n = 1000 + t; n < 1400; n += 4) {
                    std::vector<float> v = awkward_floats(n);
                    if (pooled_sum(v, 17, kPooled) != serial_tree_sum(v, 0, n, 17)) wrong++;
                  }
                });
              }
              for (std::thread& c : callers) c.join();
              std::atomic<std::size_t> inner{0};  // a step inside a step runs inline
              parallel_for(8, 1, kPooled, [&](std::size_t, std::size_t) {
                parallel_for(100, 10, kPooled, [&](std::size_t b, std::size_t e) { inner += e - b; });
              });
              return wrong == 0 && inner == 800 ? 0 : 1;
            }),
            0);
  std::size_t t = worker_count();
  EXPECT_GE(t, 1u);
  EXPECT_EQ(worker_count(), t);
}

TEST(WorkerPoolFork, ChildGetsItsOwnPoolWhileParentIsBusy) {
  std::vector<float> v = awkward_floats(200000);
  float expected = serial_tree_sum(v, 0, v.size(), 1000);
  std::atomic<bool> stop{false};
  // Keeps the parent's pool busy, so its locks are likely held at fork time.
  std::thread busy([&] {
    while (!stop) pooled_sum(v, 1000, kPooled);
  });
  for (const char* threads : {"1", "3"}) {
    int code = in_child([&] {
      setenv("RAYON_NUM_THREADS", threads, 1);
      return pooled_sum(v, 1000, kPooled) == expected && worker_count() == std::stoul(threads)
                 ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << "RAYON_NUM_THREADS=" << threads;
  }
  stop = true;
  busy.join();
}

// Steps spaced around the time an idle worker looks for the next one before
// it sleeps: a step queued as a worker goes from looking to sleeping still
// wakes it (a lost wake-up hangs the child, which fails the test), and once
// no step follows, the workers sleep and the process takes no CPU time.
class WorkerPoolGap : public ::testing::TestWithParam<int> {};

TEST_P(WorkerPoolGap, StepsAfterEveryIdleGapFinishThenWorkersSleep) {
  const int gap_us = GetParam();
  EXPECT_EQ(in_child([gap_us] {
              setenv("RAYON_NUM_THREADS", "3", 1);
              std::vector<float> v = awkward_floats(5000);
              const float expected = serial_tree_sum(v, 0, v.size(), 100);
              for (int i = 0; i < 100; ++i) {
                if (pooled_sum(v, 100, kPooled) != expected) return 1;
                std::this_thread::sleep_for(std::chrono::microseconds(gap_us + 7 * (i % 8)));
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
              timespec before, after;
              clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
              std::this_thread::sleep_for(std::chrono::milliseconds(100));
              clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
              const double busy_ms = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
              return busy_ms < 20.0 ? 0 : 2;
            }),
            0);
}

INSTANTIATE_TEST_SUITE_P(WorkerPool, WorkerPoolGap, ::testing::Values(0, 60, 100, 150, 2000));

// A thread start that fails at the g_fail_at-th call and counts the workers
// of the failed attempt still running.
std::atomic<int> g_starts{0}, g_running{0};
int g_fail_at = 0;

int start_or_fail(pthread_t* id, const pthread_attr_t* attr, void* (*routine)(void*), void* arg) {
  if (++g_starts == g_fail_at) return EAGAIN;
  g_running++;
  using Launch = std::pair<void* (*)(void*), void*>;
  auto counted = [](void* raw) -> void* {
    Launch launch = *static_cast<Launch*>(raw);
    delete static_cast<Launch*>(raw);
    launch.first(launch.second);
    // Lingers so that a worker left unjoined is still counted.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_running--;
    return nullptr;
  };
  return pthread_create(id, attr, counted, new Launch(routine, arg));
}

class WorkerPoolCreation : public ::testing::TestWithParam<int> {};

TEST_P(WorkerPoolCreation, FailedStartFaultsNowAndLater) {
  worker_count();  // the parent's pool exists; the child must not reuse it
  int code = in_child([fail_at = GetParam()] {
    setenv("RAYON_NUM_THREADS", "4", 1);
    g_fail_at = fail_at;
    detail::thread_start = &start_or_fail;
    const std::string prefix = "The global thread pool has not been initialized.";
    auto fault_text = [](auto&& use) -> std::string {
      try {
        use();
      } catch (const Fault& f) {
        return f.text();
      }
      return "no fault";
    };
    std::string first = fault_text([] { worker_count(); });
    int bad = first == prefix + " (could not start worker thread: " + std::strerror(EAGAIN) + ")" ? 0 : 1;
    if (g_running != 0) bad |= 2;  // the started workers were stopped and joined
    int starts = g_starts;
    std::string later = fault_text([] { parallel_for(10, 1, kTiny, [](std::size_t, std::size_t) {}); });
    if (later.rfind(prefix, 0) != 0 || fault_text([] { worker_count(); }) != later) bad |= 4;
    if (g_starts != starts) bad |= 8;  // no second attempt
    return bad;
  });
  EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(WorkerPool, WorkerPoolCreation, ::testing::Values(1, 2, 4));

}  // namespace
}  // namespace tarnwick
