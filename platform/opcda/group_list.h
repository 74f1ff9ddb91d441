#pragma once
// A server's list of one client's groups, as every server of this model keeps it: found by name,
// by server handle or by position; a new group takes its requested name or the server's choice.

#include <memory>
#include <string>
#include <vector>

#include "platform/automation/convert.h"
#include "platform/opcda/automation.h"
#include "platform/opcda/data_change.h"

namespace vexa32::opcda {

// What every server keeps of one client's group, whatever serves its items.
struct GroupSettings {
  std::string name;
  std::int32_t server_handle = 0;
  std::int32_t client_handle = 0;
  bool active = true;
  bool subscribed = false;
  std::int32_t update_rate = 1000;
  float deadband = 0;
  bool removed = false;
  std::int16_t default_requested_type = VT_EMPTY;
  std::string default_access_path;
  bool default_active = true;
  DataChangeEvent data_change;
  DataChangeArrays changes;  // what the next DataChange carries
  AsyncWriteCompleteEvent write_complete;
};

// By name (a text key), else by 1-based position or by server handle; nullptr when none.
template <typename G>
std::shared_ptr<G> find_group_in(const std::vector<std::shared_ptr<G>>& list, const Variant& key, bool by_position) {
  if (key.vt() == VT_BSTR) {
    for (const auto& g : list) {
      if (g->name == key.bstr()) return g;
    }
    return nullptr;
  }
  std::int32_t n = to_i4(key);
  if (by_position) {
    if (n < 1 || n > static_cast<std::int32_t>(list.size())) return nullptr;
    return list[static_cast<std::size_t>(n - 1)];
  }
  for (const auto& g : list) {
    if (g->server_handle == n) return g;
  }
  return nullptr;
}

// The requested name, or OPC_E_DUPLICATENAME when a group has it; for an empty request the
// server's own choice, the first free "Group_N".
template <typename G>
std::string new_group_name(const std::vector<std::shared_ptr<G>>& list, const std::string& requested,
                           int& unnamed_count) {
  std::string name = requested;
  if (name.empty()) {
    do {
      name = "Group_" + std::to_string(++unnamed_count);
    } while (find_group_in(list, Variant(name), false));
  } else if (find_group_in(list, Variant(name), false)) {
    throw hresult_error(hr::OPC_E_DUPLICATENAME, "A group named \"" + name + "\" exists already");
  }
  return name;
}

}  // namespace vexa32::opcda
