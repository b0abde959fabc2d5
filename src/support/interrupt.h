// Stopping a long computation early. The boundary installs a check on the
// calling thread (the interpreter's signal handlers, on its main thread);
// the cores call poll_interrupt() between pieces of work. Without a check on
// this thread a poll is one thread-local load.
#pragma once

#include <chrono>

namespace tarnwick {

class InterruptCheck {
 public:
  // Throws whatever should end the computation; returns to let it go on.
  virtual void check() = 0;

 protected:
  ~InterruptCheck() = default;
};

namespace interrupt_detail {
// Checks run at most this often, so the check costs nothing measurable.
inline constexpr std::chrono::milliseconds kInterval{50};

struct Installed {
  InterruptCheck* check = nullptr;
  std::chrono::steady_clock::time_point due{};
};
inline thread_local Installed t_installed;

void poll_slow();
}  // namespace interrupt_detail

// Installs `check` on this thread for the life of the scope.
class ScopedInterruptCheck {
 public:
  explicit ScopedInterruptCheck(InterruptCheck& check) noexcept;
  ~ScopedInterruptCheck();
  ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
  ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

 private:
  interrupt_detail::Installed saved_;
};

// Whether a check is installed on this thread (the pool then waits in slices).
inline bool interrupt_check_installed() noexcept {
  return interrupt_detail::t_installed.check != nullptr;
}

// Runs the installed check when its interval has passed; it may throw. Call
// it where stopping leaves nothing half-done that the caller would keep.
inline void poll_interrupt() {
  if (interrupt_detail::t_installed.check != nullptr) [[unlikely]] interrupt_detail::poll_slow();
}

}  // namespace tarnwick
