#include "platform/apartment/apartment.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace vexa32 {
namespace {
thread_local Apartment* t_current = nullptr;
}

Apartment::Apartment(std::shared_ptr<Clock> clock)
    : clock_(clock ? std::move(clock) : system_clock()), previous_(t_current) {
  t_current = this;
}

Apartment::~Apartment() {
  if (t_current == this) t_current = previous_;
}

Apartment* Apartment::current() noexcept { return t_current; }

Apartment& Apartment::require_current() {
  if (!t_current) throw std::logic_error("no apartment on this thread");
  return *t_current;
}

void Apartment::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
  wake_host();
}

void Apartment::set_wake_handler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  wake_handler_ = handler ? std::make_shared<std::function<void()>>(std::move(handler)) : nullptr;
}

void Apartment::wake_host() {
  std::shared_ptr<std::function<void()>> handler;
  {
    std::lock_guard lock(mutex_);
    handler = wake_handler_;
  }
  if (handler) (*handler)();
}

Apartment::TimerId Apartment::set_timer(std::chrono::milliseconds interval, Task callback, bool periodic) {
  if (interval.count() < 0) interval = std::chrono::milliseconds(0);
  TimerId id = next_timer_++;
  timers_.emplace(id, Timer{clock_->now() + interval, interval, periodic, std::make_shared<Task>(std::move(callback))});
  wake_host();
  return id;
}

bool Apartment::kill_timer(TimerId id) { return timers_.erase(id) > 0; }

bool Apartment::run_one_task() {
  Task task;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    task = std::move(queue_.front());
    queue_.pop_front();
  }
  task();
  return true;
}

bool Apartment::fire_due_timers() {
  Clock::time_point now = clock_->now();
  // Collect first: callbacks may add or kill timers.
  std::vector<std::pair<TimerId, Clock::time_point>> due;
  for (const auto& [id, t] : timers_) {
    if (t.due <= now) due.emplace_back(id, t.due);
  }
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return a.second < b.second || (a.second == b.second && a.first < b.first);
  });
  for (const auto& [id, when] : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;
    std::shared_ptr<Task> cb = it->second.callback;
    if (it->second.periodic) {
      auto step = it->second.interval.count() > 0 ? it->second.interval : std::chrono::milliseconds(1);
      it->second.due = when + step;
      // A loop that fell behind does not fire a burst to catch up.
      if (it->second.due <= now) it->second.due = now + step;
    } else {
      timers_.erase(it);
    }
    (*cb)();
  }
  return !due.empty();
}

bool Apartment::next_due(Clock::time_point& due) const {
  bool any = false;
  for (const auto& [id, t] : timers_) {
    if (!any || t.due < due) due = t.due;
    any = true;
  }
  return any;
}

std::size_t Apartment::run_until_idle() {
  std::size_t ran = 0;
  for (;;) {
    if (run_one_task()) {
      ++ran;
      continue;
    }
    if (fire_due_timers()) {
      ++ran;
      continue;
    }
    return ran;
  }
}

void Apartment::wait_until(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!queue_.empty() || quit_) return;
  auto remaining = deadline - clock_->now();
  if (remaining <= Clock::duration::zero()) return;
  wake_.wait_for(lock, remaining, [this] { return !queue_.empty() || quit_; });
}

void Apartment::run_for(std::chrono::milliseconds duration) {
  const Clock::time_point end = clock_->now() + duration;
  for (;;) {
    run_until_idle();
    if (clock_->now() >= end) return;
    Clock::time_point due;
    Clock::time_point target = next_due(due) && due < end ? due : end;
    if (clock_->is_manual()) {
      static_cast<ManualClock&>(*clock_).advance_to(target);
    } else {
      wait_until(target);
    }
  }
}

void Apartment::run() {
  {
    std::lock_guard lock(mutex_);
    quit_ = false;
  }
  for (;;) {
    run_until_idle();
    {
      std::lock_guard lock(mutex_);
      if (quit_) return;
    }
    Clock::time_point due;
    bool has_timer = next_due(due);
    if (clock_->is_manual()) {
      if (!has_timer) return;
      static_cast<ManualClock&>(*clock_).advance_to(due);
    } else {
      wait_until(has_timer ? due : clock_->now() + std::chrono::hours(1));
    }
  }
}

void Apartment::quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
}

}  // namespace vexa32
