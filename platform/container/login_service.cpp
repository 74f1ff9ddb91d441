#include "platform/container/login_service.h"

#include <mutex>

namespace vexa32 {
namespace {

struct Slot {
  std::mutex mutex;
  std::shared_ptr<LoginService> service = std::make_shared<LoginService>();
};

Slot& slot() {
  static Slot s;
  return s;
}

}  // namespace

std::shared_ptr<LoginService> login_service() {
  std::lock_guard lock(slot().mutex);
  return slot().service;
}

void set_login_service(std::shared_ptr<LoginService> service) {
  std::lock_guard lock(slot().mutex);
  slot().service = service ? std::move(service) : std::make_shared<LoginService>();
}

}  // namespace vexa32
