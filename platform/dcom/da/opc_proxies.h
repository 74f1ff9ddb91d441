#pragma once
// The OPC DA custom interfaces as calls on a node: each proxy writes the method's [in]
// parameters, reads its [out] ones and the HRESULT, with the operation numbers of the one table.
// A failed HRESULT throws DcomError with it, naming the method and the node; where the method
// answers per item, those HRESULTs come back and only a failure of the whole call throws.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation/variant.h"
#include "platform/dcom/da/opc_types.h"
#include "platform/dcom/dcom_node.h"
#include "platform/dcom/orpc.h"

namespace vexa32::dcom::da {

// OPCSERVERSTATUS; times are FILETIME ticks.
struct ServerStatus {
  std::uint64_t start_time = 0, current_time = 0, last_update_time = 0;
  std::uint32_t state = 0, group_count = 0, band_width = 0;
  std::uint16_t major = 0, minor = 0, build = 0;
  std::string vendor;
};
ServerStatus get_status(DcomNode& node, const RemoteInterface& server);

// IOPCCommon::SetClientName; servers show it in their diagnostics.
void set_client_name(DcomNode& node, const RemoteInterface& common, const std::string& name);

struct GroupAdded {
  std::uint32_t server_handle = 0, revised_rate = 0;
  RemoteInterface item_mgt;  // the group, as IOPCItemMgt, held by the node
};
// IOPCServer::AddGroup (no time bias, the deadband in percent, locale 0x409).
GroupAdded add_group(DcomNode& node, const RemoteInterface& server, const std::string& name, bool active,
                     std::uint32_t update_rate, std::uint32_t client_handle, float deadband);
void remove_group(DcomNode& node, const RemoteInterface& server, std::uint32_t server_handle);

// IOPCGroupStateMgt::SetState with what is given; returns the revised update rate.
std::uint32_t set_group_state(DcomNode& node, const RemoteInterface& state_mgt, std::optional<std::uint32_t> rate,
                              std::optional<bool> active, std::optional<float> deadband);

struct ItemDef {
  std::string item_id, access_path;
  bool active = true;
  std::uint32_t client_handle = 0;
  std::uint16_t requested_type = 0;  // VT_EMPTY: the canonical type
};
struct ItemResult {
  std::uint32_t hresult = 0;
  std::uint32_t server_handle = 0;
  std::uint16_t canonical_type = 0;
  std::uint32_t access_rights = 0;
};
std::vector<ItemResult> add_items(DcomNode& node, const RemoteInterface& item_mgt, const std::vector<ItemDef>& items);
// What AddItems would answer, without adding anything.
std::vector<ItemResult> validate_items(DcomNode& node, const RemoteInterface& item_mgt,
                                       const std::vector<ItemDef>& items);
std::vector<std::uint32_t> remove_items(DcomNode& node, const RemoteInterface& item_mgt,
                                        const std::vector<std::uint32_t>& server_handles);
std::vector<std::uint32_t> set_active_state(DcomNode& node, const RemoteInterface& item_mgt,
                                            const std::vector<std::uint32_t>& server_handles, bool active);

// IOPCItemMgt::SetDatatypes: the types the server converts each item's value to from now on.
std::vector<std::uint32_t> set_datatypes(DcomNode& node, const RemoteInterface& item_mgt,
                                         const std::vector<std::uint32_t>& server_handles,
                                         const std::vector<std::uint16_t>& types);

inline constexpr std::uint16_t kFromCache = 1, kFromDevice = 2;  // OPCDATASOURCE
ReadAnswer sync_read(DcomNode& node, const RemoteInterface& sync_io, std::uint16_t source,
                     const std::vector<std::uint32_t>& server_handles);
std::vector<std::uint32_t> sync_write(DcomNode& node, const RemoteInterface& sync_io,
                                      const std::vector<std::uint32_t>& server_handles,
                                      const std::vector<Variant>& values);

// IOPCBrowseServerAddressSpace.
inline constexpr std::uint32_t kHierarchical = 1, kFlat = 2;  // OPCNAMESPACETYPE
enum class BrowseDirection : std::uint16_t { Up = 1, Down = 2, To = 3 };
enum class BrowseType : std::uint16_t { Branch = 1, Leaf = 2, Flat = 3 };
std::uint32_t query_organization(DcomNode& node, const RemoteInterface& browse);
void change_browse_position(DcomNode& node, const RemoteInterface& browse, BrowseDirection direction,
                            const std::string& target);
// The names the server lists at its position (every one, through the IEnumString it gives, which
// is released after), filtered by the server as asked.
std::vector<std::string> browse_item_ids(DcomNode& node, const RemoteInterface& browse, BrowseType type,
                                         const std::string& filter, std::uint16_t data_type,
                                         std::uint32_t access_rights);
// The item ID of a name at the server's position ("" for the position itself).
std::string get_item_id(DcomNode& node, const RemoteInterface& browse, const std::string& name);

// Connection points: the object's IConnectionPoint for the interface (IConnectionPointContainer::
// FindConnectionPoint, held by the node), Advise with our object's reference (the cookie), and
// Unadvise.
RemoteInterface find_connection_point(DcomNode& node, const RemoteInterface& container, const Guid& iid);
std::uint32_t advise(DcomNode& node, const RemoteInterface& point, const ObjRef& sink);
void unadvise(DcomNode& node, const RemoteInterface& point, std::uint32_t cookie);
// IOPCAsyncIO2::Refresh2: every active item of the group comes back in an OnDataChange with
// the transaction ID; the cancel ID.
std::uint32_t refresh2(DcomNode& node, const RemoteInterface& async_io, std::uint16_t source,
                       std::uint32_t transaction);
// IOPCGroupStateMgt2::SetKeepAlive (DA 3): the group calls back at least every `ms` (0: never
// when nothing changes); the time the server revised it to.
std::uint32_t set_keep_alive(DcomNode& node, const RemoteInterface& state_mgt2, std::uint32_t ms);

// IOPCBrowse (DA 3): no position on the server; each call names its branch by item ID.
enum class BrowseFilter : std::uint16_t { All = 1, Branches = 2, Items = 3 };  // OPCBROWSEFILTER
struct BrowseElement {
  std::string name, item_id;
  bool has_children = false, is_item = false;
  // The item's canonical type and access rights (properties 1 and 5), when asked for.
  std::uint16_t data_type = 0;
  std::uint32_t access_rights = 0;
};
// Every element of the branch that the filter passes, through as many calls as the server's
// continuation points take (bounded: a server that keeps answering is cut off with an error).
std::vector<BrowseElement> browse_elements(DcomNode& node, const RemoteInterface& browse, const std::string& item_id,
                                           BrowseFilter filter, bool with_type_and_rights);

}  // namespace vexa32::dcom::da
