// The client-facing objects of the simulation servers.

#include <algorithm>

#include "platform/automation/convert.h"
#include "platform/opcda/arguments.h"
#include "platform/opcda/sim_p.h"
#include "platform/opcda/wildcard.h"

namespace vexa32::opcda {
namespace {

class SimItem final : public OPCItem {
 public:
  SimItem(std::shared_ptr<SimConnection> c, std::shared_ptr<GroupState> g, std::int32_t h)
      : conn_(std::move(c)), group_(std::move(g)), handle_(h) {}

  std::int32_t get_ClientHandle() override { return item("get_ClientHandle").client_handle; }
  void put_ClientHandle(std::int32_t handle) override { item("put_ClientHandle").client_handle = handle; }
  std::int32_t get_ServerHandle() override { return item("get_ServerHandle").server_handle; }
  std::string get_ItemID() override { return item("get_ItemID").def->item_id; }
  std::string get_AccessPath() override { return item("get_AccessPath").access_path; }
  std::int32_t get_AccessRights() override { return item("get_AccessRights").def->access; }
  bool get_IsActive() override { return item("get_IsActive").active; }
  void put_IsActive(bool active) override {
    GroupItem& it = item("put_IsActive");
    if (active && !it.active) it.reported = false;  // a reactivated item is reported afresh
    it.active = active;
  }
  std::int16_t get_RequestedDataType() override { return item("get_RequestedDataType").requested_type; }
  void put_RequestedDataType(std::int16_t type) override {
    GroupItem& it = item("put_RequestedDataType");
    HRESULT h = check_requested_type(*group_, *it.def, type);
    if (h) throw hresult_error(h);
    it.requested_type = type;
  }
  std::int16_t get_CanonicalDataType() override {
    return static_cast<std::int16_t>(item("get_CanonicalDataType").def->canonical);
  }
  Variant get_Value() override { return sample("get_Value").value; }
  std::int32_t get_Quality() override { return sample("get_Quality").quality; }
  DATE get_TimeStamp() override { return sample("get_TimeStamp").timestamp; }

  static HRESULT check_requested_type(GroupState& g, const ItemDef& def, std::int16_t type) {
    if (type == VT_EMPTY || type == static_cast<std::int16_t>(def.canonical)) return hr::S_OK;
    VarType vt = static_cast<VarType>(type);
    bool valid =
        (vt & VT_ARRAY) ? is_valid_scalar_type(static_cast<VarType>(vt & ~VT_ARRAY)) : is_valid_scalar_type(vt);
    if (!valid || vt == VT_NULL || vt == VT_DISPATCH || vt == VT_ERROR) return hr::OPC_E_BADTYPE;
    try {
      change_type(g.server->sample(def).value, vt);
    } catch (const AutomationError& e) {
      if (e.hresult() != hr::DISP_E_OVERFLOW) return hr::OPC_E_BADTYPE;
    }
    return hr::S_OK;
  }

 private:
  GroupItem& item(const char* member) {
    conn_->enter(std::string("OPCItem.") + member);
    GroupItem* it = group_->removed ? nullptr : group_->find_item(handle_);
    if (!it) throw hresult_error(hr::OPC_E_INVALIDHANDLE, "The item has been removed");
    return *it;
  }
  SimulationServer::Sample sample(const char* member) {
    GroupItem& it = item(member);
    if (!(it.def->access & OPC_READABLE)) throw hresult_error(hr::OPC_E_BADRIGHTS);
    return group_->read(it);
  }

  std::shared_ptr<SimConnection> conn_;
  std::shared_ptr<GroupState> group_;
  std::int32_t handle_;
};

class SimItems final : public OPCItems {
 public:
  SimItems(std::shared_ptr<SimConnection> c, std::shared_ptr<GroupState> g)
      : conn_(std::move(c)), group_(std::move(g)) {}

  std::int16_t get_DefaultRequestedDataType() override {
    return state("get_DefaultRequestedDataType").default_requested_type;
  }
  void put_DefaultRequestedDataType(std::int16_t t) override {
    state("put_DefaultRequestedDataType").default_requested_type = t;
  }
  std::string get_DefaultAccessPath() override { return state("get_DefaultAccessPath").default_access_path; }
  void put_DefaultAccessPath(const std::string& p) override { state("put_DefaultAccessPath").default_access_path = p; }
  bool get_DefaultIsActive() override { return state("get_DefaultIsActive").default_active; }
  void put_DefaultIsActive(bool a) override { state("put_DefaultIsActive").default_active = a; }
  std::int32_t get_Count() override { return static_cast<std::int32_t>(state("get_Count").items.size()); }

  std::shared_ptr<OPCItem> Item(const Variant& index) override {
    GroupState& g = state("Item");
    std::int32_t i = to_i4(index);
    if (i < 1 || i > static_cast<std::int32_t>(g.items.size())) throw bad_argument("no item at that position");
    return make_item_facade(conn_, group_, g.items[static_cast<std::size_t>(i - 1)].server_handle);
  }

  std::shared_ptr<OPCItem> GetOPCItem(std::int32_t server_handle) override {
    GroupState& g = state("GetOPCItem");
    if (!g.find_item(server_handle)) throw hresult_error(hr::OPC_E_INVALIDHANDLE);
    return make_item_facade(conn_, group_, server_handle);
  }

  std::shared_ptr<OPCItem> AddItem(const std::string& item_id, std::int32_t client_handle) override {
    GroupState& g = state("AddItem");
    std::int32_t handle = 0;
    HRESULT refusal = conn_->server->take_refusal("OPCItems.AddItem");
    if (refusal || add_one(g, item_id, client_handle, g.default_requested_type, handle)) return nullptr;
    after_add(g);
    return make_item_facade(conn_, group_, handle);
  }

  void AddItems(std::int32_t count, const Variant& item_ids, const Variant& client_handles, Variant& server_handles,
                Variant& errors, const Variant& requested_types, const Variant& access_paths) override {
    GroupState& g = state("AddItems");
    check_count(count);
    conn_->server->note_item_count("OPCItems.AddItems", count);
    conn_->server->note_argument("OPCItems.AddItems.ItemIDs", item_ids);
    conn_->server->note_argument("OPCItems.AddItems.ClientHandles", client_handles);
    // Read every argument first: a bad one fails the call before anything is added.
    struct Request {
      std::string id;
      std::int32_t client;
      std::int16_t requested;
    };
    std::vector<Request> requests;
    for (std::int32_t i = 1; i <= count; ++i) {
      Request r{to_bstr(arg_at(item_ids, i, "ItemIDs")), to_i4(arg_at(client_handles, i, "ClientHandles")),
                g.default_requested_type};
      if (!requested_types.is_missing()) r.requested = to_i2(arg_at(requested_types, i, "RequestedDataTypes"));
      if (!access_paths.is_missing()) to_bstr(arg_at(access_paths, i, "AccessPaths"));
      requests.push_back(std::move(r));
    }
    HRESULT refusal = conn_->server->take_refusal("OPCItems.AddItems");
    std::vector<Variant> handles, errs;
    bool added = false;
    for (const auto& r : requests) {
      std::int32_t handle = 0;
      HRESULT h = refusal ? refusal : add_one(g, r.id, r.client, r.requested, handle);
      added = added || h == hr::S_OK;
      handles.emplace_back(handle);
      errs.emplace_back(h);
    }
    server_handles = out_array(VT_I4, handles);
    errors = out_array(VT_I4, errs);
    if (added) after_add(g);
  }

  void Remove(std::int32_t count, const Variant& server_handles, Variant& errors) override {
    GroupState& g = state("Remove");
    check_count(count);
    conn_->server->note_item_count("OPCItems.Remove", count);
    HRESULT refusal = conn_->server->take_refusal("OPCItems.Remove");
    std::vector<Variant> errs;
    for (std::int32_t i = 1; i <= count; ++i) {
      std::int32_t handle = to_i4(arg_at(server_handles, i, "ServerHandles"));
      HRESULT h = refusal;
      if (!h) {
        auto it = std::find_if(g.items.begin(), g.items.end(),
                               [&](const GroupItem& x) { return handle != 0 && x.server_handle == handle; });
        if (it == g.items.end()) {
          h = hr::OPC_E_INVALIDHANDLE;
        } else {
          g.items.erase(it);
        }
      }
      errs.emplace_back(h);
    }
    errors = out_array(VT_I4, errs);
  }

  void Validate(std::int32_t count, const Variant& item_ids, Variant& errors, const Variant& requested_types,
                const Variant& access_paths) override {
    GroupState& g = state("Validate");
    check_count(count);
    conn_->server->note_item_count("OPCItems.Validate", count);
    HRESULT refusal = conn_->server->take_refusal("OPCItems.Validate");
    std::vector<Variant> errs;
    for (std::int32_t i = 1; i <= count; ++i) {
      std::string id = to_bstr(arg_at(item_ids, i, "ItemIDs"));
      std::int16_t requested = g.default_requested_type;
      if (!requested_types.is_missing()) requested = to_i2(arg_at(requested_types, i, "RequestedDataTypes"));
      if (!access_paths.is_missing()) to_bstr(arg_at(access_paths, i, "AccessPaths"));
      HRESULT h = refusal ? refusal : check(g, id, requested, nullptr);
      errs.emplace_back(h);
    }
    errors = out_array(VT_I4, errs);
  }

 private:
  GroupState& state(const char* member) {
    conn_->enter(std::string("OPCItems.") + member);
    if (group_->removed) throw hresult_error(hr::E_FAIL, "The group has been removed");
    return *group_;
  }

  HRESULT check(GroupState& g, const std::string& id, std::int16_t requested, const ItemDef** found) {
    if (HRESULT h = check_item_id_syntax(id)) return h;
    const ItemDef* def = conn_->server->address_space().find(id);
    if (!def) return hr::OPC_E_UNKNOWNITEMID;
    if (HRESULT h = SimItem::check_requested_type(g, *def, requested)) return h;
    if (found) *found = def;
    return hr::S_OK;
  }

  HRESULT add_one(GroupState& g, const std::string& id, std::int32_t client, std::int16_t requested,
                  std::int32_t& handle) {
    const ItemDef* def = nullptr;
    if (HRESULT h = check(g, id, requested, &def)) return h;
    GroupItem item;
    item.server_handle = conn_->server->next_handle();
    item.client_handle = client;
    item.def = def;
    item.active = g.default_active;
    item.requested_type = requested;
    item.access_path = g.default_access_path;
    g.items.push_back(std::move(item));
    handle = g.items.back().server_handle;
    return hr::S_OK;
  }

  // New items of a live subscription get their first values at the next turn of the loop.
  void after_add(GroupState& g) {
    if (g.active && g.subscribed) g.post_tick();
  }

  std::shared_ptr<SimConnection> conn_;
  std::shared_ptr<GroupState> group_;
};

class SimGroup final : public OPCGroup {
 public:
  SimGroup(std::shared_ptr<SimConnection> c, std::shared_ptr<GroupState> g)
      : conn_(std::move(c)), group_(std::move(g)) {}

  std::string get_Name() override { return state("get_Name").name; }
  void put_Name(const std::string& name) override {
    GroupState& g = state("put_Name");
    auto other = conn_->find_group(Variant(name), false);
    if (other && other != group_) throw hresult_error(hr::OPC_E_DUPLICATENAME);
    g.name = name;
  }
  bool get_IsPublic() override { return (state("get_IsPublic"), false); }
  bool get_IsActive() override { return state("get_IsActive").active; }
  void put_IsActive(bool active) override { switch_on_off(state("put_IsActive"), &GroupState::active, active); }
  bool get_IsSubscribed() override { return state("get_IsSubscribed").subscribed; }
  void put_IsSubscribed(bool subscribed) override {
    switch_on_off(state("put_IsSubscribed"), &GroupState::subscribed, subscribed);
  }
  std::int32_t get_ClientHandle() override { return state("get_ClientHandle").client_handle; }
  void put_ClientHandle(std::int32_t h) override { state("put_ClientHandle").client_handle = h; }
  std::int32_t get_ServerHandle() override { return state("get_ServerHandle").server_handle; }
  std::int32_t get_UpdateRate() override { return state("get_UpdateRate").update_rate; }
  void put_UpdateRate(std::int32_t ms) override {
    GroupState& g = state("put_UpdateRate");
    g.update_rate = revise_update_rate(ms);
    g.reschedule();
  }
  float get_DeadBand() override { return state("get_DeadBand").deadband; }
  void put_DeadBand(float percent) override {
    GroupState& g = state("put_DeadBand");
    if (!(percent >= 0.0f && percent <= 100.0f)) throw bad_argument("the deadband lies outside 0 to 100");
    g.deadband = percent;
  }
  std::shared_ptr<OPCItems> get_OPCItems() override {
    state("get_OPCItems");
    return make_items_facade(conn_, group_);
  }

  void SyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors) override {
    GroupState& g = state("SyncWrite");
    check_count(count);
    conn_->server->note_item_count("OPCGroup.SyncWrite", count);
    HRESULT refusal = conn_->server->take_refusal("OPCGroup.SyncWrite");
    std::vector<Variant> errs;
    for (std::int32_t i = 1; i <= count; ++i) {
      std::int32_t handle = to_i4(arg_at(server_handles, i, "ServerHandles"));
      Variant value = arg_at(values, i, "Values");
      HRESULT h = refusal;
      if (!h) {
        GroupItem* item = g.find_item(handle);
        h = item ? conn_->server->write(*item->def, value) : hr::OPC_E_INVALIDHANDLE;
      }
      errs.emplace_back(h);
    }
    errors = out_array(VT_I4, errs);
  }

  void AsyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors,
                  std::int32_t transaction_id, std::int32_t& cancel_id) override {
    GroupState& g = state("AsyncWrite");
    check_count(count);
    HRESULT refusal = conn_->server->take_refusal("OPCGroup.AsyncWrite");
    struct Pending {
      std::int32_t server_handle;
      Variant value;
    };
    std::vector<Pending> pending;
    std::vector<Variant> errs;
    for (std::int32_t i = 1; i <= count; ++i) {
      std::int32_t handle = to_i4(arg_at(server_handles, i, "ServerHandles"));
      Variant value = arg_at(values, i, "Values");
      // Only a handle the group does not know fails at once; the write itself answers later.
      HRESULT h = g.find_item(handle) ? hr::S_OK : hr::OPC_E_INVALIDHANDLE;
      if (!h) pending.push_back({handle, value});
      errs.emplace_back(h);
    }
    errors = out_array(VT_I4, errs);
    cancel_id = conn_->server->next_handle();
    if (pending.empty()) return;
    std::weak_ptr<GroupState> weak = group_;
    g.post([weak, pending = std::move(pending), transaction_id, refusal] {
      auto grp = weak.lock();
      if (!grp || grp->removed) return;
      std::vector<Variant> handles, results;
      for (const auto& p : pending) {
        GroupItem* item = grp->find_item(p.server_handle);
        if (!item) continue;
        handles.emplace_back(item->client_handle);
        results.emplace_back(refusal ? refusal : grp->server->write(*item->def, p.value));
      }
      grp->write_complete.raise(transaction_id, static_cast<std::int32_t>(handles.size()), out_array(VT_I4, handles),
                                out_array(VT_I4, results));
    });
  }

  DataChangeEvent& DataChange() override { return group_->data_change; }
  AsyncWriteCompleteEvent& AsyncWriteComplete() override { return group_->write_complete; }

 private:
  // Activating or subscribing: every item is reported once more, at the next turn of the loop.
  static void switch_on_off(GroupState& g, bool GroupState::*flag, bool on) {
    if (g.*flag == on) return;
    g.*flag = on;
    if (on) {
      g.forget_reported();
      g.post_tick();
    }
    g.reschedule();
  }

  GroupState& state(const char* member) {
    conn_->enter(std::string("OPCGroup.") + member);
    if (group_->removed) throw hresult_error(hr::E_FAIL, "The group has been removed");
    return *group_;
  }

  std::shared_ptr<SimConnection> conn_;
  std::shared_ptr<GroupState> group_;
};

class SimGroups final : public OPCGroups {
 public:
  explicit SimGroups(std::shared_ptr<SimConnection> c) : conn_(std::move(c)) {}

  bool get_DefaultGroupIsActive() override { return conn("get_DefaultGroupIsActive").default_active; }
  void put_DefaultGroupIsActive(bool a) override { conn("put_DefaultGroupIsActive").default_active = a; }
  std::int32_t get_DefaultGroupUpdateRate() override { return conn("get_DefaultGroupUpdateRate").default_update_rate; }
  void put_DefaultGroupUpdateRate(std::int32_t ms) override {
    conn("put_DefaultGroupUpdateRate").default_update_rate = revise_update_rate(ms);
  }
  float get_DefaultGroupDeadband() override { return conn("get_DefaultGroupDeadband").default_deadband; }
  void put_DefaultGroupDeadband(float percent) override {
    SimConnection& c = conn("put_DefaultGroupDeadband");
    if (!(percent >= 0.0f && percent <= 100.0f)) throw bad_argument("the deadband lies outside 0 to 100");
    c.default_deadband = percent;
  }
  std::int32_t get_Count() override { return static_cast<std::int32_t>(conn("get_Count").group_list.size()); }

  std::shared_ptr<OPCGroup> Item(const Variant& key) override {
    auto g = conn("Item").find_group(key, true);
    if (!g) throw bad_argument("no such group");
    return make_group_facade(conn_, g);
  }
  std::shared_ptr<OPCGroup> GetOPCGroup(const Variant& key) override {
    auto g = conn("GetOPCGroup").find_group(key, false);
    if (!g) throw bad_argument("no such group");
    return make_group_facade(conn_, g);
  }
  std::shared_ptr<OPCGroup> Add(const Variant& name) override {
    SimConnection& c = conn("Add");
    std::string n = name.is_missing() ? std::string() : to_bstr(name);
    return make_group_facade(conn_, c.add_group(n));
  }
  void Remove(const Variant& key) override {
    SimConnection& c = conn("Remove");
    auto g = c.find_group(key, false);
    if (!g) throw bad_argument("no such group");
    c.remove_group(g);
  }
  void RemoveAll() override {
    SimConnection& c = conn("RemoveAll");
    while (!c.group_list.empty()) c.remove_group(c.group_list.back());
  }

 private:
  SimConnection& conn(const char* member) {
    conn_->enter(std::string("OPCGroups.") + member);
    return *conn_;
  }
  std::shared_ptr<SimConnection> conn_;
};

class SimBrowser final : public OPCBrowser {
 public:
  explicit SimBrowser(std::shared_ptr<SimConnection> c)
      : conn_(std::move(c)), root_(&conn_->server->address_space().root()), position_(root_) {}

  std::int32_t get_Organization() override { return (enter("get_Organization"), organization()); }
  std::string get_Filter() override { return (enter("get_Filter"), filter_); }
  void put_Filter(const std::string& f) override {
    enter("put_Filter");
    conn_->server->note_argument("OPCBrowser.put_Filter", Variant(f));
    filter_ = f;
  }
  std::int16_t get_DataType() override { return (enter("get_DataType"), data_type_); }
  void put_DataType(std::int16_t t) override {
    enter("put_DataType");
    conn_->server->note_argument("OPCBrowser.put_DataType", Variant(t));
    data_type_ = t;
  }
  std::int32_t get_AccessRights() override { return (enter("get_AccessRights"), access_); }
  void put_AccessRights(std::int32_t a) override {
    enter("put_AccessRights");
    conn_->server->note_argument("OPCBrowser.put_AccessRights", Variant(a));
    if (a < 0 || a > 3) throw bad_argument("access rights are 0 to 3");
    access_ = a;
  }
  std::string get_CurrentPosition() override { return (enter("get_CurrentPosition"), position_->item_id); }
  std::int32_t get_Count() override { return (enter("get_Count"), static_cast<std::int32_t>(names_.size())); }
  std::string Item(const Variant& index) override {
    enter("Item");
    std::int32_t i = to_i4(index);
    if (i < 1 || i > static_cast<std::int32_t>(names_.size())) throw bad_argument("no entry at that index");
    return names_[static_cast<std::size_t>(i - 1)];
  }

  void ShowBranches() override {
    enter("ShowBranches");
    names_.clear();
    if (organization() == OPCFlat) return;
    for (const auto& c : position_->children) {
      if (!c->is_leaf() && match_pattern(c->name, filter_)) names_.push_back(c->name);
    }
  }

  void ShowLeafs(const Variant& flat) override {
    enter("ShowLeafs");
    conn_->server->note_argument("OPCBrowser.ShowLeafs", flat);
    bool all = organization() == OPCFlat || (!flat.is_missing() && to_bool(flat) != 0);
    names_.clear();
    if (all) {
      collect_all(organization() == OPCFlat ? *root_ : *position_);
      return;
    }
    for (const auto& c : position_->children) {
      if (c->is_leaf() && passes(*c->item, c->name)) names_.push_back(c->name);
    }
  }

  void MoveUp() override {
    enter("MoveUp");
    if (organization() == OPCFlat || !position_->parent) throw hresult_error(hr::E_FAIL, "already at the root");
    position_ = position_->parent;
  }
  void MoveToRoot() override {
    enter("MoveToRoot");
    position_ = root_;
  }
  void MoveDown(const std::string& branch) override {
    enter("MoveDown");
    const BrowseNode* next = organization() == OPCFlat ? nullptr : position_->child(branch);
    if (!next || next->is_leaf()) throw bad_argument("no branch \"" + branch + "\" here");
    position_ = next;
  }
  std::string GetItemID(const std::string& leaf) override {
    enter("GetItemID");
    if (organization() == OPCFlat) {
      if (!conn_->server->address_space().find(leaf)) throw hresult_error(hr::OPC_E_UNKNOWNITEMID);
      return leaf;
    }
    const BrowseNode* node = position_->child(leaf);
    if (!node) throw hresult_error(hr::OPC_E_UNKNOWNITEMID, "no leaf \"" + leaf + "\" here");
    return node->item_id;
  }

 private:
  void enter(const char* member) { conn_->enter(std::string("OPCBrowser.") + member); }
  std::int32_t organization() const { return conn_->server->options().organization; }

  bool passes(const ItemDef& item, const std::string& name) const {
    if (!match_pattern(name, filter_)) return false;
    if (data_type_ != VT_EMPTY && static_cast<VarType>(static_cast<std::uint16_t>(data_type_)) != item.canonical)
      return false;
    if (access_ != 0 && (item.access & access_) != access_) return false;
    return true;
  }

  void collect_all(const BrowseNode& node) {
    for (const auto& c : node.children) {
      if (c->is_leaf()) {
        if (passes(*c->item, c->item_id)) names_.push_back(c->item_id);
      } else {
        collect_all(*c);
      }
    }
  }

  std::shared_ptr<SimConnection> conn_;
  const BrowseNode* root_;
  const BrowseNode* position_;
  std::string filter_;
  std::int16_t data_type_ = VT_EMPTY;
  std::int32_t access_ = 0;
  std::vector<std::string> names_;
};

}  // namespace

std::shared_ptr<OPCGroup> make_group_facade(std::shared_ptr<SimConnection> c, std::shared_ptr<GroupState> g) {
  return std::make_shared<SimGroup>(std::move(c), std::move(g));
}
std::shared_ptr<OPCItems> make_items_facade(std::shared_ptr<SimConnection> c, std::shared_ptr<GroupState> g) {
  return std::make_shared<SimItems>(std::move(c), std::move(g));
}
std::shared_ptr<OPCItem> make_item_facade(std::shared_ptr<SimConnection> c, std::shared_ptr<GroupState> g,
                                          std::int32_t h) {
  return std::make_shared<SimItem>(std::move(c), std::move(g), h);
}

std::shared_ptr<OPCGroups> SimConnection::groups() {
  enter("OPCServer.OPCGroups");
  return std::make_shared<SimGroups>(shared_from_this());
}

std::shared_ptr<OPCBrowser> SimConnection::create_browser() {
  enter("OPCServer.CreateBrowser");
  if (!server->options().can_browse) return nullptr;
  return std::make_shared<SimBrowser>(shared_from_this());
}

}  // namespace vexa32::opcda
