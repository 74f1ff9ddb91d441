#include "platform/dcom/da/opc_ids.h"

#include <mutex>

#include "platform/dcom/ids.h"

namespace vexa32::dcom::da {
namespace {

constexpr std::uint16_t kAfterIUnknown = 3;

InterfaceInfo com(std::string_view name, const char* iid, std::vector<std::string_view> methods) {
  return {name, guid(iid), 0, 0, kAfterIUnknown, std::move(methods)};
}

std::vector<InterfaceInfo> opc_interfaces() {
  const std::vector<std::string_view> enumerator{"Next", "Skip", "Reset", "Clone"};
  const std::vector<std::string_view> server_list{"EnumClassesOfCategories", "GetClassDetails", "CLSIDFromProgID"};
  const std::vector<std::string_view> group_state{"GetState", "SetState", "SetName", "CloneGroup"};
  std::vector<std::string_view> group_state2 = group_state;
  group_state2.insert(group_state2.end(), {"SetKeepAlive", "GetKeepAlive"});
  return {
      com("IOPCServer", "39C13A4D-011E-11D0-9675-0020AFD8ADB3",
          {"AddGroup", "GetErrorString", "GetGroupByName", "GetStatus", "RemoveGroup", "CreateGroupEnumerator"}),
      com("IOPCCommon", "F31DFDE2-07B6-11D2-B2D8-0060083BA1FB",
          {"SetLocaleID", "GetLocaleID", "QueryAvailableLocaleIDs", "GetErrorString", "SetClientName"}),
      com("IOPCItemMgt", "39C13A54-011E-11D0-9675-0020AFD8ADB3",
          {"AddItems", "ValidateItems", "RemoveItems", "SetActiveState", "SetClientHandles", "SetDatatypes",
           "CreateEnumerator"}),
      com("IOPCGroupStateMgt", "39C13A50-011E-11D0-9675-0020AFD8ADB3", group_state),
      com("IOPCGroupStateMgt2", "8E368666-D72E-4F78-87ED-647611C61C9F", group_state2),
      com("IOPCSyncIO", "39C13A52-011E-11D0-9675-0020AFD8ADB3", {"Read", "Write"}),
      com("IOPCAsyncIO2", "39C13A71-011E-11D0-9675-0020AFD8ADB3",
          {"Read", "Write", "Refresh2", "Cancel2", "SetEnable", "GetEnable"}),
      com("IOPCBrowseServerAddressSpace", "39C13A4F-011E-11D0-9675-0020AFD8ADB3",
          {"QueryOrganization", "ChangeBrowsePosition", "BrowseOPCItemIDs", "GetItemID", "BrowseAccessPaths"}),
      com("IOPCItemProperties", "39C13A72-011E-11D0-9675-0020AFD8ADB3",
          {"QueryAvailableProperties", "GetItemProperties", "LookupItemIDs"}),
      com("IOPCBrowse", "39227004-A18F-4B57-8B0A-5235670F4468", {"GetProperties", "Browse"}),
      com("IOPCServerList", "13486D50-4821-11D2-A494-3CB306C10000", server_list),
      com("IOPCServerList2", "9DD0B56C-AD9E-43EE-8305-487F3188BF7A", server_list),
      com("IOPCEnumGUID", "55C382C8-21C7-4E88-96C1-BECFB1E3F483", enumerator),
      com("IEnumGUID", "0002E000-0000-0000-C000-000000000046", enumerator),
      com("IEnumString", "00000101-0000-0000-C000-000000000046", enumerator),
      com("IConnectionPointContainer", "B196B284-BAB4-101A-B69C-00AA00341D07",
          {"EnumConnectionPoints", "FindConnectionPoint"}),
      com("IConnectionPoint", "B196B286-BAB4-101A-B69C-00AA00341D07",
          {"GetConnectionInterface", "GetConnectionPointContainer", "Advise", "Unadvise", "EnumConnections"}),
      com("IOPCDataCallback", "39C13A70-011E-11D0-9675-0020AFD8ADB3",
          {"OnDataChange", "OnReadComplete", "OnWriteComplete", "OnCancelComplete"}),
      com("IOPCShutdown", "F31DFDE1-07B6-11D2-B2D8-0060083BA1FB", {"ShutdownRequest"}),
  };
}

}  // namespace

void install_opc_interfaces() {
  static std::once_flag once;
  std::call_once(once, [] { add_interfaces(opc_interfaces()); });
}

namespace clsid {
Guid opc_enum() { return guid("13486D51-4821-11D2-A494-3CB306C10000"); }
}  // namespace clsid

namespace catid {
Guid da10() { return guid("63D5F430-CFE4-11D1-B2C8-0060083BA1FB"); }
Guid da20() { return guid("63D5F432-CFE4-11D1-B2C8-0060083BA1FB"); }
Guid da30() { return guid("CC603642-66D7-48F1-B69A-B625E73652D7"); }
}  // namespace catid

}  // namespace vexa32::dcom::da
