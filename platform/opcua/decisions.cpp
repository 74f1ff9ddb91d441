#include "platform/opcua/decisions.h"

#include <mutex>

namespace vexa32::opcua {
namespace {

struct Slot {
  std::mutex mutex;
  std::shared_ptr<DecisionService> service = std::make_shared<DecisionService>();
};

Slot& slot() {
  static Slot s;
  return s;
}

}  // namespace

std::shared_ptr<DecisionService> decision_service() {
  std::lock_guard lock(slot().mutex);
  return slot().service;
}

void set_decision_service(std::shared_ptr<DecisionService> service) {
  std::lock_guard lock(slot().mutex);
  const bool given = service != nullptr;
  slot().service = given ? std::move(service) : std::make_shared<DecisionService>();
  set_login_service(given ? slot().service : nullptr);
}

}  // namespace vexa32::opcua
