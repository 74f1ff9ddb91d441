// An OPC DA server on another node as the automation objects see it: the module, the node
// handler, the connection with its groups and items, polling and healing.

#include "platform/dcom/da/dcom_server.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/apartment/apartment.h"
#include "platform/automation/convert.h"
#include "platform/container/password_file.h"
#include "platform/dcom/da/opc_ids.h"
#include "platform/dcom/da/opc_proxies.h"
#include "platform/dcom/da/server_list.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/exporter.h"
#include "platform/dcom/exporter_listener.h"
#include "platform/dcom/node_login.h"
#include "platform/opcda/arguments.h"
#include "platform/opcda/group_list.h"
#include "platform/opcda/wildcard.h"

namespace vexa32::dcom::da {
namespace {

using opcda::arg_at;
using opcda::bad_argument;
using opcda::check_count;
using opcda::out_array;

const Guid kIUnknown = guid("00000000-0000-0000-C000-000000000046");

std::atomic<long> g_polls{0}, g_values{0}, g_callbacks{0};

// One object exporter and one listener for every connection's callbacks, made when first needed
// and kept for the process. Without a port (none free in VEXA32_DCOM_CALLBACK_PORTS) every group
// polls, and the failure says why.
struct CallbackPort {
  ObjectExporter exporter;
  std::unique_ptr<ExporterListener> listener;
  std::string address;  // VEXA32_DCOM_CALLBACK_ADDRESS: what servers are told, for NAT
  std::string failure;
};
CallbackPort& callback_port() {
  static CallbackPort* port = [] {
    auto* p = new CallbackPort;
    try {
      ListenerOptions options;
      if (const char* ports = std::getenv("VEXA32_DCOM_CALLBACK_PORTS")) options.ports = ports;
      p->listener = std::make_unique<ExporterListener>(p->exporter, options);
    } catch (const DcomError& e) {
      p->failure = e.what();
    }
    if (const char* address = std::getenv("VEXA32_DCOM_CALLBACK_ADDRESS")) p->address = address;
    return p;
  }();
  return *port;
}

// One of our sinks advised on a server's connection point.
struct AdvisedSink {
  Guid sink;  // our object, while exported
  RemoteInterface point;
  std::uint32_t cookie = 0;
};

// Our sink for `sink_interface`, exported to the node's address only (with the node's login, so
// that a server calling back under it at packet integrity or privacy is checked), and advised on
// the connection point `object` has for it. On failure the caller drops what was set up.
void advise_on(DcomNode& node, const RemoteInterface& object, std::string_view sink_interface, MethodHandler handler,
               const std::string& binding, AdvisedSink& out) {
  CallbackPort& port = callback_port();
  const RemoteInterface container = node.query_interface(object, interface_info("IConnectionPointContainer").iid);
  try {
    out.point = find_connection_point(node, container, interface_info(sink_interface).iid);
  } catch (...) {
    node.release(container);
    throw;
  }
  node.release(container);
  const NtlmCredentials& login = node.credentials();
  out.sink =
      port.exporter.add(interface_info(sink_interface), node.peer_address(), std::move(handler),
                        NtlmAccount{login.domain, login.user, ntowf_v2(login.domain, login.user, login.password)});
  out.cookie = advise(node, out.point, port.exporter.objref(out.sink, binding));
}

// The sink goes and the server is told (without a node, only ours goes: the server forgets it with
// its connection).
void drop(DcomNode* node, AdvisedSink& s) {
  if (!s.sink.is_null()) callback_port().exporter.remove(s.sink);
  try {
    if (node && s.cookie) unadvise(*node, s.point, s.cookie);
  } catch (const DcomError&) {
    // The server forgets the sink with its object, or when its calls to it fail.
  }
  if (node && !s.point.ipid.is_null()) node->release(s.point);
  s = AdvisedSink{};
}

// FILETIME ticks (100 ns since 1601) as an automation DATE (days since 1899-12-30).
DATE date_of(std::uint64_t ticks) {
  if (ticks == 0) return 0;
  return static_cast<double>(ticks) / 864e9 - 109205.0;
}

DATE now_date() {
  const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since_1970).count() / 86400.0 + 25569.0;
}

// A DCOM failure as the automation error a caller sees: its HRESULT and text.
AutomationError automation_error(const DcomError& e) {
  return hresult_error(static_cast<HRESULT>(e.hresult()), e.what());
}

// Failures that say the connection is gone, rather than that a call was refused: the RPC and
// object resolver statuses (Win32 1700-1999 as HRESULTs), a timeout, a broken or altered answer.
bool is_lost(const DcomError& e) {
  const std::uint32_t h = e.hresult();
  const bool rpc_status = h >= 0x800706A4u && h <= 0x800707CFu;
  return rpc_status || h == status::RPC_E_DISCONNECTED || h == status::RPC_S_CALL_TIMEOUT ||
         h == status::SEC_E_MESSAGE_ALTERED || h == status::RPC_X_BAD_STUB_DATA;
}

struct DcomItem {
  std::int32_t server_handle = 0;  // ours: what the client sees, and the hClient the server reports
  std::uint32_t remote_handle = 0;
  std::int32_t client_handle = 0;
  std::string item_id, access_path;
  std::int16_t requested_type = VT_EMPTY;
  VarType canonical = VT_EMPTY;
  std::int32_t access = 0;
  bool active = true;
  // What was last reported, so that a poll reports only what changed.
  bool reported = false;
  Variant value;
  std::int32_t quality = 0;
  std::uint64_t time = 0;
};

struct DcomGroupState : opcda::GroupSettings {
  std::vector<DcomItem> items;
  std::uint32_t remote_handle = 0;
  RemoteInterface item_mgt, sync_io, state_mgt;
  std::optional<Apartment::TimerId> poll_timer;
  // Callbacks: advised with our sink, probed with a Refresh2 while polls go on, then trusted.
  enum class Mode { Polling, Probing, Callbacks } mode = Mode::Polling;
  AdvisedSink callback;  // our IOPCDataCallback
  RemoteInterface async_io;
  std::uint32_t probe = 0;
  // DA 3: the keep-alive the server agreed to, watched by its timer once called back.
  RemoteInterface state_mgt2;
  std::chrono::milliseconds keep_alive{0};
  std::optional<Apartment::TimerId> keep_alive_timer;
  std::optional<Apartment::TimerId> probe_timer;
  std::chrono::steady_clock::time_point heard;  // the last call back

  DcomItem* find_item(std::int32_t handle) {
    auto it = std::find_if(items.begin(), items.end(), [&](const DcomItem& i) { return i.server_handle == handle; });
    return it == items.end() ? nullptr : &*it;
  }
};

class DcomConnection final : public opcda::ServerConnection, public std::enable_shared_from_this<DcomConnection> {
 public:
  DcomConnection(std::string prog_id, std::string node, DcomModuleOptions options, Apartment& apartment)
      : prog_id_(std::move(prog_id)),
        node_text_(std::move(node)),
        options_(std::move(options)),
        apartment_(apartment) {}
  ~DcomConnection() override {
    stop_timers();
    release();
    if (reconnect_thread_.joinable()) reconnect_thread_.join();
  }

  // The node, the server on it and its status, reached without touching the connection: a
  // reconnection does this off the apartment.
  struct Opened {
    std::unique_ptr<DcomNode> node;
    RemoteInterface server;
    ServerStatus status;
  };
  static Opened open_server(const std::string& node_text, const std::string& prog_id, const DcomModuleOptions& options,
                            const NtlmCredentials* known = nullptr) {
    const std::string file = options.password_file.empty() ? default_password_file() : options.password_file;
    Opened out;
    out.node = connect_node(node_text, file, options.node, known);
    DcomNode& node = *out.node;
    const RemoteInterface unknown = node.create_instance(server_clsid(node, prog_id), kIUnknown);
    out.server = node.query_interface(unknown, interface_info("IOPCServer").iid);
    node.release(unknown);
    try {
      set_client_name(node, node.query_interface(out.server, interface_info("IOPCCommon").iid), options.client_name);
    } catch (const DcomError& e) {
      if (is_lost(e)) throw;  // a DA 1 server has no IOPCCommon: its diagnostics lose our name
    }
    out.status = get_status(node, out.server);
    return out;
  }

  // Reaches the node, the server and its status; DcomError when that cannot be done.
  void open() {
    adopt(open_server(node_text_, prog_id_, options_));
    if (options_.callbacks) advise_shutdown();
  }

  void start() {
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    status_timer_ = apartment_.set_timer(options_.status_period, [weak] {
      if (auto self = weak.lock()) self->check_status();
    });
  }

  DATE start_time() override { return date_of(status().start_time); }
  DATE current_time() override { return date_of(fresh_status().current_time); }
  DATE last_update_time() override { return date_of(status().last_update_time); }
  std::int16_t major_version() override { return static_cast<std::int16_t>(status().major); }
  std::int16_t minor_version() override { return static_cast<std::int16_t>(status().minor); }
  std::int16_t build_number() override { return static_cast<std::int16_t>(status().build); }
  std::string vendor_info() override { return status().vendor; }
  std::int32_t server_state() override { return static_cast<std::int32_t>(fresh_status().state); }
  std::shared_ptr<opcda::OPCGroups> groups() override;
  std::shared_ptr<opcda::OPCBrowser> create_browser() override;
  void disconnect() override {
    if (!connected_) return;
    stop_timers();
    for (auto& g : group_list) g->removed = true;
    release();
    connected_ = false;
  }
  opcda::ServerShutDownEvent& shutdown_event() override { return shutdown_; }
  // Polling as soon as one group polls; a group still waiting for its probe's answer counts as
  // called back (it reads nothing meanwhile).
  std::string data_mode() override {
    for (const auto& g : group_list)
      if (g->mode == DcomGroupState::Mode::Polling) return "polling";
    return options_.callbacks ? "callbacks" : "polling";
  }
  std::string data_mode_note() override { return data_mode() == "polling" ? data_mode_note_ : std::string(); }

  bool has_node() const { return connected_ && node_ != nullptr; }
  // The node, or the automation error of a closed or lost connection.
  DcomNode& live() {
    if (!connected_) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server connection has been closed");
    if (!node_)
      throw hresult_error(hr::RPC_E_DISCONNECTED, "The connection to " + node_text_ + " is lost: " + lost_reason_);
    return *node_;
  }
  // Whether the server can be asked now: false while the connection is lost (removing works then
  // too; what the server held goes when our pings stop); an automation error when it is closed.
  bool reachable() {
    if (!connected_) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server connection has been closed");
    return node_ != nullptr;
  }
  // Runs calls on the node; a failure that loses the connection starts healing.
  template <typename F>
  auto call(F&& f) -> decltype(f(std::declval<DcomNode&>())) {
    DcomNode& node = live();
    try {
      return f(node);
    } catch (const DcomError& e) {
      if (is_lost(e)) lost(e.what());
      throw automation_error(e);
    }
  }

  std::shared_ptr<DcomGroupState> add_group(const std::string& requested_name) {
    live();
    auto g = std::make_shared<DcomGroupState>();
    g->name = opcda::new_group_name(group_list, requested_name, unnamed_groups_);
    g->server_handle = ++handles_;
    g->active = default_active;
    g->update_rate = default_update_rate;
    g->deadband = default_deadband;
    call([&](DcomNode& node) { make_remote(node, g); });
    group_list.push_back(g);
    schedule_poll(g);
    return g;
  }

  void remove_group(const std::shared_ptr<DcomGroupState>& g) {
    g->removed = true;
    if (g->poll_timer) apartment_.kill_timer(*g->poll_timer);
    if (!node_) stop_callbacks(nullptr, *g);
    group_list.erase(std::remove(group_list.begin(), group_list.end(), g), group_list.end());
    if (node_ && g->remote_handle) {
      try {
        drop_remote(*node_, *g);
      } catch (const DcomError&) {
        // Gone from our side; the server collects what it still holds when pings stop.
      }
    }
  }

  std::shared_ptr<DcomGroupState> find_group(const Variant& key, bool by_position) {
    return opcda::find_group_in(group_list, key, by_position);
  }

  // Adds items to the server and to the group; the per-item result.
  std::vector<HRESULT> add_items(DcomGroupState& g, std::vector<DcomItem> items, std::vector<std::int32_t>& handles) {
    std::vector<ItemDef> defs;
    for (auto& item : items) {
      item.server_handle = ++handles_;
      defs.push_back({item.item_id, item.access_path, item.active, static_cast<std::uint32_t>(item.server_handle),
                      static_cast<std::uint16_t>(item.requested_type)});
    }
    const auto results = call([&](DcomNode& node) { return da::add_items(node, g.item_mgt, defs); });
    std::vector<HRESULT> out;
    handles.assign(items.size(), 0);
    for (std::size_t i = 0; i < items.size(); ++i) {
      out.push_back(static_cast<HRESULT>(results[i].hresult));
      if (results[i].hresult & 0x80000000u) continue;
      items[i].remote_handle = results[i].server_handle;
      items[i].canonical = static_cast<VarType>(results[i].canonical_type);
      items[i].access = static_cast<std::int32_t>(results[i].access_rights);
      handles[i] = items[i].server_handle;
      g.items.push_back(std::move(items[i]));
    }
    return out;
  }

  // Every active item of an active group, read from the server's cache; what changed since the
  // last read goes out as one DataChange (everything, the first time).
  void poll(const std::shared_ptr<DcomGroupState>& g) {
    if (g->removed || !g->active || !node_ || g->mode == DcomGroupState::Mode::Callbacks) return;
    std::vector<DcomItem*> active;
    std::vector<std::uint32_t> handles;
    for (auto& item : g->items) {
      if (!item.active || !(item.access & opcda::OPC_READABLE)) continue;
      active.push_back(&item);
      handles.push_back(item.remote_handle);
    }
    if (active.empty()) return;
    ReadAnswer answer;
    try {
      // While the probe is out nothing is read: the server's answer to it brings every value.
      if (g->mode == DcomGroupState::Mode::Probing) {
        if (!g->probe) send_probe(g);
        return;
      }
      answer = sync_read(*node_, g->sync_io, kFromCache, handles);
      ++g_polls;
      g_values += static_cast<long>(handles.size());
    } catch (const DcomError& e) {
      if (is_lost(e)) lost(e.what());
      return;  // a refused read leaves the values as they were; the next poll asks again
    }
    if (!g->subscribed) {
      remember(active, answer);
      return;
    }
    g->changes.start(active.size());
    for (std::size_t i = 0; i < active.size(); ++i) {
      DcomItem& item = *active[i];
      ItemState& s = answer.states[i];
      if (answer.errors[i] & 0x80000000u) {
        s.value = Variant();
        s.quality = opcda::OPC_QUALITY_BAD;
      }
      if (item.reported && item.quality == s.quality && item.time == s.time && item.value == s.value) continue;
      item.reported = true;
      item.value = s.value;
      item.quality = s.quality;
      item.time = s.time;
      g->changes.add(item.client_handle, std::move(s.value), s.quality, date_of(s.time));
    }
    g->changes.raise(g->data_change);
  }

  // The group's next DataChange reports every active item, as when it was just made active.
  void report_all(DcomGroupState& g) {
    for (auto& item : g.items) item.reported = false;
  }

  void change_rate(DcomGroupState& g, std::int32_t requested) {
    const std::int32_t rate = opcda::revise_update_rate(requested);
    const std::uint32_t revised =
        call([&](DcomNode& node) { return set_group_state(node, g.state_mgt, rate, std::nullopt, std::nullopt); });
    g.update_rate = static_cast<std::int32_t>(revised);
    if (auto shared = shared_of(g)) schedule_poll(shared);
  }

  std::shared_ptr<DcomGroupState> shared_of(const DcomGroupState& g) const {
    for (const auto& shared : group_list)
      if (shared.get() == &g) return shared;
    return nullptr;
  }

  std::vector<HRESULT> write(DcomGroupState& g, const std::vector<const DcomItem*>& items,
                             const std::vector<Variant>& values) {
    std::vector<std::uint32_t> handles;
    for (const DcomItem* item : items) handles.push_back(item->remote_handle);
    const auto results = call([&](DcomNode& node) { return sync_write(node, g.sync_io, handles, values); });
    return std::vector<HRESULT>(results.begin(), results.end());
  }

  ReadAnswer read(DcomGroupState& g, const std::vector<std::uint32_t>& remote_handles, std::uint16_t source) {
    return call([&](DcomNode& node) { return sync_read(node, g.sync_io, source, remote_handles); });
  }

  bool default_active = true;
  std::int32_t default_update_rate = 1000;
  float default_deadband = 0;
  std::vector<std::shared_ptr<DcomGroupState>> group_list;

 private:
  const ServerStatus& status() {
    live();
    return status_;
  }
  // The server's clock and state as they are now, not as the last check found them.
  const ServerStatus& fresh_status() {
    call([&](DcomNode& node) { status_ = get_status(node, server_); });
    return status_;
  }

  // The group on the server with its interfaces, and our sink advised where callbacks may work.
  void make_remote(DcomNode& node, const std::shared_ptr<DcomGroupState>& group) {
    DcomGroupState& g = *group;
    const GroupAdded added = da::add_group(node, server_, g.name, g.active,
                                           static_cast<std::uint32_t>(opcda::revise_update_rate(g.update_rate)),
                                           static_cast<std::uint32_t>(g.server_handle), g.deadband);
    g.remote_handle = added.server_handle;
    g.update_rate = static_cast<std::int32_t>(added.revised_rate);
    g.item_mgt = added.item_mgt;
    g.sync_io = node.query_interface(g.item_mgt, interface_info("IOPCSyncIO").iid);
    g.state_mgt = node.query_interface(g.item_mgt, interface_info("IOPCGroupStateMgt").iid);
    if (options_.callbacks) advise_sink(node, group);
  }

  void drop_remote(DcomNode& node, DcomGroupState& g) {
    stop_callbacks(&node, g);
    for (const RemoteInterface* i : {&g.sync_io, &g.state_mgt, &g.item_mgt}) node.release(*i);
    da::remove_group(node, server_, g.remote_handle);
    g.remote_handle = 0;
  }

  // Our IOPCDataCallback for the group, exported to the server's address only, and advised on the
  // group's connection point. What fails leaves the group polling, saying why.
  void advise_sink(DcomNode& node, const std::shared_ptr<DcomGroupState>& group) {
    DcomGroupState& g = *group;
    CallbackPort& port = callback_port();
    if (!port.listener) {
      data_mode_note_ =
          "no port for callbacks (" + port.failure + "); data are read every " + std::to_string(g.update_rate) + " ms";
      return;
    }
    const std::string address = port.address.empty() ? node.local_address() : port.address;
    callback_binding_ = port.listener->binding(address);
    callback_where_ = port.listener->where(address);
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    std::weak_ptr<DcomGroupState> weak_group = group;
    Apartment* target = &apartment_;
    auto handler = [weak, weak_group, target, alive = apartment_.liveness()](std::uint16_t opnum,
                                                                             std::string_view stub) -> std::string {
      NdrReader r(stub);
      if (opnum == 3 || opnum == 4) {  // OnDataChange, OnReadComplete
        auto change = std::make_shared<DataChange>(read_data_change(r));
        if (opnum == 3 && !alive.expired()) {
          target->post([weak, weak_group, change] {
            auto self = weak.lock();
            auto g = weak_group.lock();
            if (self && g) self->called_back(g, *change);
          });
        }
      } else if (opnum != 5 && opnum != 6) {  // OnWriteComplete, OnCancelComplete: nothing to do
        throw DcomError(0x1C010002u, "no such method");
      }
      return std::string(4, '\0');  // S_OK
    };
    try {
      g.async_io = node.query_interface(g.item_mgt, interface_info("IOPCAsyncIO2").iid);
      advise_on(node, g.item_mgt, "IOPCDataCallback", handler, callback_binding_, g.callback);
      g.mode = DcomGroupState::Mode::Probing;
      g.probe = 0;
      ask_keep_alive(node, g);
    } catch (const DcomError& e) {
      if (is_lost(e)) throw;
      stop_callbacks(&node, g);
      data_mode_note_ = std::string("the server at ") + node_text_ + " takes no callbacks (" + e.what() +
                        "); data are read every " + std::to_string(g.update_rate) + " ms";
    }
  }

  // A DA 3 server calls back at least every keep-alive; a DA 2 server has no such thing, and its
  // long silences are asked about instead.
  void ask_keep_alive(DcomNode& node, DcomGroupState& g) {
    g.keep_alive = std::chrono::milliseconds(0);
    if (options_.keep_alive.count() <= 0) return;
    try {
      g.state_mgt2 = node.query_interface(g.item_mgt, interface_info("IOPCGroupStateMgt2").iid);
      const auto asked = static_cast<std::uint32_t>(std::min<std::int64_t>(options_.keep_alive.count(), 0x7FFFFFFF));
      g.keep_alive = std::chrono::milliseconds(set_keep_alive(node, g.state_mgt2, asked));
    } catch (const DcomError& e) {
      if (is_lost(e)) throw;
    }
  }

  // Once called back: a keep-alive missed (nothing for one and a half times the agreed time, and
  // at least half a second more) and the group polls.
  void watch_keep_alive(const std::shared_ptr<DcomGroupState>& g) {
    if (g->keep_alive.count() == 0 || g->keep_alive_timer) return;
    const auto window =
        g->keep_alive + std::max<std::chrono::milliseconds>(g->keep_alive / 2, std::chrono::milliseconds(500));
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    std::weak_ptr<DcomGroupState> group = g;
    g->keep_alive_timer = apartment_.set_timer(
        std::max<std::chrono::milliseconds>(g->keep_alive / 4, std::chrono::milliseconds(50)), [weak, group, window] {
          auto self = weak.lock();
          auto g = group.lock();
          if (!self || !g || g->mode != DcomGroupState::Mode::Callbacks ||
              std::chrono::steady_clock::now() - g->heard <= window)
            return;
          const auto agreed = g->keep_alive.count();
          self->stop_callbacks(self->node_.get(), *g);
          self->data_mode_note_ = "the server at " + self->node_text_ + " stopped calling back to " +
                                  self->callback_where_ + " (no keep-alive in " + std::to_string(agreed) +
                                  " ms); data are read every " + std::to_string(g->update_rate) + " ms";
        });
  }

  // The group polls from now on: the sink goes, and the server is told where it can be.
  void stop_callbacks(DcomNode* node, DcomGroupState& g) {
    for (auto* timer : {&g.probe_timer, &g.keep_alive_timer}) {
      if (*timer) apartment_.kill_timer(**timer);
      timer->reset();
    }
    drop(node, g.callback);
    for (RemoteInterface* i : {&g.async_io, &g.state_mgt2}) {
      if (node && !i->ipid.is_null()) node->release(*i);
      *i = RemoteInterface{};
    }
    g.keep_alive = std::chrono::milliseconds(0);
    g.mode = DcomGroupState::Mode::Polling;
    if (!g.poll_timer && !g.removed && !releasing_)
      if (auto shared = shared_of(g)) schedule_poll(shared);
  }

  // Asks for every active item through the callback; it must come back in time, or the group
  // goes on polling.
  void send_probe(const std::shared_ptr<DcomGroupState>& g) {
    g->probe = static_cast<std::uint32_t>(++transactions_) | 0x40000000u;
    try {
      refresh2(*node_, g->async_io, kFromCache, g->probe);
    } catch (const DcomError& e) {
      if (is_lost(e)) throw;
      stop_callbacks(node_.get(), *g);
      data_mode_note_ = std::string("the server at ") + node_text_ + " refused a refresh through callbacks (" +
                        e.what() + "); data are read every " + std::to_string(g->update_rate) + " ms";
      return;
    }
    const auto wait = std::max(options_.least_probe_wait, std::chrono::milliseconds(3 * g->update_rate));
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    std::weak_ptr<DcomGroupState> group = g;
    g->probe_timer = apartment_.set_timer(
        wait,
        [weak, group] {
          auto self = weak.lock();
          auto g = group.lock();
          if (!self || !g) return;
          g->probe_timer.reset();
          if (g->mode != DcomGroupState::Mode::Probing) return;
          self->stop_callbacks(self->node_.get(), *g);
          self->data_mode_note_ = "the server at " + self->node_text_ + " could not call back to " +
                                  self->callback_where_ + "; data are read every " + std::to_string(g->update_rate) +
                                  " ms";
        },
        false);
  }

  // A data change the server pushed: the group trusts callbacks from now on.
  void called_back(const std::shared_ptr<DcomGroupState>& g, DataChange& change) {
    if (g->removed || g->mode == DcomGroupState::Mode::Polling || !node_) return;
    ++g_callbacks;
    g->heard = std::chrono::steady_clock::now();
    if (g->mode == DcomGroupState::Mode::Probing) {
      g->mode = DcomGroupState::Mode::Callbacks;
      if (g->probe_timer) apartment_.kill_timer(*g->probe_timer);
      g->probe_timer.reset();
      data_mode_note_.clear();
      watch_keep_alive(g);
      schedule_poll(g);
    }
    if (!g->active || !g->subscribed) return;
    g->changes.start(change.states.size());
    // Servers send the items in the order they were added, as a rule: each is looked for where
    // the one before was, then everywhere.
    std::size_t next = 0;
    for (std::size_t i = 0; i < change.states.size(); ++i) {
      ItemState& s = change.states[i];
      const auto handle = static_cast<std::int32_t>(s.client_handle);
      DcomItem* item =
          next < g->items.size() && g->items[next].server_handle == handle ? &g->items[next] : g->find_item(handle);
      if (item) next = static_cast<std::size_t>(item - g->items.data()) + 1;
      if (!item || !item->active) continue;
      if (i < change.errors.size() && (change.errors[i] & 0x80000000u)) {
        s.value = Variant();
        s.quality = opcda::OPC_QUALITY_BAD;
      }
      if (item->reported && item->quality == s.quality && item->time == s.time && item->value == s.value) continue;
      item->reported = true;
      item->value = s.value;
      item->quality = s.quality;
      item->time = s.time;
      g->changes.add(item->client_handle, std::move(s.value), s.quality, date_of(s.time));
    }
    g->changes.raise(g->data_change);
  }

  void remember(const std::vector<DcomItem*>& items, const ReadAnswer& answer) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      items[i]->reported = true;
      items[i]->value = answer.states[i].value;
      items[i]->quality = answer.states[i].quality;
      items[i]->time = answer.states[i].time;
    }
  }

  // A group called back has no poll timer: the server's calls are its only work.
  void schedule_poll(const std::shared_ptr<DcomGroupState>& g) {
    if (g->poll_timer) apartment_.kill_timer(*g->poll_timer);
    g->poll_timer.reset();
    if (g->mode == DcomGroupState::Mode::Callbacks) return;
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    std::weak_ptr<DcomGroupState> group = g;
    g->poll_timer = apartment_.set_timer(std::chrono::milliseconds(std::max(g->update_rate, 10)), [weak, group] {
      auto self = weak.lock();
      auto g = group.lock();
      if (self && g) self->poll(g);
    });
  }

  void check_status() {
    if (!node_) return;
    try {
      status_ = get_status(*node_, server_);
      if (node_->ping_error()) {
        lost("the server no longer knew our objects (the ping set was gone)");
        return;
      }
      // Without a keep-alive, silence from a group that is called back is normal while nothing
      // changes; long silence is asked about with a refresh, whose answer must come back as for
      // the first probe.
      const auto now = std::chrono::steady_clock::now();
      for (auto g : std::vector<std::shared_ptr<DcomGroupState>>(group_list)) {
        if (g->mode != DcomGroupState::Mode::Callbacks || g->keep_alive.count() || !g->active ||
            now - g->heard < options_.callback_silence)
          continue;
        g->mode = DcomGroupState::Mode::Probing;
        send_probe(g);
      }
    } catch (const DcomError& e) {
      lost(e.what());
    }
  }

  // The connection failed: every item goes to "no communication", and retries begin.
  void lost(const std::string& why) {
    if (!node_ || !connected_) return;
    lost_reason_ = why;
    drop(nullptr, shutdown_sink_);
    // The node goes without a word to the server: what it held there is collected when pings stop.
    node_.reset();
    const DATE now = now_date();
    for (auto group : std::vector<std::shared_ptr<DcomGroupState>>(group_list)) {
      stop_callbacks(nullptr, *group);
      group->remote_handle = 0;
      for (auto& item : group->items) item.reported = false;
      if (group->removed || !group->active || !group->subscribed) continue;
      group->changes.start(group->items.size());
      for (auto& item : group->items) {
        if (!item.active) continue;
        item.reported = true;
        item.value = Variant();
        item.quality = opcda::OPC_QUALITY_COMM_FAILURE;
        group->changes.add(item.client_handle, Variant(), opcda::OPC_QUALITY_COMM_FAILURE, now);
      }
      group->changes.raise(group->data_change);
    }
    schedule_retry();
  }

  void schedule_retry() {
    const auto pause = opcda::retry_pause(options_.first_retry, options_.last_retry, attempts_++);
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    retry_timer_ = apartment_.set_timer(
        pause,
        [weak] {
          if (auto self = weak.lock()) {
            self->retry_timer_.reset();
            self->attempt();
          }
        },
        false);
  }

  // Connects again off the apartment, which goes on meanwhile: reaching a node that is gone takes
  // up to the connect timeout, and a login as long as the node takes to answer.
  // Nobody is asked for a login there (a window cannot be shown from that thread): the password
  // file's line, else the login the node took when the connection was made.
  void attempt() {
    if (!connected_ || node_) return;
    if (reconnect_thread_.joinable()) reconnect_thread_.join();
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    Apartment* target = &apartment_;
    reconnect_thread_ = std::thread([weak, target, alive = apartment_.liveness(), node_text = node_text_,
                                     prog_id = prog_id_, options = options_, login = login_] {
      std::shared_ptr<Opened> opened;
      std::string why;
      try {
        opened = std::make_shared<Opened>(open_server(node_text, prog_id, options, &login));
      } catch (const DcomError& e) {
        why = e.what();
      }
      if (alive.expired()) return;
      target->post([weak, opened, why] {
        auto self = weak.lock();
        if (self) self->reconnected(opened, why);
      });
    });
  }

  // Makes every group and item again on the node reached, with the same handles for the client.
  void reconnected(const std::shared_ptr<Opened>& opened, const std::string& why) {
    if (!connected_ || node_) return;  // closed meanwhile: what was reached goes with `opened`
    try {
      if (!opened) throw DcomError(status::RPC_S_SERVER_UNAVAILABLE, why);
      adopt(std::move(*opened));
      for (auto& g : group_list) {
        make_remote(*node_, g);
        if (g->items.empty()) continue;
        std::vector<ItemDef> defs;
        for (const auto& item : g->items)
          defs.push_back({item.item_id, item.access_path, item.active, static_cast<std::uint32_t>(item.server_handle),
                          static_cast<std::uint16_t>(item.requested_type)});
        const auto results = da::add_items(*node_, g->item_mgt, defs);
        for (std::size_t i = 0; i < results.size(); ++i) {
          g->items[i].remote_handle = results[i].server_handle;
          g->items[i].reported = false;
        }
      }
      if (options_.callbacks) advise_shutdown();
      attempts_ = 0;
      lost_reason_.clear();
    } catch (const DcomError& e) {
      lost_reason_ = e.what();
      node_.reset();
      schedule_retry();
    }
  }

  // Our IOPCShutdown on the server's connection point: a server about to stop says so only there.
  // A server without it (or that cannot reach us) just goes, and that is a lost connection.
  void advise_shutdown() {
    CallbackPort& port = callback_port();
    if (!port.listener || !node_) return;
    DcomNode& node = *node_;
    shutdown_announced_ = false;
    std::weak_ptr<DcomConnection> weak = shared_from_this();
    Apartment* target = &apartment_;
    auto handler = [weak, target, alive = apartment_.liveness()](std::uint16_t opnum,
                                                                 std::string_view stub) -> std::string {
      if (opnum != 3) throw DcomError(0x1C010002u, "no such method");
      NdrReader r(stub);
      const std::string reason = r.wide_string();
      r.expect_end();
      if (!alive.expired()) {
        target->post([weak, reason] {
          if (auto self = weak.lock()) self->shutdown_requested(reason);
        });
      }
      return std::string(4, '\0');
    };
    try {
      const std::string address = port.address.empty() ? node.local_address() : port.address;
      advise_on(node, server_, "IOPCShutdown", handler, port.listener->binding(address), shutdown_sink_);
    } catch (const DcomError& e) {
      if (is_lost(e)) throw;
      drop(&node, shutdown_sink_);
    }
  }

  // ServerShutDown once per connection, then as any lost connection: the retries find the server
  // when it is back.
  void shutdown_requested(const std::string& reason) {
    if (!connected_ || shutdown_announced_ || !node_) return;
    shutdown_announced_ = true;
    shutdown_.raise(reason.empty() ? "the server is shutting down" : reason);
    lost("the server shut down: " + reason);
  }

  void adopt(Opened&& opened) {
    login_ = opened.node->credentials();
    server_ = opened.server;
    status_ = opened.status;
    node_ = std::move(opened.node);
  }

  void stop_timers() {
    for (auto& g : group_list)
      for (auto* timer : {&g->poll_timer, &g->probe_timer, &g->keep_alive_timer})
        if (*timer) apartment_.kill_timer(**timer);
    if (status_timer_) apartment_.kill_timer(*status_timer_);
    if (retry_timer_) apartment_.kill_timer(*retry_timer_);
    status_timer_.reset();
    retry_timer_.reset();
  }

  // Removes our groups from the server and gives back every reference.
  void release() {
    releasing_ = true;
    drop(node_.get(), shutdown_sink_);
    if (node_) {
      for (auto& g : group_list) {
        if (!g->remote_handle) continue;
        try {
          drop_remote(*node_, *g);
        } catch (const DcomError&) {
          break;  // the server is gone: the node releases what it can and stops pinging
        }
      }
    }
    for (auto& g : group_list) stop_callbacks(nullptr, *g);  // no sink outlives its connection
    node_.reset();
  }

  std::string prog_id_, node_text_;
  DcomModuleOptions options_;
  Apartment& apartment_;
  std::unique_ptr<DcomNode> node_;
  RemoteInterface server_;
  ServerStatus status_;
  bool connected_ = true;
  std::string lost_reason_;
  int attempts_ = 0;
  std::optional<Apartment::TimerId> status_timer_, retry_timer_;
  std::thread reconnect_thread_;
  std::string data_mode_note_;    // why groups poll where they could have been called back
  std::string callback_binding_;  // where servers were told to call us
  std::string callback_where_;    // the same as people write it
  std::uint32_t transactions_ = 0;
  AdvisedSink shutdown_sink_;  // our IOPCShutdown
  bool shutdown_announced_ = false;
  bool releasing_ = false;  // no timer starts while the connection goes
  NtlmCredentials login_;   // what the node took last
  opcda::ServerShutDownEvent shutdown_;
  std::int32_t handles_ = 0;
  int unnamed_groups_ = 0;
};

// ---- the client-facing objects ----

class DcomItemFacade final : public opcda::ItemFacadeBase<DcomConnection, DcomGroupState, DcomItem> {
 public:
  using ItemFacadeBase::ItemFacadeBase;

  void put_IsActive(bool active) override {
    DcomItem& it = item();
    if (it.active == active) return;
    conn_->call([&](DcomNode& node) { return set_active_state(node, group_->item_mgt, {it.remote_handle}, active); });
    it.active = active;
    it.reported = false;
  }
  void put_RequestedDataType(std::int16_t type) override {
    // The server converts, and says at once when it cannot give the item in that type; the item
    // keeps its type then. A heal adds it again with the type it has.
    DcomItem& it = item();
    const auto errors = conn_->call([&](DcomNode& node) {
      return set_datatypes(node, group_->item_mgt, {it.remote_handle}, {static_cast<std::uint16_t>(type)});
    });
    if (errors.front() & 0x80000000u) throw hresult_error(static_cast<HRESULT>(errors.front()));
    it.requested_type = type;
    it.reported = false;
  }
  Variant get_Value() override { return sample().value; }
  std::int32_t get_Quality() override { return sample().quality; }
  DATE get_TimeStamp() override { return date_of(sample().time); }

 private:
  // Each read goes to the device, as an item's properties do in this model.
  ItemState sample() {
    DcomItem& it = item();
    ReadAnswer answer = conn_->read(*group_, {it.remote_handle}, kFromDevice);
    if (answer.errors.front() & 0x80000000u) throw hresult_error(static_cast<HRESULT>(answer.errors.front()));
    return std::move(answer.states.front());
  }
};

class DcomItems final : public opcda::ItemsFacadeBase<DcomConnection, DcomGroupState, DcomItemFacade> {
 public:
  using ItemsFacadeBase::ItemsFacadeBase;

  std::shared_ptr<opcda::OPCItem> AddItem(const std::string& item_id, std::int32_t client_handle) override {
    std::vector<std::int32_t> handles;
    if (conn_->add_items(state(), {request(item_id, client_handle, state().default_requested_type)}, handles).front())
      return nullptr;
    return std::make_shared<DcomItemFacade>(conn_, group_, handles.front());
  }
  void AddItems(std::int32_t count, const Variant& item_ids, const Variant& client_handles, Variant& server_handles,
                Variant& errors, const Variant& requested_types, const Variant& access_paths) override {
    DcomGroupState& g = state();
    check_count(count);
    // Every argument is read first: a bad one fails the call before anything is added.
    std::vector<DcomItem> items;
    for (std::int32_t i = 1; i <= count; ++i) {
      DcomItem item = request(to_bstr(arg_at(item_ids, i, "ItemIDs")),
                              to_i4(arg_at(client_handles, i, "ClientHandles")), g.default_requested_type);
      if (!requested_types.is_missing()) item.requested_type = to_i2(arg_at(requested_types, i, "RequestedDataTypes"));
      if (!access_paths.is_missing()) item.access_path = to_bstr(arg_at(access_paths, i, "AccessPaths"));
      items.push_back(std::move(item));
    }
    std::vector<std::int32_t> handles;
    const auto results = conn_->add_items(g, std::move(items), handles);
    std::vector<Variant> h(handles.begin(), handles.end()), e(results.begin(), results.end());
    server_handles = out_array(VT_I4, h);
    errors = out_array(VT_I4, e);
  }
  void Remove(std::int32_t count, const Variant& server_handles, Variant& errors) override {
    conn_->reachable();
    if (group_->removed) throw hresult_error(hr::E_FAIL, "The group has been removed");
    DcomGroupState& g = *group_;
    check_count(count);
    std::vector<Variant> errs;
    std::vector<std::uint32_t> remote;
    for (std::int32_t i = 1; i <= count; ++i) {
      const std::int32_t handle = to_i4(arg_at(server_handles, i, "ServerHandles"));
      auto it = std::find_if(g.items.begin(), g.items.end(),
                             [&](const DcomItem& x) { return handle != 0 && x.server_handle == handle; });
      if (it == g.items.end()) {
        errs.emplace_back(hr::OPC_E_INVALIDHANDLE);
        continue;
      }
      remote.push_back(it->remote_handle);
      g.items.erase(it);
      errs.emplace_back(hr::S_OK);
    }
    errors = out_array(VT_I4, errs);
    // Gone from the group now; the server's refusal changes nothing the caller can act on.
    if (!remote.empty() && g.remote_handle && conn_->has_node()) {
      try {
        conn_->call([&](DcomNode& node) { return remove_items(node, g.item_mgt, remote); });
      } catch (const AutomationError&) {
      }
    }
  }
  void Validate(std::int32_t count, const Variant& item_ids, Variant& errors, const Variant& requested_types,
                const Variant& access_paths) override {
    // The server's answer for each, nothing added.
    DcomGroupState& g = state();
    check_count(count);
    std::vector<ItemDef> defs;
    for (std::int32_t i = 1; i <= count; ++i) {
      ItemDef d{to_bstr(arg_at(item_ids, i, "ItemIDs")), g.default_access_path, false, 0,
                static_cast<std::uint16_t>(g.default_requested_type)};
      if (!requested_types.is_missing())
        d.requested_type = static_cast<std::uint16_t>(to_i2(arg_at(requested_types, i, "RequestedDataTypes")));
      if (!access_paths.is_missing()) d.access_path = to_bstr(arg_at(access_paths, i, "AccessPaths"));
      defs.push_back(std::move(d));
    }
    const auto results = conn_->call([&](DcomNode& node) { return validate_items(node, g.item_mgt, defs); });
    std::vector<Variant> e;
    for (const ItemResult& r : results) e.emplace_back(static_cast<std::int32_t>(r.hresult));
    errors = out_array(VT_I4, e);
  }

 private:
  DcomItem request(std::string id, std::int32_t client, std::int16_t type) {
    DcomItem item;
    item.item_id = std::move(id);
    item.client_handle = client;
    item.requested_type = type;
    item.active = group_->default_active;
    item.access_path = group_->default_access_path;
    return item;
  }
};

class DcomGroup final : public opcda::GroupFacadeBase<DcomConnection, DcomGroupState> {
 public:
  using GroupFacadeBase::GroupFacadeBase;

  void put_IsActive(bool active) override {
    DcomGroupState& g = state();
    if (g.active == active) return;
    conn_->call([&](DcomNode& node) { return set_group_state(node, g.state_mgt, std::nullopt, active, std::nullopt); });
    g.active = active;
    if (active) conn_->report_all(g);
  }
  void put_IsSubscribed(bool subscribed) override {
    DcomGroupState& g = state();
    if (g.subscribed == subscribed) return;
    g.subscribed = subscribed;
    if (subscribed) conn_->report_all(g);
  }
  void put_UpdateRate(std::int32_t ms) override { conn_->change_rate(state(), ms); }
  void put_DeadBand(float percent) override {
    DcomGroupState& g = state();
    if (!(percent >= 0.0f && percent <= 100.0f)) throw bad_argument("the deadband lies outside 0 to 100");
    conn_->call(
        [&](DcomNode& node) { return set_group_state(node, g.state_mgt, std::nullopt, std::nullopt, percent); });
    g.deadband = percent;
  }
  std::shared_ptr<opcda::OPCItems> get_OPCItems() override {
    state();
    return std::make_shared<DcomItems>(conn_, group_);
  }

  void SyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors) override {
    std::vector<const DcomItem*> items;
    std::vector<Variant> to_write, errs;
    const std::vector<std::size_t> index = sort_out_write(count, server_handles, values, items, to_write, errs);
    if (!items.empty()) {
      const auto results = conn_->write(*group_, items, to_write);
      for (std::size_t k = 0; k < index.size(); ++k) errs[index[k]] = Variant(results[k]);
    }
    errors = out_array(VT_I4, errs);
  }

  void AsyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors,
                  std::int32_t transaction_id, std::int32_t& cancel_id) override {
    // Written at once; the completion follows at the next turn of the loop, as a server's would.
    SyncWrite(count, server_handles, values, errors);
    std::vector<Variant> handles;
    for (std::int32_t i = 1; i <= count; ++i) {
      const DcomItem* item = group_->find_item(to_i4(arg_at(server_handles, i, "ServerHandles")));
      handles.emplace_back(item ? item->client_handle : 0);
    }
    cancel_id = transaction_id;
    std::weak_ptr<DcomGroupState> weak = group_;
    Variant results = errors;
    Apartment::require_current().post([weak, handles, results, transaction_id] {
      auto g = weak.lock();
      if (!g || g->removed) return;
      g->write_complete.raise(transaction_id, static_cast<std::int32_t>(handles.size()), out_array(VT_I4, handles),
                              results);
    });
  }
};

// What a browser asks of the server, given the item ID of its branch ("" for the root).
struct BrowseFilters {
  std::string names;
  std::uint16_t data_type = VT_EMPTY;
  std::uint32_t access_rights = 0;
};
class BrowseSource {
 public:
  explicit BrowseSource(RemoteInterface browse) : browse_(std::move(browse)) {}
  virtual ~BrowseSource() = default;
  const RemoteInterface& interface() const { return browse_; }
  // Names of the branch's branches or leaves; with `flat`, every leaf below it by item ID.
  virtual std::vector<std::string> branches(DcomNode& node, const std::string& at, const BrowseFilters& f) = 0;
  virtual std::vector<std::string> leaves(DcomNode& node, const std::string& at, bool flat, const BrowseFilters& f) = 0;
  // The item ID of a child branch, and of a leaf; both fail for a name the branch lacks.
  virtual std::string branch_id(DcomNode& node, const std::string& at, const std::string& name) = 0;
  virtual std::string leaf_id(DcomNode& node, const std::string& at, const std::string& name) = 0;

 protected:
  RemoteInterface browse_;
};

// IOPCBrowseServerAddressSpace keeps one position per client on the server: each request goes
// there first, so that browsers of one connection do not move each other.
class PositionSource final : public BrowseSource {
 public:
  using BrowseSource::BrowseSource;
  std::vector<std::string> branches(DcomNode& node, const std::string& at, const BrowseFilters& f) override {
    return list(node, at, BrowseType::Branch, f);
  }
  std::vector<std::string> leaves(DcomNode& node, const std::string& at, bool flat, const BrowseFilters& f) override {
    return list(node, at, flat ? BrowseType::Flat : BrowseType::Leaf, f);
  }
  std::string branch_id(DcomNode& node, const std::string& at, const std::string& name) override {
    go(node, at);
    change_browse_position(node, browse_, BrowseDirection::Down, name);
    return get_item_id(node, browse_, "");
  }
  std::string leaf_id(DcomNode& node, const std::string& at, const std::string& name) override {
    go(node, at);
    return get_item_id(node, browse_, name);
  }

 private:
  void go(DcomNode& node, const std::string& at) { change_browse_position(node, browse_, BrowseDirection::To, at); }
  std::vector<std::string> list(DcomNode& node, const std::string& at, BrowseType type, const BrowseFilters& f) {
    go(node, at);
    return browse_item_ids(node, browse_, type, f.names, f.data_type, f.access_rights);
  }
};

// IOPCBrowse of DA 3 names the branch in each call and filters nothing we need: names, types and
// rights are filtered here, by the same rules as the other browsers.
class ElementSource final : public BrowseSource {
 public:
  using BrowseSource::BrowseSource;
  std::vector<std::string> branches(DcomNode& node, const std::string& at, const BrowseFilters& f) override {
    std::vector<std::string> out;
    for (const BrowseElement& e : browse_elements(node, browse_, at, BrowseFilter::Branches, false))
      if (opcda::match_pattern(e.name, f.names)) out.push_back(e.name);
    return out;
  }
  std::vector<std::string> leaves(DcomNode& node, const std::string& at, bool flat, const BrowseFilters& f) override {
    std::vector<std::string> out;
    collect(node, at, flat, f, 0, out);
    return out;
  }
  std::string branch_id(DcomNode& node, const std::string& at, const std::string& name) override {
    for (const BrowseElement& e : browse_elements(node, browse_, at, BrowseFilter::Branches, false))
      if (e.name == name) return e.item_id;
    throw DcomError(status::E_INVALIDARG, "no branch \"" + name + "\" here");
  }
  std::string leaf_id(DcomNode& node, const std::string& at, const std::string& name) override {
    for (const BrowseElement& e : browse_elements(node, browse_, at, BrowseFilter::Items, false))
      if (e.name == name) return e.item_id;
    throw DcomError(static_cast<std::uint32_t>(hr::OPC_E_UNKNOWNITEMID), "no leaf \"" + name + "\" here");
  }

 private:
  static constexpr int kDeepest = 64;  // an address space that loops back on itself ends here

  void collect(DcomNode& node, const std::string& at, bool flat, const BrowseFilters& f, int depth,
               std::vector<std::string>& out) {
    const bool typed = f.data_type != VT_EMPTY || f.access_rights != 0;
    for (const BrowseElement& e : browse_elements(node, browse_, at, BrowseFilter::Items, typed)) {
      if (f.data_type != VT_EMPTY && e.data_type != f.data_type) continue;
      if ((e.access_rights & f.access_rights) != f.access_rights) continue;
      const std::string& shown = flat ? e.item_id : e.name;
      if (opcda::match_pattern(shown, f.names)) out.push_back(shown);
    }
    if (!flat || depth >= kDeepest) return;
    for (const BrowseElement& e : browse_elements(node, browse_, at, BrowseFilter::Branches, false))
      collect(node, e.item_id, flat, f, depth + 1, out);
  }
};

// A browser of the server's address space. It keeps its own position, as the item IDs of the
// branches from the root down, so that several browsers of one connection go their own ways.
class DcomBrowser final : public opcda::OPCBrowser {
 public:
  DcomBrowser(std::shared_ptr<DcomConnection> c, std::unique_ptr<BrowseSource> source, std::int32_t organization)
      : conn_(std::move(c)), source_(std::move(source)), organization_(organization) {}
  ~DcomBrowser() override {
    try {
      conn_->live().release(source_->interface());
    } catch (const AutomationError&) {
    }
  }

  std::int32_t get_Organization() override { return (conn_->live(), organization_); }
  std::string get_Filter() override { return filters_.names; }
  void put_Filter(const std::string& filter) override { filters_.names = filter; }
  std::int16_t get_DataType() override { return static_cast<std::int16_t>(filters_.data_type); }
  void put_DataType(std::int16_t data_type) override { filters_.data_type = static_cast<std::uint16_t>(data_type); }
  std::int32_t get_AccessRights() override { return static_cast<std::int32_t>(filters_.access_rights); }
  void put_AccessRights(std::int32_t rights) override {
    if (rights < 0 || rights > (opcda::OPC_READABLE | opcda::OPC_WRITEABLE))
      throw bad_argument("no such access rights");
    filters_.access_rights = static_cast<std::uint32_t>(rights);
  }
  std::string get_CurrentPosition() override { return (conn_->live(), position()); }
  std::int32_t get_Count() override { return static_cast<std::int32_t>(names_.size()); }
  std::string Item(const Variant& index) override {
    const std::int32_t i = to_i4(index);
    if (i < 1 || i > static_cast<std::int32_t>(names_.size())) throw bad_argument("no entry at that index");
    return names_[static_cast<std::size_t>(i - 1)];
  }
  void ShowBranches() override {
    names_ = conn_->call([&](DcomNode& node) { return source_->branches(node, position(), filters_); });
  }
  void ShowLeafs(const Variant& flat) override {
    const bool all = !flat.is_missing() && to_bool(flat) != 0;
    names_ = conn_->call([&](DcomNode& node) { return source_->leaves(node, position(), all, filters_); });
  }
  void MoveUp() override {
    if (path_.empty()) throw hresult_error(hr::E_FAIL, "already at the root");
    path_.pop_back();
  }
  void MoveToRoot() override { path_.clear(); }
  void MoveDown(const std::string& branch) override {
    path_.push_back(conn_->call([&](DcomNode& node) { return source_->branch_id(node, position(), branch); }));
  }
  std::string GetItemID(const std::string& leaf) override {
    return conn_->call([&](DcomNode& node) { return source_->leaf_id(node, position(), leaf); });
  }

 private:
  std::string position() const { return path_.empty() ? std::string() : path_.back(); }

  std::shared_ptr<DcomConnection> conn_;
  std::unique_ptr<BrowseSource> source_;
  std::int32_t organization_;
  BrowseFilters filters_;
  std::vector<std::string> path_;  // the item IDs of the branches above and at the position
  std::vector<std::string> names_;
};

// Through IOPCBrowseServerAddressSpace where the server has it, else through IOPCBrowse of DA 3;
// a server with neither cannot be browsed and gives Nothing.
std::shared_ptr<opcda::OPCBrowser> DcomConnection::create_browser() {
  DcomNode& node = live();
  std::unique_ptr<BrowseSource> source;
  for (const char* name : {"IOPCBrowseServerAddressSpace", "IOPCBrowse"}) {
    try {
      RemoteInterface browse = node.query_interface(server_, interface_info(name).iid);
      if (name == std::string_view("IOPCBrowse")) {
        source = std::make_unique<ElementSource>(std::move(browse));
      } else {
        source = std::make_unique<PositionSource>(std::move(browse));
      }
      break;
    } catch (const DcomError& e) {
      if (e.hresult() == status::E_NOINTERFACE) continue;
      if (is_lost(e)) lost(e.what());
      throw automation_error(e);
    }
  }
  if (!source) return nullptr;
  std::int32_t organization = opcda::OPCHierarchical;
  if (dynamic_cast<PositionSource*>(source.get())) {
    try {
      organization = query_organization(node, source->interface()) == kFlat ? opcda::OPCFlat : opcda::OPCHierarchical;
    } catch (const DcomError& e) {
      node.release(source->interface());
      throw automation_error(e);
    }
  }
  return std::make_shared<DcomBrowser>(shared_from_this(), std::move(source), organization);
}

std::shared_ptr<opcda::OPCGroups> DcomConnection::groups() {
  live();
  return std::make_shared<opcda::GroupsOf<DcomConnection, DcomGroup>>(shared_from_this());
}

class DcomModule final : public opcda::ServerModule {
 public:
  DcomModule(std::string prog_id, std::string node, DcomModuleOptions options)
      : prog_id_(std::move(prog_id)), node_(std::move(node)), options_(std::move(options)) {}

  std::shared_ptr<opcda::ServerConnection> connect() override {
    auto connection = std::make_shared<DcomConnection>(prog_id_, node_, options_, Apartment::require_current());
    try {
      connection->open();
    } catch (const DcomError& e) {
      throw automation_error(e);
    }
    connection->start();
    return connection;
  }

 private:
  std::string prog_id_, node_;
  DcomModuleOptions options_;
};

class DcomHandler final : public opcda::NodeServerHandler {
 public:
  explicit DcomHandler(DcomModuleOptions options) : options_(std::move(options)) {}
  std::shared_ptr<opcda::ServerModule> module_for(const std::string& prog_id, const std::string& node) override {
    return make_dcom_module(prog_id, node, options_);
  }
  std::vector<std::string> prog_ids(const std::string& node) override {
    const std::string file = options_.password_file.empty() ? default_password_file() : options_.password_file;
    try {
      auto connected = connect_node(node, file, options_.node);
      return node_servers(*connected);
    } catch (const DcomError& e) {
      throw automation_error(e);
    }
  }

 private:
  DcomModuleOptions options_;
};

}  // namespace

PollTotals poll_totals() { return {g_polls.load(), g_values.load(), g_callbacks.load()}; }

void install_dcom(opcda::ServerRegistry& registry, DcomModuleOptions options) {
  install_opc_interfaces();
  registry.set_node_handler(std::make_shared<DcomHandler>(std::move(options)));
}

void uninstall_dcom(opcda::ServerRegistry& registry) { registry.set_node_handler(nullptr); }

std::shared_ptr<opcda::ServerModule> make_dcom_module(std::string prog_id, std::string node,
                                                      DcomModuleOptions options) {
  return std::make_shared<DcomModule>(std::move(prog_id), std::move(node), std::move(options));
}

}  // namespace vexa32::dcom::da
