#pragma once
// The embedded simulation servers: in-process OPC DA servers registered on the local node so that
// everything runs with no installed server. They honour update rates with timers on the apartment,
// report only changed items after the first full callback, accept writes, validate item IDs,
// browse with filters and report their status. Tests reach a server's back door to inject faults
// and push data changes by hand.

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/apartment/clock.h"
#include "platform/opcda/address_space.h"
#include "platform/opcda/registry.h"

namespace vexa32::opcda {

struct SimulationOptions {
  std::int32_t organization = OPCHierarchical;
  bool can_browse = true;
  std::string vendor_info = "VEXA32 embedded simulation server";
};

// One entry of a hand-made DataChange callback.
struct DataChangeEntry {
  std::int32_t client_handle = 0;
  Variant value;
  std::int32_t quality = OPC_QUALITY_GOOD;
  DATE timestamp = 0;
};

// The fastest update rate the simulation serves; slower requests are kept, faster ones revised.
inline constexpr std::int32_t kMinimumUpdateRate = 10;

class SimConnection;
class GroupState;

class SimulationServer : public ServerModule, public std::enable_shared_from_this<SimulationServer> {
 public:
  // Without an address space, the standard one.
  static std::shared_ptr<SimulationServer> create(SimulationOptions options = {},
                                                  std::unique_ptr<AddressSpace> space = nullptr);
  ~SimulationServer() override;

  std::shared_ptr<ServerConnection> connect() override;

  const SimulationOptions& options() const noexcept { return options_; }
  const AddressSpace& address_space() const noexcept { return *space_; }

  // ---- back door ----
  // Posts a DataChange carrying exactly these entries (client handles are not checked) to every
  // group of that name, or to every group when the name is empty.
  void push_data_change(const std::vector<DataChangeEntry>& entries, const std::string& group_name = {});
  // The same, raised at once with prepared one-based arrays (for benchmarks that measure the
  // client's handling alone); returns how many groups received it.
  int raise_data_change(const std::string& group_name, std::int32_t count, const Variant& client_handles,
                        const Variant& values, const Variant& qualities, const Variant& time_stamps);
  // Forces an item's value or quality (time stamped now); a computed item keeps the forced value.
  void set_value(const std::string& item_id, const Variant& value);
  void set_quality(const std::string& item_id, std::int32_t quality);
  // The next call of the named operation throws hresult. Operation names are "Class.Member":
  // "OPCServer.Connect", "OPCGroups.Add", "OPCGroups.Remove", "OPCGroup.put_IsActive",
  // "OPCItems.AddItems", "OPCItems.Remove", "OPCGroup.SyncWrite", "OPCBrowser.ShowLeafs", ...
  void fail_next(const std::string& operation, HRESULT hresult);
  // The next call of a per-item operation (OPCItems.AddItems, OPCItems.AddItem, OPCItems.Remove,
  // OPCItems.Validate, OPCGroup.SyncWrite, OPCGroup.AsyncWrite) answers hresult for every item.
  void refuse_next(const std::string& operation, HRESULT hresult);
  // Raises ServerShutDown(reason) on every connection (posted); from then on every call fails.
  void shut_down(const std::string& reason);
  bool is_shut_down() const noexcept { return shut_down_; }
  int call_count(const std::string& operation) const;
  // The item count passed to the last call of a per-item operation, -1 before any.
  int last_item_count(const std::string& operation) const;
  void note_item_count(const std::string& operation, std::int32_t count) { item_counts_[operation] = count; }
  // The last value of an argument as the server received it (ShowLeafs' flat flag; AddItems'
  // "OPCItems.AddItems.ItemIDs" and ".ClientHandles"): an omitted one stays Variant::missing().
  Variant last_argument(const std::string& operation) const;
  void note_argument(const std::string& operation, const Variant& value) { arguments_[operation] = value; }
  void reset_call_counts() {
    calls_.clear();
    call_log_.clear();
  }

  // Every operation called, oldest first (the most recent kCallLogLength).
  static constexpr std::size_t kCallLogLength = 4096;
  const std::deque<std::string>& call_log() const noexcept { return call_log_; }
  // What the server holds of each group, in order of adding.
  struct GroupSnapshot {
    std::string name;
    bool active = false, subscribed = false;
    std::int32_t update_rate = 0;
    float deadband = 0;
    bool items_default_active = false;
    std::size_t item_count = 0;
  };
  std::vector<GroupSnapshot> groups() const;

  // Clients connected now (a disconnected server object no longer counts).
  std::size_t connection_count() const noexcept { return connections_.size(); }
  std::size_t group_count() const;
  std::size_t item_count() const;
  std::vector<std::string> group_names() const;

  // ---- used by the server's own objects ----
  // Counts the call, then fails it when the server is shut down or a failure was injected.
  void enter(const std::string& operation);
  // The per-item answer injected for this call, 0 when none.
  HRESULT take_refusal(const std::string& operation);
  struct Sample {
    Variant value;
    std::int32_t quality;
    DATE timestamp;
  };
  Sample sample(const ItemDef& item);
  // Stores a written value; the error an item gives instead (rights, type, range), 0 on success.
  HRESULT write(const ItemDef& item, const Variant& value);
  std::int32_t next_handle() { return next_handle_++; }
  DATE wall_now() const;
  DATE start_time() const noexcept { return start_wall_; }
  void attach(SimConnection* connection);
  void detach(SimConnection* connection);

 private:
  SimulationServer(SimulationOptions options, std::unique_ptr<AddressSpace> space);
  double seconds_since_start() const;
  std::vector<std::shared_ptr<GroupState>> groups_named(const std::string& group_name) const;
  void use_clock_of_current_apartment();

  struct Runtime {
    Variant value;
    std::int32_t quality = OPC_QUALITY_GOOD;
    DATE timestamp = 0;
    bool forced = false;  // written or set by hand: no longer computed
    bool sampled = false;
  };

  SimulationOptions options_;
  std::unique_ptr<AddressSpace> space_;
  std::vector<Runtime> runtime_;  // by ItemDef::index
  std::shared_ptr<Clock> clock_;
  Clock::time_point start_{};
  DATE start_wall_ = 0;
  std::int32_t next_handle_ = 1;
  bool shut_down_ = false;
  std::set<SimConnection*> connections_;
  std::map<std::string, int> calls_;
  std::deque<std::string> call_log_;
  std::map<std::string, int> item_counts_;
  std::map<std::string, Variant> arguments_;
  std::map<std::string, HRESULT> failures_;
  std::map<std::string, HRESULT> refusals_;
};

// Registers the embedded servers: "Vexa.Simulation.1" (also answering "KEPware.KEPServerEx.V4",
// the ProgID the example form stores), "Vexa.Simulation.Flat.1" and "Vexa.Simulation.NoBrowse.1".
void register_simulation_servers(ServerRegistry& registry);

inline constexpr const char* kSimulationProgId = "Vexa.Simulation.1";
inline constexpr const char* kExampleProgId = "KEPware.KEPServerEx.V4";
inline constexpr const char* kFlatSimulationProgId = "Vexa.Simulation.Flat.1";
inline constexpr const char* kNoBrowseSimulationProgId = "Vexa.Simulation.NoBrowse.1";

// A fresh simulation server registered under a ProgID for a scope (a test's own server).
class ScopedSimulation {
 public:
  explicit ScopedSimulation(std::string prog_id = kSimulationProgId, SimulationOptions options = {});
  SimulationServer& server() noexcept { return *server_; }
  SimulationServer* operator->() noexcept { return server_.get(); }
  const std::shared_ptr<SimulationServer>& shared() const noexcept { return server_; }

 private:
  std::shared_ptr<SimulationServer> server_;
  ScopedRegistration registration_;
};

}  // namespace vexa32::opcda
