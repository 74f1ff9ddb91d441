#pragma once
// A keyed collection as the wrappers use it: objects added under a text key, looked up and
// removed by key, counted, walked in the order they were added. A missing key, or a key added
// twice, is an AutomationError (5, or 457 for a duplicate) that a wrapper's trap can catch.

#include <list>
#include <memory>
#include <string>
#include <utility>
#include <unordered_map>

#include "platform/automation/errors.h"

namespace vexa32 {

template <class T>
class KeyedCollection {
 public:
  using Entry = std::pair<std::string, std::shared_ptr<T>>;

  void add(const std::string& key, std::shared_ptr<T> item) {
    if (index_.count(key)) {
      throw AutomationError(457, static_cast<HRESULT>(0x800A01C9u),
                            "This key is already associated with an element of this collection");
    }
    entries_.emplace_back(key, std::move(item));
    index_.emplace(key, std::prev(entries_.end()));
  }

  // The object under the key; error 5 when there is none.
  const std::shared_ptr<T>& item(const std::string& key) const { return at(key)->second; }

  bool contains(const std::string& key) const { return index_.count(key) != 0; }

  void remove(const std::string& key) {
    auto it = at(key);
    index_.erase(key);
    entries_.erase(it);
  }

  // Removes the entries last first, as a wrapper taking its children down does.
  void remove_all_last_first() {
    while (!entries_.empty()) {
      index_.erase(entries_.back().first);
      entries_.pop_back();
    }
  }

  std::size_t count() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  typename std::list<Entry>::const_iterator begin() const { return entries_.begin(); }
  typename std::list<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  typename std::list<Entry>::iterator at(const std::string& key) const {
    auto it = index_.find(key);
    if (it == index_.end()) throw illegal_function_call_error("no element with the key \"" + key + "\"");
    return it->second;
  }

  // In the order of adding, with a hashed index: lookups and removals by key do not walk the list.
  std::list<Entry> entries_;
  std::unordered_map<std::string, typename std::list<Entry>::iterator> index_;
};

}  // namespace vexa32
