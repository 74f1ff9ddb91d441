#include "platform/opcda/simulation.h"

#include <algorithm>

#include "platform/automation/convert.h"
#include "platform/automation/date.h"
#include "platform/opcda/arguments.h"
#include "platform/opcda/group_list.h"
#include "platform/opcda/sim_p.h"

namespace vexa32::opcda {

// ---------------------------------------------------------------- SimulationServer

SimulationServer::SimulationServer(SimulationOptions options, std::unique_ptr<AddressSpace> space)
    : options_(std::move(options)), space_(space ? std::move(space) : AddressSpace::standard()) {
  runtime_.resize(space_->items().size());
  for (const auto& item : space_->items()) {
    runtime_[item->index].quality = item->quality;
  }
}

SimulationServer::~SimulationServer() = default;

std::shared_ptr<SimulationServer> SimulationServer::create(SimulationOptions options,
                                                           std::unique_ptr<AddressSpace> space) {
  return std::shared_ptr<SimulationServer>(new SimulationServer(std::move(options), std::move(space)));
}

void SimulationServer::use_clock_of_current_apartment() {
  Apartment& apartment = Apartment::require_current();
  if (clock_ == apartment.clock_ptr()) return;
  // A server first reached from another loop (or clock) starts its signals afresh on this one.
  clock_ = apartment.clock_ptr();
  start_ = clock_->now();
  start_wall_ = date_from_time_point(clock_->wall_now());
}

std::shared_ptr<ServerConnection> SimulationServer::connect() {
  if (!Apartment::current()) throw hresult_error(hr::E_FAIL, "No message loop runs on this thread");
  enter("OPCServer.Connect");
  use_clock_of_current_apartment();
  return std::make_shared<SimConnection>(shared_from_this(), Apartment::require_current());
}

double SimulationServer::seconds_since_start() const {
  if (!clock_) return 0;
  return std::chrono::duration<double>(clock_->now() - start_).count();
}

DATE SimulationServer::wall_now() const {
  if (!clock_) return date_from_time_point(std::chrono::system_clock::now());
  return date_from_time_point(clock_->wall_now());
}

void SimulationServer::enter(const std::string& operation) {
  ++calls_[operation];
  if (call_log_.size() == kCallLogLength) call_log_.pop_front();
  call_log_.push_back(operation);
  if (shut_down_) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server has shut down");
  auto it = failures_.find(operation);
  if (it != failures_.end()) {
    HRESULT h = it->second;
    failures_.erase(it);
    throw hresult_error(h);
  }
}

HRESULT SimulationServer::take_refusal(const std::string& operation) {
  auto it = refusals_.find(operation);
  if (it == refusals_.end()) return hr::S_OK;
  HRESULT h = it->second;
  refusals_.erase(it);
  return h;
}

void SimulationServer::fail_next(const std::string& operation, HRESULT hresult) { failures_[operation] = hresult; }
void SimulationServer::refuse_next(const std::string& operation, HRESULT hresult) { refusals_[operation] = hresult; }

int SimulationServer::call_count(const std::string& operation) const {
  auto it = calls_.find(operation);
  return it == calls_.end() ? 0 : it->second;
}

int SimulationServer::last_item_count(const std::string& operation) const {
  auto it = item_counts_.find(operation);
  return it == item_counts_.end() ? -1 : it->second;
}

Variant SimulationServer::last_argument(const std::string& operation) const {
  auto it = arguments_.find(operation);
  return it == arguments_.end() ? Variant() : it->second;
}

SimulationServer::Sample SimulationServer::sample(const ItemDef& item) {
  Runtime& rt = runtime_[item.index];
  if (!rt.forced) {
    Variant v = evaluate_signal(item, seconds_since_start(), wall_now());
    if (!rt.sampled || !(v == rt.value)) {
      rt.value = std::move(v);
      rt.timestamp = wall_now();
      rt.sampled = true;
    }
  }
  return {rt.value, rt.quality, rt.timestamp};
}

HRESULT SimulationServer::write(const ItemDef& item, const Variant& value) {
  if (!(item.access & OPC_WRITEABLE)) return hr::OPC_E_BADRIGHTS;
  Variant converted;
  try {
    converted = change_type(value, item.canonical);
  } catch (const AutomationError&) {
    // A value of no fitting type and one out of the type's range alike: it cannot be converted.
    return hr::OPC_E_BADTYPE;
  }
  Runtime& rt = runtime_[item.index];
  rt.value = std::move(converted);
  rt.timestamp = wall_now();
  rt.forced = rt.sampled = true;
  return hr::S_OK;
}

void SimulationServer::set_value(const std::string& item_id, const Variant& value) {
  const ItemDef* item = space_->find(item_id);
  if (!item) throw hresult_error(hr::OPC_E_UNKNOWNITEMID, "No item " + item_id);
  Runtime& rt = runtime_[item->index];
  rt.value = value;
  rt.timestamp = wall_now();
  rt.forced = rt.sampled = true;
}

void SimulationServer::set_quality(const std::string& item_id, std::int32_t quality) {
  const ItemDef* item = space_->find(item_id);
  if (!item) throw hresult_error(hr::OPC_E_UNKNOWNITEMID, "No item " + item_id);
  runtime_[item->index].quality = quality;
  runtime_[item->index].timestamp = wall_now();
}

void SimulationServer::attach(SimConnection* connection) { connections_.insert(connection); }
void SimulationServer::detach(SimConnection* connection) { connections_.erase(connection); }

std::size_t SimulationServer::group_count() const {
  std::size_t n = 0;
  for (auto* c : connections_) n += c->group_list.size();
  return n;
}

std::size_t SimulationServer::item_count() const {
  std::size_t n = 0;
  for (auto* c : connections_) {
    for (const auto& g : c->group_list) n += g->items.size();
  }
  return n;
}

std::vector<SimulationServer::GroupSnapshot> SimulationServer::groups() const {
  std::vector<GroupSnapshot> out;
  for (auto* c : connections_) {
    for (const auto& g : c->group_list) {
      out.push_back(
          {g->name, g->active, g->subscribed, g->update_rate, g->deadband, g->default_active, g->items.size()});
    }
  }
  return out;
}

std::vector<std::string> SimulationServer::group_names() const {
  std::vector<std::string> out;
  for (auto* c : connections_) {
    for (const auto& g : c->group_list) out.push_back(g->name);
  }
  return out;
}

std::vector<std::shared_ptr<GroupState>> SimulationServer::groups_named(const std::string& group_name) const {
  std::vector<std::shared_ptr<GroupState>> out;
  for (auto* c : connections_) {
    for (const auto& g : c->group_list) {
      if (group_name.empty() || g->name == group_name) out.push_back(g);
    }
  }
  return out;
}

int SimulationServer::raise_data_change(const std::string& group_name, std::int32_t count, const Variant& handles,
                                        const Variant& values, const Variant& qualities, const Variant& stamps) {
  // Handlers may add or remove groups: find the receivers first, then raise.
  std::shared_ptr<GroupState> first;
  std::vector<std::shared_ptr<GroupState>> more;
  for (auto* c : connections_) {
    for (const auto& g : c->group_list) {
      if (!group_name.empty() && g->name != group_name) continue;
      if (!first) {
        first = g;
      } else {
        more.push_back(g);
      }
    }
  }
  if (!first) return 0;
  int n = 0;
  for (std::size_t i = 0; i <= more.size(); ++i) {
    const auto& g = i == 0 ? first : more[i - 1];
    if (g->removed) continue;
    g->data_change.raise(0, count, handles, values, qualities, stamps);
    ++n;
  }
  return n;
}

void SimulationServer::push_data_change(const std::vector<DataChangeEntry>& entries, const std::string& group_name) {
  const auto n = static_cast<std::int32_t>(entries.size());
  SafeArray handles(VT_I4, 1, entries.size()), values(VT_VARIANT, 1, entries.size()),
      qualities(VT_I4, 1, entries.size()), stamps(VT_DATE, 1, entries.size());
  for (std::int32_t i = 0; i < n; ++i) {
    const auto& e = entries[static_cast<std::size_t>(i)];
    handles.set(i + 1, Variant(e.client_handle));
    values.set(i + 1, e.value);
    qualities.set(i + 1, Variant(e.quality));
    stamps.set(i + 1, Variant::date(e.timestamp));
  }
  Variant vh(std::move(handles)), vv(std::move(values)), vq(std::move(qualities)), vs(std::move(stamps));
  // The groups of the moment receive it, at the next turn of the loop.
  std::vector<std::weak_ptr<GroupState>> targets;
  for (const auto& g : groups_named(group_name)) targets.push_back(g);
  Apartment::require_current().post([targets, n, vh, vv, vq, vs] {
    for (const auto& weak : targets) {
      auto g = weak.lock();
      if (g && !g->removed) g->data_change.raise(0, n, vh, vv, vq, vs);
    }
  });
}

void SimulationServer::shut_down(const std::string& reason) {
  shut_down_ = true;
  std::vector<std::weak_ptr<SimConnection>> targets;
  for (auto* c : connections_) {
    targets.push_back(c->weak_from_this());
    for (const auto& g : c->group_list) {
      g->active = false;
      g->reschedule();
    }
  }
  Apartment::require_current().post([targets, reason] {
    for (const auto& weak : targets) {
      if (auto c = weak.lock()) c->notify_shutdown(reason);
    }
  });
}

// ---------------------------------------------------------------- GroupState

GroupState::GroupState(std::shared_ptr<SimulationServer> srv, SimConnection* conn, Apartment& apt)
    : server(std::move(srv)), connection(conn), apartment(apt), apartment_alive(apt.liveness()) {}

GroupState::~GroupState() {
  // A group released after its loop ended has no timer left to kill.
  if (timer_ && !apartment_alive.expired()) apartment.kill_timer(*timer_);
}

void GroupState::reschedule() {
  if (apartment_alive.expired()) return;
  bool should_run = active && subscribed && !removed;
  if (timer_) {
    apartment.kill_timer(*timer_);
    timer_.reset();
  }
  if (!should_run) return;
  std::weak_ptr<GroupState> weak = weak_from_this();
  timer_ = apartment.set_timer(std::chrono::milliseconds(update_rate), [weak] {
    if (auto g = weak.lock()) g->tick();
  });
}

void GroupState::post_tick() {
  std::weak_ptr<GroupState> weak = weak_from_this();
  post([weak] {
    if (auto g = weak.lock()) g->tick();
  });
}

void GroupState::post(Apartment::Task task) {
  if (!apartment_alive.expired()) apartment.post(std::move(task));
}

void GroupState::forget_reported() {
  for (auto& item : items) item.reported = false;
}

void GroupState::mark_removed() {
  removed = true;
  connection = nullptr;
  reschedule();
}

GroupItem* GroupState::find_item(std::int32_t handle) {
  if (handle == 0) return nullptr;
  for (auto& item : items) {
    if (item.server_handle == handle) return &item;
  }
  return nullptr;
}

SimulationServer::Sample GroupState::read(const GroupItem& item) {
  SimulationServer::Sample s = server->sample(*item.def);
  if (item.requested_type != VT_EMPTY && item.requested_type != static_cast<std::int16_t>(item.def->canonical)) {
    try {
      s.value = change_type(s.value, static_cast<VarType>(item.requested_type));
    } catch (const AutomationError&) {
      // The value cannot be given in the type the client asked for: no value, bad quality.
      s.value = Variant();
      s.quality = OPC_QUALITY_BAD;
    }
  }
  return s;
}

void GroupState::tick() {
  if (removed || !active || !subscribed || server->is_shut_down() || !connection) return;
  // The handler may remove this group or drop the whole connection; keep this state alive.
  auto self = shared_from_this();
  changes.start(items.size());
  for (auto& item : items) {
    if (!item.active || !(item.def->access & OPC_READABLE)) continue;
    SimulationServer::Sample s = read(item);
    if (item.reported && item.last_value == s.value && item.last_quality == s.quality) continue;
    item.reported = true;
    item.last_value = s.value;
    item.last_quality = s.quality;
    changes.add(item.client_handle, std::move(s.value), s.quality, s.timestamp);
  }
  if (changes.size() > 0) connection->last_update = server->wall_now();
  changes.raise(data_change);
}

// ---------------------------------------------------------------- SimConnection

SimConnection::SimConnection(std::shared_ptr<SimulationServer> srv, Apartment& apt)
    : server(std::move(srv)), apartment(apt) {
  server->attach(this);
}

SimConnection::~SimConnection() {
  // Final release: the server drops this client's groups, as on Disconnect.
  for (auto& g : group_list) g->mark_removed();
  group_list.clear();
  server->detach(this);
}

void SimConnection::enter(const std::string& operation) {
  if (!connected) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server object is not connected");
  server->enter(operation);
}

DATE SimConnection::start_time() {
  enter("OPCServer.StartTime");
  return server->start_time();
}
DATE SimConnection::current_time() {
  enter("OPCServer.CurrentTime");
  return server->wall_now();
}
DATE SimConnection::last_update_time() {
  enter("OPCServer.LastUpdateTime");
  return last_update;
}
std::int16_t SimConnection::major_version() {
  enter("OPCServer.MajorVersion");
  return 1;
}
std::int16_t SimConnection::minor_version() {
  enter("OPCServer.MinorVersion");
  return 1;
}
std::int16_t SimConnection::build_number() {
  enter("OPCServer.BuildNumber");
  return 7;
}
std::string SimConnection::vendor_info() {
  enter("OPCServer.VendorInfo");
  return server->options().vendor_info;
}
std::int32_t SimConnection::server_state() {
  enter("OPCServer.ServerState");
  return OPCRunning;
}

void SimConnection::disconnect() {
  enter("OPCServer.Disconnect");
  for (auto& g : group_list) g->mark_removed();
  group_list.clear();
  connected = false;
  // The server forgets this client; what it still holds only fails from now on.
  server->detach(this);
}

void SimConnection::notify_shutdown(const std::string& reason) {
  auto self = shared_from_this();
  shutdown_.raise(reason);
}

std::shared_ptr<GroupState> SimConnection::add_group(const std::string& requested) {
  std::string name = new_group_name(group_list, requested, unnamed_groups_);
  auto g = std::make_shared<GroupState>(server, this, apartment);
  g->name = name;
  g->server_handle = server->next_handle();
  g->active = default_active;
  g->update_rate = revise_update_rate(default_update_rate);
  g->deadband = default_deadband;
  group_list.push_back(g);
  return g;
}

void SimConnection::remove_group(const std::shared_ptr<GroupState>& group) {
  group->mark_removed();
  group_list.erase(std::remove(group_list.begin(), group_list.end(), group), group_list.end());
}

std::shared_ptr<GroupState> SimConnection::find_group(const Variant& key, bool by_position) {
  return find_group_in(group_list, key, by_position);
}

// ---------------------------------------------------------------- registration

void register_simulation_servers(ServerRegistry& registry) {
  auto hierarchical = SimulationServer::create();
  registry.register_server(kSimulationProgId, hierarchical);
  registry.register_server(kExampleProgId, hierarchical);
  registry.register_server(kFlatSimulationProgId,
                           SimulationServer::create(SimulationOptions{OPCFlat, true, "VEXA32 flat simulation server"}));
  registry.register_server(
      kNoBrowseSimulationProgId,
      SimulationServer::create(SimulationOptions{OPCHierarchical, false, "VEXA32 simulation server without browsing"}));
}

ScopedSimulation::ScopedSimulation(std::string prog_id, SimulationOptions options)
    : server_(SimulationServer::create(std::move(options))), registration_(std::move(prog_id), server_) {}

}  // namespace vexa32::opcda
