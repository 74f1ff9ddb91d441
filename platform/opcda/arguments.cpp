#include "platform/opcda/arguments.h"

#include <algorithm>

#include "platform/opcda/simulation.h"

namespace vexa32::opcda {

AutomationError bad_argument(const std::string& what) { return hresult_error(hr::E_INVALIDARG, what); }

Variant arg_at(const Variant& array, std::int32_t i, const char* what) {
  if (!array.is_array()) throw bad_argument(std::string(what) + " must be an array");
  const SafeArray& a = array.array();
  if (i < a.lower_bound() || i > a.upper_bound())
    throw bad_argument(std::string(what) + " holds fewer entries than the count");
  return a.at(i);
}

void check_count(std::int32_t count) {
  if (count < 0) throw bad_argument("the item count is negative");
}

Variant out_array(VarType type, const std::vector<Variant>& values) { return make_array(type, values, 1); }

std::int32_t revise_update_rate(std::int32_t requested) { return std::max(requested, kMinimumUpdateRate); }

std::chrono::milliseconds retry_pause(std::chrono::milliseconds first, std::chrono::milliseconds last, int attempt) {
  auto pause = first;
  for (int i = 0; i < attempt && pause < last; ++i) pause *= 2;
  return std::min(pause, last);
}

}  // namespace vexa32::opcda
