#include "opc/server_class.h"

#include "opc/error_report.h"
#include "opc/status_p.h"

namespace vexa32 {

using detail::require;
using detail::status_of;

OPCServerClass::OPCServerClass() : OPCServerObj(opcda::create_opc_server()) {
  // The server's reason is not passed on: the wrapper tells which server, by its key.
  shutdown_cookie_ =
      OPCServerObj->ServerShutDown().connect([this](const std::string&) { ServerShuttingDown.raise(m_ServerKey); });
}

OPCServerClass::~OPCServerClass() {
  OPCServerObj->ServerShutDown().disconnect(shutdown_cookie_);
  if (m_OPCGroups) {
    try {
      if (m_OPCGroups->get_Count() != 0) m_OPCGroups->RemoveAll();
    } catch (const AutomationError&) {
      // A server that is gone or refuses: nothing more to take down there.
    }
  }
  m_GroupClasses.remove_all_last_first();
}

void OPCServerClass::GetOPCServerList(Variant& ServerList, const Variant& NodeName) {
  try {
    ServerList = OPCServerObj->GetOPCServers(NodeName);
  } catch (const AutomationError&) {
    // ServerList keeps what it held.
  }
}

Variant OPCServerClass::ConnectOPCServer(const std::string& ServerName, const std::string& ServerKey,
                                         std::int16_t ServerIndex, const Variant& NodeName) {
  m_ServerName = ServerName;
  m_ServerIndex = ServerIndex;
  m_ServerKey = ServerKey;
  return status_of([&] {
    OPCServerObj->Connect(m_ServerName, NodeName);
    m_OPCGroups = OPCServerObj->get_OPCGroups();
    SetDefaultGroupIsActive(true);
    SetDefaultGroupUpdateRate(100);
    SetDefaultGroupDeadBand(0.0f);
    return true;
  });
}

Variant OPCServerClass::DisconnectOPCServer() {
  return status_of([&] { return (OPCServerObj->Disconnect(), true); });
}

Variant OPCServerClass::GetServerName(std::string& ServerName) const {
  ServerName = m_ServerName;
  return Variant(true);
}

Variant OPCServerClass::GetStartTime(DATE& v) {
  return status_of([&] { return (v = OPCServerObj->get_StartTime(), true); });
}
Variant OPCServerClass::GetCurrentTime(DATE& v) {
  return status_of([&] { return (v = OPCServerObj->get_CurrentTime(), true); });
}
Variant OPCServerClass::GetLastUpdateTime(DATE& v) {
  return status_of([&] { return (v = OPCServerObj->get_LastUpdateTime(), true); });
}
Variant OPCServerClass::GetMajorVersion(std::int16_t& v) {
  return status_of([&] { return (v = OPCServerObj->get_MajorVersion(), true); });
}
Variant OPCServerClass::GetMinorVersion(std::int16_t& v) {
  return status_of([&] { return (v = OPCServerObj->get_MinorVersion(), true); });
}
Variant OPCServerClass::GetBuildNumber(std::int16_t& v) {
  return status_of([&] { return (v = OPCServerObj->get_BuildNumber(), true); });
}
Variant OPCServerClass::GetVendorInfo(std::string& v) {
  return status_of([&] { return (v = OPCServerObj->get_VendorInfo(), true); });
}
Variant OPCServerClass::GetServerState(std::int32_t& v) {
  return status_of([&] { return (v = OPCServerObj->get_ServerState(), true); });
}

Variant OPCServerClass::GetServerBrowseObject(std::shared_ptr<OPCBrowserClass>& OPCBrowserObject) {
  return status_of([&] {
    auto browser = OPCServerObj->CreateBrowser();
    if (!browser) {
      OPCBrowserObject.reset();
      return true;
    }
    auto wrapper = std::make_shared<OPCBrowserClass>();
    wrapper->SetBrowserObject(std::move(browser));
    OPCBrowserObject = std::move(wrapper);
    return true;
  });
}

Variant OPCServerClass::SetDefaultGroupIsActive(bool State) {
  return status_of([&] { return (require(m_OPCGroups).put_DefaultGroupIsActive(State), true); });
}
Variant OPCServerClass::SetDefaultGroupUpdateRate(std::int32_t Rate) {
  return status_of([&] { return (require(m_OPCGroups).put_DefaultGroupUpdateRate(Rate), true); });
}
Variant OPCServerClass::SetDefaultGroupDeadBand(float DeadBand) {
  return status_of([&] { return (require(m_OPCGroups).put_DefaultGroupDeadband(DeadBand), true); });
}
Variant OPCServerClass::GetDefaultGroupIsActive(bool& State) {
  return status_of([&] { return (State = require(m_OPCGroups).get_DefaultGroupIsActive(), true); });
}
Variant OPCServerClass::GetDefaultGroupUpdateRate(std::int32_t& Rate) {
  return status_of([&] { return (Rate = require(m_OPCGroups).get_DefaultGroupUpdateRate(), true); });
}
Variant OPCServerClass::GetDefaultGroupDeadBand(float& DeadBand) {
  return status_of([&] { return (DeadBand = require(m_OPCGroups).get_DefaultGroupDeadband(), true); });
}

std::string OPCServerClass::group_key(std::int16_t index) const {
  return "Group" + signed_decimal(index) + signed_decimal(m_ServerIndex);
}

std::int16_t OPCServerClass::FindFreeGroupIndex() const {
  // The index is 16-bit: with 1 to 32767 all taken there is none left, an overflow (which the
  // caller's trap turns into false) rather than a wrap to a negative index.
  const std::size_t n = m_GroupClasses.count();
  for (std::int32_t i = 1; i <= INT16_MAX; ++i) {
    if (static_cast<std::size_t>(i) > n || !m_GroupClasses.contains(group_key(static_cast<std::int16_t>(i)))) return static_cast<std::int16_t>(i);
  }
  throw overflow_error();
}

Variant OPCServerClass::AddOPCGroup(std::string& GroupName, std::int32_t UpdateRate, float DeadBand, bool ActiveState,
                                    std::string& GroupKey) {
  return status_of([&] {
    SetDefaultGroupIsActive(ActiveState);
    SetDefaultGroupUpdateRate(UpdateRate);
    SetDefaultGroupDeadBand(DeadBand);
    auto group = require(m_OPCGroups).Add(Variant(GroupName));
    // From here a failure leaves the group on the server.
    if (GroupName.empty()) GroupName = require(group).get_Name();
    const std::int16_t index = FindFreeGroupIndex();
    GroupKey = group_key(index);
    if (GroupName.empty()) GroupName = GroupKey;
    auto wrapper = std::make_shared<OPCGroupClass>();
    wrapper->SetOPCGroup(std::move(group), GroupName, GroupKey, index);
    m_GroupClasses.add(GroupKey, std::move(wrapper));
    return true;
  });
}

Variant OPCServerClass::RemoveOPCGroup(const std::string& GroupKey) {
  return status_of([&] {
    const std::string name = m_GroupClasses.item(GroupKey)->GetGroupName().bstr();
    require(m_OPCGroups).Remove(Variant(name));
    m_GroupClasses.remove(GroupKey);
    return true;
  });
}

void OPCServerClass::DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const {
  vexa32::DisplayOPC_COM_ErrorValue(OPC_Function, ErrorCode);
}

}  // namespace vexa32
