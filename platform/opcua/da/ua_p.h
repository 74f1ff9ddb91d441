#pragma once
// Inside the UA server module: one connection per client (a session on its own secure channel),
// its groups and their items. As with the simulation, the client-facing objects are facades that
// hold the connection alive; everything here runs on the apartment that connected.

#include <optional>
#include <thread>

#include "platform/apartment/apartment.h"
#include "platform/opcda/group_list.h"
#include "platform/opcua/subscription_services.h"
#include "platform/opcua/da/ua_server.h"
#include "platform/opcua/da/values.h"

namespace vexa32::opcua {

struct UaItem {
  std::int32_t server_handle = 0;
  std::int32_t client_handle = 0;
  std::string item_id;
  NodeId node;
  VarType canonical = VT_VARIANT;
  std::int32_t access = 0;
  BuiltinType write_type = BuiltinType::Variant;  // what a write sends
  bool write_array = false;
  bool active = true;
  std::int16_t requested_type = VT_EMPTY;
  std::string access_path;
  std::uint32_t monitored_item_id = 0;  // 0 when the server refused to monitor it
  bool filtered = false;                // monitored with the group's deadband
};

struct UaGroupState : opcda::GroupSettings {
  std::vector<UaItem> items;
  std::uint32_t subscription_id = 0;

  UaItem* find_item(std::int32_t server_handle);
  // One item's sample into the next DataChange (after changes.start), in its requested type.
  void add_change(const UaItem& item, DaSample&& sample);
};

// What one Read of a variable's value gives an item.
using Sample = DaSample;

// The notifications of one Publish answer for a group, those of its active items, as its next
// DataChange (raised by the connection).
void collect_changes(UaGroupState& group, const PublishResponse& response);
// What one data change of an answer gives an OPC DA item.
DaSample sample_of(const PublishResponse& response, const ItemNotification& change);

class UaConnection : public opcda::ServerConnection, public std::enable_shared_from_this<UaConnection> {
 public:
  UaConnection(std::shared_ptr<Client> client, Apartment& apartment);
  ~UaConnection() override;

  DATE start_time() override;
  DATE current_time() override;
  DATE last_update_time() override { return (live(), last_update); }
  std::int16_t major_version() override;
  std::int16_t minor_version() override;
  std::int16_t build_number() override;
  std::string vendor_info() override;
  std::int32_t server_state() override;
  std::shared_ptr<opcda::OPCGroups> groups() override;
  std::shared_ptr<opcda::OPCBrowser> create_browser() override;
  void disconnect() override;
  opcda::ServerShutDownEvent& shutdown_event() override { return shutdown_; }

  // The client, or an automation error when the connection is closed or lost.
  Client& live();
  // Whether the server can be asked now: false while the connection is lost (and being
  // restored). An automation error when the connection is closed.
  bool reachable();
  // Runs a service call, turning its failure into the automation error a caller sees.
  template <typename F>
  auto service(F&& f) -> decltype(f(std::declval<Client&>())) {
    Client& c = live();
    try {
      return f(c);
    } catch (const UaError& e) {
      throw_error(e);
    }
  }
  [[noreturn]] void throw_error(const UaError& e);

  // Reads the values of nodes (one Read), as items deliver them.
  std::vector<DataValue> read_values(const std::vector<NodeId>& nodes);
  // Resolves an item ID: the node, or the OPC error of a malformed or unknown one.
  HRESULT resolve(const std::string& item_id, NodeId& node);
  // Reads what an item needs to know of its node; the per-item OPC error, S_OK when it is a variable.
  std::vector<HRESULT> describe(std::vector<UaItem>& items);
  // Writes values converted to each item's type; the per-item OPC error.
  std::vector<HRESULT> write(const std::vector<const UaItem*>& items, const std::vector<Variant>& values);
  // Converts a value to what a write of the item sends; S_OK or the OPC error of the conversion.
  static HRESULT convert_for_write(const UaItem& item, const Variant& value, WriteValue& out);
  static HRESULT write_error(StatusCode status);

  // Hooks the connection to the client's Publish answers and failure; once, right after
  // construction, with what a reconnection needs.
  void start(std::string url, UaModuleOptions options);
  // One Publish answer, on the apartment: one DataChange for its group.
  void deliver(PublishResponse& response);
  // Every active item's current value as one DataChange, at the next turn of the loop: what a
  // group reports when it is activated or subscribed again.
  void refresh(const std::shared_ptr<UaGroupState>& group);
  // A group as a subscription: its interval, keep-alive and lifetime from the update rate.
  void change_rate(UaGroupState& group, std::int32_t milliseconds);
  // A group's publishing, with the monitoring of its active items: an inactive group costs the
  // server no sampling.
  void set_publishing(UaGroupState& group, bool enabled);
  // Sampling and reporting of a group's items on or off (a server reports an item's first
  // sample again when it is switched on).
  void set_monitoring(UaGroupState& group, const std::vector<const UaItem*>& items, bool reporting);
  // Monitors items just added to a group, in batches.
  void monitor(UaGroupState& group, std::vector<UaItem*> items);
  // The group's update rate and deadband on the items it monitors already.
  void remonitor(UaGroupState& group);
  void unmonitor(UaGroupState& group, const std::vector<std::uint32_t>& monitored_item_ids);

  std::shared_ptr<UaGroupState> add_group(const std::string& name);
  void remove_group(const std::shared_ptr<UaGroupState>& group);
  std::shared_ptr<UaGroupState> find_group(const Variant& name_or_handle, bool by_position);
  std::int32_t next_handle() { return ++handles_; }

  std::shared_ptr<Client> client;
  Apartment& apartment;
  std::weak_ptr<const void> apartment_alive;
  bool default_active = true;
  std::int32_t default_update_rate = 1000;
  float default_deadband = 0;
  DATE last_update = 0;
  std::vector<std::string> namespaces;  // the server's namespace array, for "nsu=" item IDs
  std::vector<std::shared_ptr<UaGroupState>> group_list;

 private:
  DataValue status_value(std::uint32_t node);
  void hook(Client& c);
  // The connection failed: every item goes to "no communication" and retries begin.
  void on_lost(std::uint64_t generation, const std::string& why);
  void schedule_retry();
  void attempt();
  void adopt(std::uint64_t generation, std::shared_ptr<Client> fresh, bool resumed);
  // Creates the group's subscription on the server and monitors its items.
  void subscribe(UaGroupState& group);
  // After a reconnection: the subscriptions of a resumed session go on; otherwise they are
  // transferred to the new session, or created again with the same items and handles.
  void restore(bool resumed);
  // What was removed while the connection was lost goes from the server too, where it is still
  // there: in subscriptions that came through (all of them when the session was resumed).
  void delete_dropped(bool resumed, const std::vector<std::uint32_t>& surviving);
  void stop_healing();
  // The server's state, seconds till shutdown and reason, watched by a subscription of their own
  // so that an announced shutdown is seen within a second, not at the next keep-alive.
  void watch_status();
  void on_status(const PublishResponse& response);
  void announce_shutdown(const std::string& reason);
  // Publish requests for the groups and the status, with the longest keep-alive among them.
  void keep_publishing(std::chrono::milliseconds keep_alive);

  std::uint32_t status_subscription_ = 0;
  bool shutdown_announced_ = false;
  std::string shutdown_reason_;

  std::vector<std::uint32_t> dropped_subscriptions_;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> dropped_items_;  // by subscription

  std::string url_;
  UaModuleOptions options_;
  bool down_ = false;
  std::string lost_reason_;
  int attempts_ = 0;
  std::uint64_t generation_ = 0;
  std::optional<Apartment::TimerId> retry_timer_;
  std::thread reconnect_thread_;
  // The group's DataChange of what was collected, if anything.
  void raise(UaGroupState& group);
  std::string build_text(std::uint32_t node);

  bool connected_ = true;
  opcda::ServerShutDownEvent shutdown_;
  std::int32_t handles_ = 0;
  int unnamed_groups_ = 0;
};

std::shared_ptr<opcda::OPCBrowser> make_ua_browser(std::shared_ptr<UaConnection> connection);

}  // namespace vexa32::opcua
