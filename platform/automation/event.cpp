#include "platform/automation/event.h"

#include <utility>

#include "platform/automation/errors.h"

namespace vexa32 {
namespace {

SinkFailureHook& hook() {
  static SinkFailureHook h;
  return h;
}

}  // namespace

void set_sink_failure_hook(SinkFailureHook h) { hook() = std::move(h); }

void report_sink_failure(std::exception_ptr failure) noexcept {
  try {
    if (hook()) hook()(std::move(failure));
  } catch (...) {
    // The hook is the last stop: its own failure has nowhere further to go.
  }
}

std::string describe_failure(std::exception_ptr failure) {
  try {
    if (failure) std::rethrow_exception(std::move(failure));
  } catch (const AutomationError& e) {
    return "run-time error " + std::to_string(e.number()) + ": " + e.what();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unknown failure";
  }
  return "no failure";
}

}  // namespace vexa32
