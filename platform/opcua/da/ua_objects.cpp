// The client-facing objects of a UA server: groups, group, items and item.

#include <algorithm>

#include "platform/automation/convert.h"
#include "platform/opcda/arguments.h"
#include "platform/opcua/da/ua_p.h"
#include "platform/opcua/da/values.h"

namespace vexa32::opcua {
namespace {

using opcda::arg_at;
using opcda::bad_argument;
using opcda::check_count;
using opcda::out_array;

// Whether an item of this canonical type can be delivered in the requested one.
HRESULT check_requested_type(VarType canonical, std::int16_t requested, const Variant* sample) {
  if (requested == VT_EMPTY || requested == static_cast<std::int16_t>(canonical)) return hr::S_OK;
  VarType vt = static_cast<VarType>(static_cast<std::uint16_t>(requested));
  VarType scalar = static_cast<VarType>(vt & ~VT_ARRAY);
  if (!is_valid_scalar_type(scalar) || scalar == VT_NULL || scalar == VT_DISPATCH || scalar == VT_ERROR)
    return hr::OPC_E_BADTYPE;
  if (sample && !sample->is_empty()) {
    try {
      change_type(*sample, vt);
    } catch (const AutomationError& e) {
      if (e.hresult() != hr::DISP_E_OVERFLOW) return hr::OPC_E_BADTYPE;
    }
  }
  return hr::S_OK;
}

class UaItemFacade final : public opcda::ItemFacadeBase<UaConnection, UaGroupState, UaItem> {
 public:
  using ItemFacadeBase::ItemFacadeBase;

  void put_IsActive(bool active) override {
    UaItem& it = item();
    if (it.active == active) return;
    // In an inactive group nothing is monitored; the item follows the group when it is activated.
    if (group_->active) conn_->set_monitoring(*group_, {&it}, active);
    it.active = active;
  }
  void put_RequestedDataType(std::int16_t type) override {
    UaItem& it = item();
    Sample s = sample();
    if (HRESULT h = check_requested_type(it.canonical, type, &s.value)) throw hresult_error(h);
    it.requested_type = type;
  }
  Variant get_Value() override { return sample().value; }
  std::int32_t get_Quality() override { return sample().quality; }
  DATE get_TimeStamp() override { return sample().timestamp; }

 private:
  // Each read goes to the server: an item's value is the device's, never a cached one.
  Sample sample() {
    UaItem& it = item();
    if (!(it.access & opcda::OPC_READABLE)) throw hresult_error(hr::OPC_E_BADRIGHTS);
    NodeId node = it.node;
    std::int16_t requested = it.requested_type;
    return to_da_sample(conn_->read_values({node}).front(), requested);
  }
};

class UaItems final : public opcda::ItemsFacadeBase<UaConnection, UaGroupState, UaItemFacade> {
 public:
  using ItemsFacadeBase::ItemsFacadeBase;

  std::shared_ptr<opcda::OPCItem> AddItem(const std::string& item_id, std::int32_t client_handle) override {
    UaGroupState& g = state();
    std::vector<Request> requests{{item_id, client_handle, g.default_requested_type}};
    std::vector<std::int32_t> handles;
    if (add(requests, handles).front() != hr::S_OK) return nullptr;
    return std::make_shared<UaItemFacade>(conn_, group_, handles.front());
  }

  void AddItems(std::int32_t count, const Variant& item_ids, const Variant& client_handles, Variant& server_handles,
                Variant& errors, const Variant& requested_types, const Variant& access_paths) override {
    auto requests = read_requests(count, item_ids, &client_handles, requested_types, access_paths);
    std::vector<std::int32_t> handles;
    auto results = add(requests, handles);
    std::vector<Variant> h(handles.begin(), handles.end()), e(results.begin(), results.end());
    server_handles = out_array(VT_I4, h);
    errors = out_array(VT_I4, e);
  }

  void Remove(std::int32_t count, const Variant& server_handles, Variant& errors) override {
    // Removing works while the connection is lost too: the items go now, from the server later.
    conn_->reachable();
    if (group_->removed) throw hresult_error(hr::E_FAIL, "The group has been removed");
    UaGroupState& g = *group_;
    check_count(count);
    std::vector<Variant> errs;
    std::vector<std::uint32_t> monitored;
    for (std::int32_t i = 1; i <= count; ++i) {
      std::int32_t handle = to_i4(arg_at(server_handles, i, "ServerHandles"));
      auto it = std::find_if(g.items.begin(), g.items.end(),
                             [&](const UaItem& x) { return handle != 0 && x.server_handle == handle; });
      if (it == g.items.end()) {
        errs.emplace_back(hr::OPC_E_INVALIDHANDLE);
      } else {
        if (it->monitored_item_id) monitored.push_back(it->monitored_item_id);
        g.items.erase(it);
        errs.emplace_back(hr::S_OK);
      }
    }
    errors = out_array(VT_I4, errs);
    conn_->unmonitor(g, monitored);
  }

  void Validate(std::int32_t count, const Variant& item_ids, Variant& errors, const Variant& requested_types,
                const Variant& access_paths) override {
    auto requests = read_requests(count, item_ids, nullptr, requested_types, access_paths);
    std::vector<UaItem> candidates;
    std::vector<Variant> samples;
    auto results = check(requests, candidates, samples);
    std::vector<Variant> e(results.begin(), results.end());
    errors = out_array(VT_I4, e);
  }

 private:
  struct Request {
    std::string id;
    std::int32_t client = 0;
    std::int16_t requested = VT_EMPTY;
  };

  // Every argument is read first: a bad one fails the call before anything is added.
  std::vector<Request> read_requests(std::int32_t count, const Variant& item_ids, const Variant* client_handles,
                                     const Variant& requested_types, const Variant& access_paths) {
    UaGroupState& g = state();
    check_count(count);
    std::vector<Request> requests;
    for (std::int32_t i = 1; i <= count; ++i) {
      Request r{to_bstr(arg_at(item_ids, i, "ItemIDs")), 0, g.default_requested_type};
      if (client_handles) r.client = to_i4(arg_at(*client_handles, i, "ClientHandles"));
      if (!requested_types.is_missing()) r.requested = to_i2(arg_at(requested_types, i, "RequestedDataTypes"));
      if (!access_paths.is_missing()) to_bstr(arg_at(access_paths, i, "AccessPaths"));
      requests.push_back(std::move(r));
    }
    return requests;
  }

  // Resolves the item IDs and reads their nodes in one go; candidates[i] is the item each
  // request would become.
  std::vector<HRESULT> check(const std::vector<Request>& requests, std::vector<UaItem>& candidates,
                             std::vector<Variant>& samples) {
    std::vector<HRESULT> results(requests.size(), hr::S_OK);
    candidates.assign(requests.size(), UaItem{});
    std::vector<UaItem> to_read;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < requests.size(); ++i) {
      candidates[i].item_id = requests[i].id;
      results[i] = conn_->resolve(requests[i].id, candidates[i].node);
      if (results[i] == hr::S_OK) {
        to_read.push_back(candidates[i]);
        index.push_back(i);
      }
    }
    samples.assign(requests.size(), Variant());
    if (to_read.empty()) return results;
    auto described = conn_->describe(to_read);
    std::vector<NodeId> nodes;
    for (std::size_t k = 0; k < index.size(); ++k) {
      results[index[k]] = described[k];
      candidates[index[k]] = to_read[k];
    }
    // The requested types are checked against a value of each node.
    std::vector<std::size_t> typed;
    for (std::size_t i = 0; i < requests.size(); ++i) {
      if (results[i] == hr::S_OK && requests[i].requested != VT_EMPTY &&
          requests[i].requested != static_cast<std::int16_t>(candidates[i].canonical) &&
          (candidates[i].access & opcda::OPC_READABLE)) {
        typed.push_back(i);
        nodes.push_back(candidates[i].node);
      }
    }
    if (!nodes.empty()) {
      auto values = conn_->read_values(nodes);
      for (std::size_t k = 0; k < typed.size(); ++k) {
        auto v = to_automation(values[k].value);
        if (v) samples[typed[k]] = std::move(*v);
      }
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
      if (results[i] == hr::S_OK)
        results[i] = check_requested_type(candidates[i].canonical, requests[i].requested, &samples[i]);
    }
    return results;
  }

  std::vector<HRESULT> add(const std::vector<Request>& requests, std::vector<std::int32_t>& handles) {
    std::vector<UaItem> candidates;
    std::vector<Variant> samples;
    auto results = check(requests, candidates, samples);
    UaGroupState& g = state();
    handles.assign(requests.size(), 0);
    for (std::size_t i = 0; i < requests.size(); ++i) {
      if (results[i] != hr::S_OK) continue;
      UaItem item = std::move(candidates[i]);
      item.server_handle = conn_->next_handle();
      item.client_handle = requests[i].client;
      item.active = g.default_active;
      item.requested_type = requests[i].requested;
      item.access_path = g.default_access_path;
      handles[i] = item.server_handle;
      g.items.push_back(std::move(item));
    }
    // Monitored once all are in: pointers into the list hold only now.
    std::vector<UaItem*> added;
    for (auto h : handles) {
      if (h) added.push_back(g.find_item(h));
    }
    if (!added.empty()) conn_->monitor(g, added);
    return results;
  }
};

class UaGroup final : public opcda::GroupFacadeBase<UaConnection, UaGroupState> {
 public:
  using GroupFacadeBase::GroupFacadeBase;

  void put_IsActive(bool active) override {
    UaGroupState& g = state();
    if (g.active == active) return;
    // Monitoring switched on again makes the server report every item's first sample: the
    // callback a group gives when it is activated.
    conn_->set_publishing(g, active);
    g.active = active;
  }
  void put_IsSubscribed(bool subscribed) override {
    UaGroupState& g = state();
    if (g.subscribed == subscribed) return;
    g.subscribed = subscribed;
    if (subscribed && !g.items.empty()) conn_->refresh(group_);
  }
  // The server's revised publishing interval is what reads back.
  void put_UpdateRate(std::int32_t ms) override { conn_->change_rate(state(), ms); }
  void put_DeadBand(float percent) override {
    UaGroupState& g = state();
    if (!(percent >= 0.0f && percent <= 100.0f)) throw bad_argument("the deadband lies outside 0 to 100");
    if (g.deadband == percent) return;
    g.deadband = percent;
    conn_->remonitor(g);
  }
  std::shared_ptr<opcda::OPCItems> get_OPCItems() override {
    state();
    return std::make_shared<UaItems>(conn_, group_);
  }

  void SyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors) override {
    std::vector<const UaItem*> items;
    std::vector<Variant> to_write, errs;
    const std::vector<std::size_t> index = sort_out_write(count, server_handles, values, items, to_write, errs);
    auto results = conn_->write(items, to_write);
    for (std::size_t k = 0; k < index.size(); ++k) errs[index[k]] = Variant(results[k]);
    errors = out_array(VT_I4, errs);
  }

  void AsyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors,
                  std::int32_t transaction_id, std::int32_t& cancel_id) override {
    UaGroupState& g = state();
    Client& client = conn_->live();
    check_count(count);
    WriteRequest request;
    std::vector<std::int32_t> client_handles;
    std::vector<Variant> errs;
    for (std::int32_t i = 1; i <= count; ++i) {
      std::int32_t handle = to_i4(arg_at(server_handles, i, "ServerHandles"));
      Variant value = arg_at(values, i, "Values");
      const UaItem* item = g.find_item(handle);
      // A handle the group does not know, or a value the node cannot take, fails at once; what
      // the server says of the others comes with the completion.
      HRESULT h = hr::OPC_E_INVALIDHANDLE;
      if (item) {
        WriteValue wv;
        h = UaConnection::convert_for_write(*item, value, wv);
        if (h == hr::S_OK) {
          request.nodes.push_back(std::move(wv));
          client_handles.push_back(item->client_handle);
        }
      }
      errs.emplace_back(h);
    }
    errors = out_array(VT_I4, errs);
    cancel_id = conn_->next_handle();
    if (request.nodes.empty()) return;
    std::weak_ptr<UaGroupState> weak = group_;
    Apartment* apartment = &conn_->apartment;
    std::weak_ptr<const void> alive = conn_->apartment_alive;
    client.write_async(std::move(request), [weak, apartment, alive, client_handles, transaction_id](
                                               const WriteResponse* response, const UaError* error) {
      std::vector<HRESULT> results(client_handles.size(), hr::E_FAIL);
      if (response) {
        for (std::size_t k = 0; k < results.size() && k < response->results.size(); ++k)
          results[k] = UaConnection::write_error(response->results[k]);
      }
      (void)error;  // the whole write failed: every item reports E_FAIL
      // On the I/O thread: the completion runs on the apartment, if it is still there.
      if (alive.expired()) return;
      apartment->post([weak, client_handles, results, transaction_id] {
        auto group = weak.lock();
        if (!group || group->removed) return;
        std::vector<Variant> handles(client_handles.begin(), client_handles.end()),
            errs(results.begin(), results.end());
        group->write_complete.raise(transaction_id, static_cast<std::int32_t>(handles.size()),
                                    out_array(VT_I4, handles), out_array(VT_I4, errs));
      });
    });
  }
};

}  // namespace

std::shared_ptr<opcda::OPCGroups> UaConnection::groups() {
  live();
  return std::make_shared<opcda::GroupsOf<UaConnection, UaGroup>>(shared_from_this());
}

std::shared_ptr<opcda::OPCBrowser> UaConnection::create_browser() {
  live();
  return make_ua_browser(shared_from_this());
}

}  // namespace vexa32::opcua
