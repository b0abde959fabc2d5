#include "support/interrupt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/worker_pool.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

struct Stop : std::runtime_error {
  Stop() : std::runtime_error("stop") {}
};

// Counts its checks and throws from the `throw_at`-th on.
struct CountingCheck final : InterruptCheck {
  int throw_at;
  int calls = 0;
  explicit CountingCheck(int at) : throw_at(at) {}
  void check() override {
    if (++calls >= throw_at) throw Stop();
  }
};

TEST(Interrupt, PollsAreSpacedAndScoped) {
  CountingCheck check(1000);
  poll_interrupt();  // nothing installed: nothing runs
  {
    ScopedInterruptCheck scope(check);
    EXPECT_TRUE(interrupt_check_installed());
    for (int i = 0; i < 1000; ++i) poll_interrupt();
    EXPECT_EQ(check.calls, 0);  // the first interval has not passed
    std::this_thread::sleep_for(60ms);
    poll_interrupt();
    poll_interrupt();
    EXPECT_EQ(check.calls, 1);
  }
  EXPECT_FALSE(interrupt_check_installed());
}

TEST(Interrupt, PoolStepStopsSoonAndThePoolStaysUsable) {
  constexpr std::size_t kPieces = 400;
  std::atomic<std::size_t> ran{0};
  CountingCheck check(2);
  const auto start = std::chrono::steady_clock::now();
  {
    ScopedInterruptCheck scope(check);
    EXPECT_THROW(parallel_for(kPieces, 1, std::size_t{1} << 30,
                              [&](std::size_t, std::size_t) {
                                std::this_thread::sleep_for(5ms);
                                ++ran;
                              }),
                 Stop);
  }
  // 400 pieces of 5 ms would take a second per worker; the second check
  // (about 100 ms in) stops them.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 600ms);
  EXPECT_LT(ran.load(), kPieces);

  std::atomic<std::size_t> covered{0};
  parallel_for(kPieces, 1, std::size_t{1} << 30, [&](std::size_t b, std::size_t e) { covered += e - b; });
  EXPECT_EQ(covered.load(), kPieces);
}

}  // namespace
}  // namespace tarnwick
