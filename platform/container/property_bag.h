#pragma once
// The property bag a container hands to a control when it loads or saves a form. Keys match
// without regard to case and are kept in lower case; a value is stored only where it differs from
// the default the control passes with it, and keeps its automation type exactly.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/automation/variant.h"

namespace vexa32 {

class PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  // The stored value, or def when the key is absent.
  virtual Variant ReadProperty(std::string_view key, const Variant& def) = 0;
  virtual void WriteProperty(std::string_view key, const Variant& value, const Variant& def) = 0;
};

class MemoryPropertyBag : public PropertyBag {
 public:
  Variant ReadProperty(std::string_view key, const Variant& def) override;
  void WriteProperty(std::string_view key, const Variant& value, const Variant& def) override;

  // Direct access, for containers and tests: set or remove a stored value regardless of defaults.
  void set(std::string_view key, Variant value);
  bool remove(std::string_view key);
  const Variant* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Stored entries in the order first written; keys in lower case.
  const std::vector<std::pair<std::string, Variant>>& entries() const noexcept { return entries_; }
  std::size_t size() const noexcept { return entries_.size(); }
  void clear() { entries_.clear(); }

  // The next ReadProperty or WriteProperty of this key (any key, when empty) fails once with
  // error 5, as a damaged store would.
  void fail_next(std::string key);
  // Keys in the order they were read or written, as asked (not lower-cased).
  std::vector<std::string> reads, writes;

 private:
  void check_failure(std::string_view key);
  std::vector<std::pair<std::string, Variant>> entries_;
  bool fail_armed_ = false;
  std::string fail_key_;
};

}  // namespace vexa32
