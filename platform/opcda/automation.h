#pragma once
// The OPC Data Access automation object model as a client sees it: server, groups collection,
// group, items collection, item and browser, with their events. Arrays are one-based variants,
// one entry per item; "Nothing" is a null pointer; every failing member throws AutomationError
// carrying the server's HRESULT.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/automation/event.h"
#include "platform/automation/variant.h"

namespace vexa32::opcda {

// Quality codes (low byte: 2 bits quality, 4 bits substatus, 2 bits limit).
inline constexpr std::int32_t OPC_QUALITY_MASK = 0xC0;
inline constexpr std::int32_t OPC_QUALITY_BAD = 0x00;
inline constexpr std::int32_t OPC_QUALITY_UNCERTAIN = 0x40;
inline constexpr std::int32_t OPC_QUALITY_GOOD = 0xC0;
inline constexpr std::int32_t OPC_QUALITY_CONFIG_ERROR = 0x04;
inline constexpr std::int32_t OPC_QUALITY_NOT_CONNECTED = 0x08;
inline constexpr std::int32_t OPC_QUALITY_COMM_FAILURE = 0x18;
inline constexpr std::int32_t OPC_QUALITY_OUT_OF_SERVICE = 0x1C;

inline constexpr std::int32_t OPC_READABLE = 1;
inline constexpr std::int32_t OPC_WRITEABLE = 2;

inline constexpr std::int32_t OPCHierarchical = 1;
inline constexpr std::int32_t OPCFlat = 2;

inline constexpr std::int32_t OPCRunning = 1;
inline constexpr std::int32_t OPCFailed = 2;
inline constexpr std::int32_t OPCNoconfig = 3;
inline constexpr std::int32_t OPCSuspended = 4;
inline constexpr std::int32_t OPCTest = 5;

inline constexpr std::int32_t OPCCache = 1;
inline constexpr std::int32_t OPCDevice = 2;

class OPCBrowser {
 public:
  virtual ~OPCBrowser() = default;
  virtual std::int32_t get_Organization() = 0;
  virtual std::string get_Filter() = 0;
  virtual void put_Filter(const std::string& filter) = 0;
  virtual std::int16_t get_DataType() = 0;
  virtual void put_DataType(std::int16_t data_type) = 0;
  virtual std::int32_t get_AccessRights() = 0;
  virtual void put_AccessRights(std::int32_t access_rights) = 0;
  virtual std::string get_CurrentPosition() = 0;
  virtual std::int32_t get_Count() = 0;
  // 1-based entry of the name list that the last ShowBranches or ShowLeafs filled.
  virtual std::string Item(const Variant& index) = 0;
  virtual void ShowBranches() = 0;
  // Flat omitted or false: the leaves of the current branch; true: every leaf below it, by item ID.
  virtual void ShowLeafs(const Variant& flat = Variant::missing()) = 0;
  virtual void MoveUp() = 0;
  virtual void MoveToRoot() = 0;
  virtual void MoveDown(const std::string& branch) = 0;
  virtual std::string GetItemID(const std::string& leaf) = 0;
};

class OPCItem {
 public:
  virtual ~OPCItem() = default;
  virtual std::int32_t get_ClientHandle() = 0;
  virtual void put_ClientHandle(std::int32_t handle) = 0;
  virtual std::int32_t get_ServerHandle() = 0;
  virtual std::string get_ItemID() = 0;
  virtual std::string get_AccessPath() = 0;
  virtual std::int32_t get_AccessRights() = 0;
  virtual bool get_IsActive() = 0;
  virtual void put_IsActive(bool active) = 0;
  virtual std::int16_t get_RequestedDataType() = 0;
  virtual void put_RequestedDataType(std::int16_t data_type) = 0;
  virtual std::int16_t get_CanonicalDataType() = 0;
  virtual Variant get_Value() = 0;
  virtual std::int32_t get_Quality() = 0;
  virtual DATE get_TimeStamp() = 0;
};

class OPCItems {
 public:
  virtual ~OPCItems() = default;
  virtual std::int16_t get_DefaultRequestedDataType() = 0;
  virtual void put_DefaultRequestedDataType(std::int16_t data_type) = 0;
  virtual std::string get_DefaultAccessPath() = 0;
  virtual void put_DefaultAccessPath(const std::string& path) = 0;
  virtual bool get_DefaultIsActive() = 0;
  virtual void put_DefaultIsActive(bool active) = 0;
  virtual std::int32_t get_Count() = 0;
  // 1-based position in the collection.
  virtual std::shared_ptr<OPCItem> Item(const Variant& index) = 0;
  virtual std::shared_ptr<OPCItem> GetOPCItem(std::int32_t server_handle) = 0;
  // Nothing (nullptr) when the server rejects the item ID.
  virtual std::shared_ptr<OPCItem> AddItem(const std::string& item_id, std::int32_t client_handle) = 0;
  virtual void AddItems(std::int32_t count, const Variant& item_ids, const Variant& client_handles,
                        Variant& server_handles, Variant& errors,
                        const Variant& requested_data_types = Variant::missing(),
                        const Variant& access_paths = Variant::missing()) = 0;
  virtual void Remove(std::int32_t count, const Variant& server_handles, Variant& errors) = 0;
  virtual void Validate(std::int32_t count, const Variant& item_ids, Variant& errors,
                        const Variant& requested_data_types = Variant::missing(),
                        const Variant& access_paths = Variant::missing()) = 0;
};

// DataChange(TransactionID, NumItems, ClientHandles, ItemValues, Qualities, TimeStamps)
using DataChangeEvent =
    Event<std::int32_t, std::int32_t, const Variant&, const Variant&, const Variant&, const Variant&>;
// AsyncWriteComplete(TransactionID, NumItems, ClientHandles, Errors)
using AsyncWriteCompleteEvent = Event<std::int32_t, std::int32_t, const Variant&, const Variant&>;
// ServerShutDown(Reason)
using ServerShutDownEvent = Event<const std::string&>;

class OPCGroup {
 public:
  virtual ~OPCGroup() = default;
  virtual std::string get_Name() = 0;
  virtual void put_Name(const std::string& name) = 0;
  virtual bool get_IsPublic() = 0;
  virtual bool get_IsActive() = 0;
  virtual void put_IsActive(bool active) = 0;
  virtual bool get_IsSubscribed() = 0;
  virtual void put_IsSubscribed(bool subscribed) = 0;
  virtual std::int32_t get_ClientHandle() = 0;
  virtual void put_ClientHandle(std::int32_t handle) = 0;
  virtual std::int32_t get_ServerHandle() = 0;
  virtual std::int32_t get_UpdateRate() = 0;
  virtual void put_UpdateRate(std::int32_t milliseconds) = 0;
  virtual float get_DeadBand() = 0;
  virtual void put_DeadBand(float percent) = 0;
  virtual std::shared_ptr<OPCItems> get_OPCItems() = 0;
  virtual void SyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors) = 0;
  virtual void AsyncWrite(std::int32_t count, const Variant& server_handles, const Variant& values, Variant& errors,
                          std::int32_t transaction_id, std::int32_t& cancel_id) = 0;
  virtual DataChangeEvent& DataChange() = 0;
  virtual AsyncWriteCompleteEvent& AsyncWriteComplete() = 0;
};

class OPCGroups {
 public:
  virtual ~OPCGroups() = default;
  virtual bool get_DefaultGroupIsActive() = 0;
  virtual void put_DefaultGroupIsActive(bool active) = 0;
  virtual std::int32_t get_DefaultGroupUpdateRate() = 0;
  virtual void put_DefaultGroupUpdateRate(std::int32_t milliseconds) = 0;
  virtual float get_DefaultGroupDeadband() = 0;
  virtual void put_DefaultGroupDeadband(float percent) = 0;
  virtual std::int32_t get_Count() = 0;
  // By 1-based position or by name.
  virtual std::shared_ptr<OPCGroup> Item(const Variant& index_or_name) = 0;
  // By name or by server handle.
  virtual std::shared_ptr<OPCGroup> GetOPCGroup(const Variant& name_or_handle) = 0;
  // An empty or omitted name lets the server choose one; a name in use fails (OPC_E_DUPLICATENAME).
  virtual std::shared_ptr<OPCGroup> Add(const Variant& name = Variant::missing()) = 0;
  // By name or by server handle.
  virtual void Remove(const Variant& name_or_handle) = 0;
  virtual void RemoveAll() = 0;
};

class OPCServer {
 public:
  virtual ~OPCServer() = default;
  virtual DATE get_StartTime() = 0;
  virtual DATE get_CurrentTime() = 0;
  virtual DATE get_LastUpdateTime() = 0;
  virtual std::int16_t get_MajorVersion() = 0;
  virtual std::int16_t get_MinorVersion() = 0;
  virtual std::int16_t get_BuildNumber() = 0;
  virtual std::string get_VendorInfo() = 0;
  virtual std::int32_t get_ServerState() = 0;
  virtual std::string get_ServerName() = 0;
  virtual std::string get_ServerNode() = 0;
  virtual std::shared_ptr<OPCGroups> get_OPCGroups() = 0;
  // The ProgIDs registered on the node, as a one-based array of text.
  virtual Variant GetOPCServers(const Variant& node = Variant::missing()) = 0;
  virtual void Connect(const std::string& prog_id, const Variant& node = Variant::missing()) = 0;
  virtual void Disconnect() = 0;
  // Nothing (nullptr) when the server cannot browse.
  virtual std::shared_ptr<OPCBrowser> CreateBrowser() = 0;
  virtual ServerShutDownEvent& ServerShutDown() = 0;
  // Not of the automation model: how data changes reach this client ("callbacks" or "polling",
  // empty when not connected) and why it polls where it could have been called back.
  virtual std::string data_mode() { return {}; }
  virtual std::string data_mode_note() { return {}; }
};

// "New OPCServer": an unconnected server object.
std::shared_ptr<OPCServer> create_opc_server();

}  // namespace vexa32::opcda
