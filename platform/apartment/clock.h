#pragma once
// Time for the apartment: a steady clock for timers and a wall clock for time stamps. Tests use
// ManualClock and advance it instead of sleeping.

#include <chrono>
#include <memory>

namespace vexa32 {

class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using duration = std::chrono::steady_clock::duration;

  virtual ~Clock() = default;
  virtual time_point now() const = 0;
  virtual std::chrono::system_clock::time_point wall_now() const = 0;
  // A manual clock never waits: an idle loop jumps it to the next timer instead.
  virtual bool is_manual() const { return false; }
};

class SystemClock final : public Clock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
  std::chrono::system_clock::time_point wall_now() const override { return std::chrono::system_clock::now(); }
};

class ManualClock final : public Clock {
 public:
  // Wall time starts at 1 Jan 2026 00:00:00 UTC unless given.
  explicit ManualClock(std::chrono::system_clock::time_point wall_start = default_wall_start());

  time_point now() const override { return now_; }
  std::chrono::system_clock::time_point wall_now() const override;
  bool is_manual() const override { return true; }

  void advance(duration d) { now_ += d; }
  // Moves to t; never backwards.
  void advance_to(time_point t) {
    if (t > now_) now_ = t;
  }

  static std::chrono::system_clock::time_point default_wall_start();

 private:
  time_point start_{};
  time_point now_{};
  std::chrono::system_clock::time_point wall_start_;
};

std::shared_ptr<Clock> system_clock();

}  // namespace vexa32
