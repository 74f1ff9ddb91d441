#pragma once
// Inside the simulation servers: one connection per client, its groups and their items. The
// client-facing objects (groups collection, group, items, item, browser) are thin facades that
// hold the connection alive, as COM children hold their parent; the connection holds its groups'
// state but no facade, so dropping every facade releases the connection and disconnects it.

#include <optional>

#include "platform/apartment/apartment.h"
#include "platform/opcda/group_list.h"
#include "platform/opcda/simulation.h"

namespace vexa32::opcda {

struct GroupItem {
  std::int32_t server_handle = 0;
  std::int32_t client_handle = 0;
  const ItemDef* def = nullptr;
  bool active = true;
  std::int16_t requested_type = VT_EMPTY;
  std::string access_path;
  // What the last callback reported; empty until then, so the first callback reports the item.
  bool reported = false;
  Variant last_value;
  std::int32_t last_quality = 0;
};

class GroupState : public GroupSettings, public std::enable_shared_from_this<GroupState> {
 public:
  GroupState(std::shared_ptr<SimulationServer> server, SimConnection* connection, Apartment& apartment);
  ~GroupState();

  // Runs one update: every active readable item whose value or quality changed since it was last
  // reported (all of them when nothing was reported yet) goes into one DataChange.
  void tick();
  // A tick at the next turn of the loop, never inside the calling member.
  void post_tick();
  // Queues a task on the group's loop; nothing when that loop is gone.
  void post(Apartment::Task task);
  // The timer runs while the group is active and subscribed and not removed.
  void reschedule();
  void forget_reported();
  void mark_removed();
  GroupItem* find_item(std::int32_t server_handle);
  // The value an item delivers: its sample, in the requested type when one was asked for.
  SimulationServer::Sample read(const GroupItem& item);

  std::shared_ptr<SimulationServer> server;
  SimConnection* connection;  // null once removed
  Apartment& apartment;
  std::weak_ptr<const void> apartment_alive;
  std::vector<GroupItem> items;

 private:
  std::optional<Apartment::TimerId> timer_;
};

class SimConnection : public ServerConnection, public std::enable_shared_from_this<SimConnection> {
 public:
  SimConnection(std::shared_ptr<SimulationServer> server, Apartment& apartment);
  ~SimConnection() override;

  DATE start_time() override;
  DATE current_time() override;
  DATE last_update_time() override;
  std::int16_t major_version() override;
  std::int16_t minor_version() override;
  std::int16_t build_number() override;
  std::string vendor_info() override;
  std::int32_t server_state() override;
  std::shared_ptr<OPCGroups> groups() override;
  std::shared_ptr<OPCBrowser> create_browser() override;
  void disconnect() override;
  ServerShutDownEvent& shutdown_event() override { return shutdown_; }

  // Counts and checks a call on this connection: fails once disconnected.
  void enter(const std::string& operation);
  std::shared_ptr<GroupState> add_group(const std::string& name);
  void remove_group(const std::shared_ptr<GroupState>& group);
  std::shared_ptr<GroupState> find_group(const Variant& name_or_handle, bool by_position);
  void notify_shutdown(const std::string& reason);

  std::shared_ptr<SimulationServer> server;
  Apartment& apartment;
  bool connected = true;
  bool default_active = true;
  std::int32_t default_update_rate = 1000;
  float default_deadband = 0;
  DATE last_update = 0;
  std::vector<std::shared_ptr<GroupState>> group_list;  // in order of adding

 private:
  ServerShutDownEvent shutdown_;
  int unnamed_groups_ = 0;
};

std::shared_ptr<OPCGroup> make_group_facade(std::shared_ptr<SimConnection> connection,
                                            std::shared_ptr<GroupState> group);
std::shared_ptr<OPCItems> make_items_facade(std::shared_ptr<SimConnection> connection,
                                            std::shared_ptr<GroupState> group);
std::shared_ptr<OPCItem> make_item_facade(std::shared_ptr<SimConnection> connection, std::shared_ptr<GroupState> group,
                                          std::int32_t server_handle);


}  // namespace vexa32::opcda
