#pragma once
// OPCServerClass: one automation server object. Lists the servers of a node, connects and
// disconnects, reads the server's status, sets the defaults for new groups, creates and removes
// groups (each an OPCGroupClass under a key "Group <index> <server index>") and hands out
// browsers. Failures are trapped and give false, or leave out-arguments as they were.

#include <cstdint>
#include <memory>
#include <string>

#include "opc/browser_class.h"
#include "opc/group_class.h"
#include "opc/keyed_collection.h"
#include "platform/automation/event.h"
#include "platform/opcda/automation.h"

namespace vexa32 {

class OPCServerClass {
 public:
  // Creates its automation server object, unconnected.
  OPCServerClass();
  // Removes the server's groups (RemoveAll, only when there are any) and drops the group
  // wrappers last first; it does not call Disconnect.
  ~OPCServerClass();
  OPCServerClass(const OPCServerClass&) = delete;
  OPCServerClass& operator=(const OPCServerClass&) = delete;

  void GetOPCServerList(Variant& ServerList, const Variant& NodeName);
  Variant ConnectOPCServer(const std::string& ServerName, const std::string& ServerKey, std::int16_t ServerIndex,
                           const Variant& NodeName);
  Variant DisconnectOPCServer();
  Variant GetOPCServerKey() const { return Variant(m_ServerKey); }
  Variant GetOPCServerIndex() const { return Variant(m_ServerIndex); }
  Variant GetServerName(std::string& ServerName) const;
  KeyedCollection<OPCGroupClass>& GetOPCServerGroupCollection() { return m_GroupClasses; }

  Variant GetStartTime(DATE& StartTime);
  Variant GetCurrentTime(DATE& CurrentTime);
  Variant GetLastUpdateTime(DATE& LastUpdateTime);
  Variant GetMajorVersion(std::int16_t& MajorVersion);
  Variant GetMinorVersion(std::int16_t& MinorVersion);
  Variant GetBuildNumber(std::int16_t& BuildNumber);
  Variant GetVendorInfo(std::string& VendorInfo);
  Variant GetServerState(std::int32_t& ServerState);
  // True both when a browser came (a new OPCBrowserClass) and when the server cannot browse
  // (nothing); the caller tells them apart by testing for nothing.
  Variant GetServerBrowseObject(std::shared_ptr<OPCBrowserClass>& OPCBrowserObject);

  Variant SetDefaultGroupIsActive(bool State);
  Variant SetDefaultGroupUpdateRate(std::int32_t Rate);
  Variant SetDefaultGroupDeadBand(float DeadBand);
  Variant GetDefaultGroupIsActive(bool& State);
  Variant GetDefaultGroupUpdateRate(std::int32_t& Rate);
  Variant GetDefaultGroupDeadBand(float& DeadBand);

  Variant AddOPCGroup(std::string& GroupName, std::int32_t UpdateRate, float DeadBand, bool ActiveState,
                      std::string& GroupKey);
  Variant RemoveOPCGroup(const std::string& GroupKey);
  void DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const;

  // Raised with the key given at connect when the server announces its shutdown.
  Event<const std::string&> ServerShuttingDown;

 private:
  std::int16_t FindFreeGroupIndex() const;
  std::string group_key(std::int16_t index) const;

  std::shared_ptr<opcda::OPCServer> OPCServerObj;
  std::string m_ServerName;
  std::string m_ServerKey;
  std::shared_ptr<opcda::OPCGroups> m_OPCGroups;
  KeyedCollection<OPCGroupClass> m_GroupClasses;
  std::int16_t m_ServerIndex = 0;
  Cookie shutdown_cookie_ = 0;
};

}  // namespace vexa32
