#include "platform/opcda/data_change.h"

namespace vexa32::opcda {
namespace {

constexpr VarType kElementTypes[4] = {VT_I4, VT_VARIANT, VT_I4, VT_DATE};
// Room kept between data changes, per array: enough for any group a host makes, without holding
// on to what one huge burst needed.
constexpr std::size_t kKeptElements = 16384;

}  // namespace

void DataChangeArrays::start(std::size_t capacity) {
  for (int k = 0; k < 4; ++k) {
    Variant& a = arrays_[k];
    // An array a handler kept (or one of an event still being raised) would be copied before
    // being written; an empty one is cheaper, and the kept one stays as it is either way.
    if (!a.is_array() || a.array_shared()) a = Variant(SafeArray(kElementTypes[k], 1, 0));
    auto& elements = a.array_mut().raw_elements();
    elements.clear();
    elements.reserve(capacity);
    parts_[k] = &elements;
  }
}

bool DataChangeArrays::raise(const DataChangeEvent& event) {
  const std::size_t n = size();
  for (auto& p : parts_) p = nullptr;
  if (n == 0) return false;
  {
    // The handlers get copies: if one starts this builder again, the arrays are then shared and
    // left alone, so what this event carries does not change under its handlers.
    const Variant h = arrays_[0], v = arrays_[1], q = arrays_[2], t = arrays_[3];
    event.raise(0, static_cast<std::int32_t>(n), h, v, q, t);
  }
  for (auto& a : arrays_) {
    if (!a.is_array()) continue;
    if (a.array_shared()) {
      a = Variant();
      continue;
    }
    // The values are not held on to until the next data change; the room is, within reason.
    auto& elements = a.array_mut().raw_elements();
    elements.clear();
    if (elements.capacity() > kKeptElements) a = Variant();
  }
  return true;
}

}  // namespace vexa32::opcda
