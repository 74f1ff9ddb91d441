#include "platform/apartment/clock.h"

namespace vexa32 {

ManualClock::ManualClock(std::chrono::system_clock::time_point wall_start) : wall_start_(wall_start) {}

std::chrono::system_clock::time_point ManualClock::wall_now() const {
  return wall_start_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(now_ - start_);
}

std::chrono::system_clock::time_point ManualClock::default_wall_start() {
  using namespace std::chrono;
  return sys_days{year{2026} / January / 1};
}

std::shared_ptr<Clock> system_clock() {
  static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace vexa32
