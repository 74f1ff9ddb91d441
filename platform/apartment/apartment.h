#pragma once
// The single-threaded apartment: one thread's message loop. Everything of the control, the
// wrappers and the OPC objects runs on it; server events are posted and run between other calls,
// never inside the call that caused them. post() is the only entry that other threads may use.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/apartment/clock.h"

namespace vexa32 {

class Apartment {
 public:
  using TimerId = std::uint64_t;
  using Task = std::function<void()>;

  // Becomes the current apartment of the constructing thread until destroyed (the previous one
  // comes back then). Without a clock, the system clock.
  explicit Apartment(std::shared_ptr<Clock> clock = nullptr);
  ~Apartment();
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

  // The current apartment of this thread; nullptr when none exists.
  static Apartment* current() noexcept;
  // The current apartment; std::logic_error when this thread has none.
  static Apartment& require_current();

  Clock& clock() noexcept { return *clock_; }
  // Expires when the apartment is destroyed: objects that may outlive their loop check it before
  // they touch the loop again.
  std::weak_ptr<const void> liveness() const noexcept { return alive_; }
  const std::shared_ptr<Clock>& clock_ptr() const noexcept { return clock_; }

  // Thread-safe: queue a task to run on the loop, after the tasks already queued.
  void post(Task task);

  // A timer fires first after interval, then (periodic) every interval; a callback may kill its
  // own timer or others. An interval of 0 fires at the next turn of the loop.
  TimerId set_timer(std::chrono::milliseconds interval, Task callback, bool periodic = true);
  bool kill_timer(TimerId id);
  std::size_t timer_count() const noexcept { return timers_.size(); }

  // Runs queued tasks and due timers until nothing is ready now; returns how many ran.
  std::size_t run_until_idle();
  // When the earliest timer is due; false when there is no timer.
  bool next_due(Clock::time_point& due) const;

  // For a host that runs the apartment from a loop of its own (a UI toolkit's): called after every
  // post (from any thread) and every new timer, so the host wakes and runs run_until_idle() or
  // reschedules its wait. Nothing is called from inside the lock.
  void set_wake_handler(std::function<void()> handler);
  // Runs the loop for the given time: a manual clock is moved from timer to timer up to the end,
  // the system clock is waited on.
  void run_for(std::chrono::milliseconds duration);
  // Runs until quit() (or, on a manual clock, until nothing is queued and no timer is left).
  void run();
  // Thread-safe: makes run() return after the current task.
  void quit();

 private:
  struct Timer {
    Clock::time_point due;
    std::chrono::milliseconds interval;
    bool periodic;
    std::shared_ptr<Task> callback;
  };

  bool run_one_task();
  bool fire_due_timers();
  void wait_until(Clock::time_point deadline);
  void wake_host();

  std::shared_ptr<Clock> clock_;
  std::shared_ptr<const void> alive_ = std::make_shared<int>(0);
  Apartment* previous_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  bool quit_ = false;
  std::map<TimerId, Timer> timers_;
  std::shared_ptr<std::function<void()>> wake_handler_;  // guarded by mutex_
  TimerId next_timer_ = 1;
};

}  // namespace vexa32
