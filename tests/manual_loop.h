#pragma once
// A message loop on a manual clock, for tests that advance time instead of sleeping.

#include <chrono>
#include <memory>

#include "platform/apartment/apartment.h"

namespace vexa32::testing {

struct ManualLoop {
  // Runs what is ready now (ms == 0), or moves the clock ms forward running every timer on the way.
  void pump(int ms = 0) {
    if (ms == 0) {
      apartment.run_until_idle();
    } else {
      apartment.run_for(std::chrono::milliseconds(ms));
    }
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Apartment apartment{clock};
};

}  // namespace vexa32::testing
