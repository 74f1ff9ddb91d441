#include "platform/container/property_bag.h"

#include <algorithm>

#include "platform/automation/errors.h"
#include "platform/automation/text.h"

namespace vexa32 {

const Variant* MemoryPropertyBag::find(std::string_view key) const {
  std::string k = ascii_lower(key);
  for (const auto& [name, value] : entries_) {
    if (name == k) return &value;
  }
  return nullptr;
}

void MemoryPropertyBag::set(std::string_view key, Variant value) {
  std::string k = ascii_lower(key);
  for (auto& [name, stored] : entries_) {
    if (name == k) {
      stored = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(k), std::move(value));
}

bool MemoryPropertyBag::remove(std::string_view key) {
  std::string k = ascii_lower(key);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == k; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

void MemoryPropertyBag::fail_next(std::string key) {
  fail_armed_ = true;
  fail_key_ = ascii_lower(key);
}

void MemoryPropertyBag::check_failure(std::string_view key) {
  if (fail_armed_ && (fail_key_.empty() || fail_key_ == ascii_lower(key))) {
    fail_armed_ = false;
    throw illegal_function_call_error("property bag refused key " + std::string(key));
  }
}

Variant MemoryPropertyBag::ReadProperty(std::string_view key, const Variant& def) {
  reads.emplace_back(key);
  check_failure(key);
  const Variant* v = find(key);
  return v ? *v : def;
}

void MemoryPropertyBag::WriteProperty(std::string_view key, const Variant& value, const Variant& def) {
  writes.emplace_back(key);
  check_failure(key);
  // Only what differs from the default is kept, so a missing key reads back as that default.
  if (value == def) {
    remove(key);
  } else {
    set(key, value);
  }
}

}  // namespace vexa32
