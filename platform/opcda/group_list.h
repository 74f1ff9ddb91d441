#pragma once
// A server's list of one client's groups, as every server of this model keeps it: found by name,
// by server handle or by position; a new group takes its requested name or the server's choice.

#include <memory>
#include <string>
#include <vector>

#include "platform/automation/convert.h"
#include "platform/opcda/arguments.h"
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

// The groups collection of one client's connection, as every server reached through a network
// shows it. Connection keeps the defaults and group_list, and has find_group(key, by_position),
// add_group(name) and remove_group(group); live() fails on a closed or lost connection,
// reachable() on a closed one only, since removing works while the connection is lost (the group
// goes now, from the server later). Group is the facade of one group, made from both.
template <class Connection, class Group>
class GroupsOf final : public OPCGroups {
 public:
  explicit GroupsOf(std::shared_ptr<Connection> c) : conn_(std::move(c)) {}

  bool get_DefaultGroupIsActive() override { return conn().default_active; }
  void put_DefaultGroupIsActive(bool a) override { conn().default_active = a; }
  std::int32_t get_DefaultGroupUpdateRate() override { return conn().default_update_rate; }
  void put_DefaultGroupUpdateRate(std::int32_t ms) override { conn().default_update_rate = revise_update_rate(ms); }
  float get_DefaultGroupDeadband() override { return conn().default_deadband; }
  void put_DefaultGroupDeadband(float percent) override {
    Connection& c = conn();
    if (!(percent >= 0.0f && percent <= 100.0f)) throw bad_argument("the deadband lies outside 0 to 100");
    c.default_deadband = percent;
  }
  std::int32_t get_Count() override { return static_cast<std::int32_t>(conn().group_list.size()); }
  std::shared_ptr<OPCGroup> Item(const Variant& key) override { return facade(conn().find_group(key, true)); }
  std::shared_ptr<OPCGroup> GetOPCGroup(const Variant& key) override { return facade(conn().find_group(key, false)); }
  std::shared_ptr<OPCGroup> Add(const Variant& name) override {
    return facade(conn().add_group(name.is_missing() ? std::string() : to_bstr(name)));
  }
  void Remove(const Variant& key) override {
    conn_->reachable();
    auto g = conn_->find_group(key, false);
    if (!g) throw bad_argument("no such group");
    conn_->remove_group(g);
  }
  void RemoveAll() override {
    conn_->reachable();
    while (!conn_->group_list.empty()) conn_->remove_group(conn_->group_list.back());
  }

 private:
  Connection& conn() {
    conn_->live();
    return *conn_;
  }
  template <class State>
  std::shared_ptr<OPCGroup> facade(std::shared_ptr<State> g) {
    if (!g) throw bad_argument("no such group");
    return std::make_shared<Group>(conn_, std::move(g));
  }
  std::shared_ptr<Connection> conn_;
};

// What every group facade of a networked server shares: the settings kept on our side, the
// events, and the sorting of a write's handles. State has find_item(server handle).
template <class Connection, class State>
class GroupFacadeBase : public OPCGroup {
 public:
  GroupFacadeBase(std::shared_ptr<Connection> c, std::shared_ptr<State> g)
      : conn_(std::move(c)), group_(std::move(g)) {}

  std::string get_Name() override { return state().name; }
  void put_Name(const std::string& name) override {
    State& g = state();
    auto other = conn_->find_group(Variant(name), false);
    if (other && other != group_) throw hresult_error(hr::OPC_E_DUPLICATENAME);
    g.name = name;
  }
  bool get_IsPublic() override { return (state(), false); }
  bool get_IsActive() override { return state().active; }
  bool get_IsSubscribed() override { return state().subscribed; }
  std::int32_t get_ClientHandle() override { return state().client_handle; }
  void put_ClientHandle(std::int32_t h) override { state().client_handle = h; }
  std::int32_t get_ServerHandle() override { return state().server_handle; }
  std::int32_t get_UpdateRate() override { return state().update_rate; }
  float get_DeadBand() override { return state().deadband; }
  DataChangeEvent& DataChange() override { return group_->data_change; }
  AsyncWriteCompleteEvent& AsyncWriteComplete() override { return group_->write_complete; }

 protected:
  State& state() {
    conn_->live();
    if (group_->removed) throw hresult_error(hr::E_FAIL, "The group has been removed");
    return *group_;
  }
  // The items a write names that the group has, with their values and their places in the call;
  // errs holds OPC_E_INVALIDHANDLE for the others, S_OK for these (until the server says).
  template <class Item>
  std::vector<std::size_t> sort_out_write(std::int32_t count, const Variant& server_handles, const Variant& values,
                                          std::vector<const Item*>& items, std::vector<Variant>& to_write,
                                          std::vector<Variant>& errs) {
    State& g = state();
    check_count(count);
    errs.assign(static_cast<std::size_t>(count), Variant(hr::S_OK));
    std::vector<std::size_t> index;
    for (std::int32_t i = 1; i <= count; ++i) {
      const std::int32_t handle = to_i4(arg_at(server_handles, i, "ServerHandles"));
      Variant value = arg_at(values, i, "Values");
      const Item* item = g.find_item(handle);
      if (!item) {
        errs[static_cast<std::size_t>(i - 1)] = Variant(hr::OPC_E_INVALIDHANDLE);
        continue;
      }
      items.push_back(item);
      to_write.push_back(std::move(value));
      index.push_back(static_cast<std::size_t>(i - 1));
    }
    return index;
  }

  std::shared_ptr<Connection> conn_;
  std::shared_ptr<State> group_;
};

// What every items facade of a networked server shares: the group's defaults, its count and its
// items by position or server handle. ItemFacade is made from the connection, the group and an
// item's server handle.
template <class Connection, class State, class ItemFacade>
class ItemsFacadeBase : public OPCItems {
 public:
  ItemsFacadeBase(std::shared_ptr<Connection> c, std::shared_ptr<State> g)
      : conn_(std::move(c)), group_(std::move(g)) {}

  std::int16_t get_DefaultRequestedDataType() override { return state().default_requested_type; }
  void put_DefaultRequestedDataType(std::int16_t t) override { state().default_requested_type = t; }
  std::string get_DefaultAccessPath() override { return state().default_access_path; }
  void put_DefaultAccessPath(const std::string& p) override { state().default_access_path = p; }
  bool get_DefaultIsActive() override { return state().default_active; }
  void put_DefaultIsActive(bool a) override { state().default_active = a; }
  std::int32_t get_Count() override { return static_cast<std::int32_t>(state().items.size()); }
  std::shared_ptr<OPCItem> Item(const Variant& index) override {
    State& g = state();
    const std::int32_t i = to_i4(index);
    if (i < 1 || i > static_cast<std::int32_t>(g.items.size())) throw bad_argument("no item at that position");
    return std::make_shared<ItemFacade>(conn_, group_, g.items[static_cast<std::size_t>(i - 1)].server_handle);
  }
  std::shared_ptr<OPCItem> GetOPCItem(std::int32_t server_handle) override {
    if (!state().find_item(server_handle)) throw hresult_error(hr::OPC_E_INVALIDHANDLE);
    return std::make_shared<ItemFacade>(conn_, group_, server_handle);
  }

 protected:
  State& state() {
    conn_->live();
    if (group_->removed) throw hresult_error(hr::E_FAIL, "The group has been removed");
    return *group_;
  }
  std::shared_ptr<Connection> conn_;
  std::shared_ptr<State> group_;
};

// What every item facade of a networked server shares: the item found again by its server handle
// at each call (it may have been removed), and what is kept of it on our side.
template <class Connection, class State, class ItemState>
class ItemFacadeBase : public OPCItem {
 public:
  ItemFacadeBase(std::shared_ptr<Connection> c, std::shared_ptr<State> g, std::int32_t h)
      : conn_(std::move(c)), group_(std::move(g)), handle_(h) {}

  std::int32_t get_ClientHandle() override { return item().client_handle; }
  void put_ClientHandle(std::int32_t handle) override { item().client_handle = handle; }
  std::int32_t get_ServerHandle() override { return item().server_handle; }
  std::string get_ItemID() override { return item().item_id; }
  std::string get_AccessPath() override { return item().access_path; }
  std::int32_t get_AccessRights() override { return item().access; }
  bool get_IsActive() override { return item().active; }
  std::int16_t get_RequestedDataType() override { return item().requested_type; }
  std::int16_t get_CanonicalDataType() override { return static_cast<std::int16_t>(item().canonical); }

 protected:
  ItemState& item() {
    conn_->live();
    ItemState* it = group_->removed ? nullptr : group_->find_item(handle_);
    if (!it) throw hresult_error(hr::OPC_E_INVALIDHANDLE, "The item has been removed");
    return *it;
  }
  std::shared_ptr<Connection> conn_;
  std::shared_ptr<State> group_;
  std::int32_t handle_;
};

}  // namespace vexa32::opcda
