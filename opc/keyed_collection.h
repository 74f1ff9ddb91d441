#pragma once
// A keyed collection as the wrappers use it: objects added under a text key, looked up and
// removed by key, counted, walked in the order they were added. A missing key, or a key added
// twice, is an AutomationError (5, or 457 for a duplicate) that a wrapper's trap can catch.

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation/errors.h"

namespace vexa32 {

template <class T>
class KeyedCollection {
 public:
  using Entry = std::pair<std::string, std::shared_ptr<T>>;

  void add(const std::string& key, std::shared_ptr<T> item) {
    if (find(key) != entries_.end()) {
      throw AutomationError(457, static_cast<HRESULT>(0x800A01C9u),
                            "This key is already associated with an element of this collection");
    }
    entries_.emplace_back(key, std::move(item));
  }

  // The object under the key; error 5 when there is none.
  const std::shared_ptr<T>& item(const std::string& key) const {
    auto it = find(key);
    if (it == entries_.end()) throw illegal_function_call_error("no element with the key \"" + key + "\"");
    return it->second;
  }

  bool contains(const std::string& key) const { return find(key) != entries_.end(); }

  void remove(const std::string& key) {
    auto it = find(key);
    if (it == entries_.end()) throw illegal_function_call_error("no element with the key \"" + key + "\"");
    entries_.erase(it);
  }

  // Removes the entries last first, as a wrapper taking its children down does.
  void remove_all_last_first() {
    while (!entries_.empty()) entries_.pop_back();
  }

  std::size_t count() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  typename std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  typename std::vector<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  typename std::vector<Entry>::const_iterator find(const std::string& key) const {
    return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == key; });
  }

  std::vector<Entry> entries_;
};

}  // namespace vexa32
