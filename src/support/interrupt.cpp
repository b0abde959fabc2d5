// The slow half of poll_interrupt and the scope that installs a check.
#include "support/interrupt.h"

namespace tarnwick {
namespace interrupt_detail {

void poll_slow() {
  Installed& installed = t_installed;
  const auto now = std::chrono::steady_clock::now();
  if (now < installed.due) return;
  installed.check->check();
  // Measured after the check, which may have waited for the interpreter lock.
  installed.due = std::chrono::steady_clock::now() + kInterval;
}

}  // namespace interrupt_detail

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck& check) noexcept
    : saved_(interrupt_detail::t_installed) {
  interrupt_detail::t_installed = {&check, std::chrono::steady_clock::now() + interrupt_detail::kInterval};
}

ScopedInterruptCheck::~ScopedInterruptCheck() { interrupt_detail::t_installed = saved_; }

}  // namespace tarnwick
