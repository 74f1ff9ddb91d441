#pragma once
// The wrappers' error trap: an operation that runs to its end gives the status result true, one
// whose step fails gives false, and the failure goes no further.

#include "platform/automation/errors.h"
#include "platform/automation/variant.h"

namespace vexa32::detail {

template <class Steps>
Variant status_of(Steps steps) {
  try {
    return Variant(static_cast<bool>(steps()));
  } catch (const AutomationError&) {
    return Variant(false);
  }
}

template <class T>
T& require(const std::shared_ptr<T>& object) {
  if (!object) throw object_not_set_error();
  return *object;
}

}  // namespace vexa32::detail
