#include "platform/container/site.h"

#include "platform/automation/errors.h"

namespace vexa32 {

void RecordingSite::OnChanged(std::string_view property_name) {
  changes.emplace_back(property_name);
  if (fail_armed_ && (fail_name_.empty() || fail_name_ == property_name)) {
    fail_armed_ = false;
    throw AutomationError(fail_number_, static_cast<HRESULT>(0x800A0000u | static_cast<unsigned>(fail_number_)),
                          "The container refused the change of " + std::string(property_name));
  }
}

void RecordingSite::fail_next(std::string property_name, int error_number) {
  fail_armed_ = true;
  fail_name_ = std::move(property_name);
  fail_number_ = error_number;
}

}  // namespace vexa32
