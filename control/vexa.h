#pragma once
// The vexa control: 60 item slots with their tag names, values, qualities and time stamps; the
// connection to one OPC server with one group "Group1"; persistence of the settings; CSV import
// of tag names. Hosts, pages and scripts reach it through its automation interface (by name or
// DISPID); C++ hosts may also call the members directly.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/automation/event.h"
#include "platform/automation/typeinfo.h"
#include "platform/container/property_bag.h"
#include "platform/container/site.h"
#include "platform/opcda/automation.h"

namespace vexa32 {

class vexa : public Dispatch {
 public:
  static constexpr int kSlots = 60;
  // The group the control subscribes, and the ProgID-like name of its class in form files.
  static constexpr const char* kGroupName = "Group1";
  static constexpr const char* kClassName = "VEXA32.vexa";
  // The pages the control names, in order.
  static constexpr std::array<const char*, 3> kPropertyPages = {"OPC_Server", "OPC_Tag", "Load_CSV"};

  vexa();
  // A connected control disconnects first.
  ~vexa() override;
  vexa(const vexa&) = delete;
  vexa& operator=(const vexa&) = delete;

  // ---- container
  void SetClientSite(ControlSite* site) noexcept { site_ = site; }
  const TypeInfo& type_info() const override;
  static const TypeInfo& default_interface();
  // The source interface __vexa: the one event datChange.
  static const TypeInfo& source_interface();
  EventSource& events() noexcept { return events_; }

  // ---- automation interface, in interface order
  VARIANT_BOOL get_IsConnect() const noexcept { return IsConnect; }
  void put_IsConnect(VARIANT_BOOL value) noexcept { IsConnect = value; }
  VARIANT_BOOL cnnec();
  VARIANT_BOOL discnn();
  std::string get_svrname() const { return svrname_; }
  void put_svrname(const std::string& value);
  std::string get_nodname() const;
  void put_nodname(const std::string& value);
  // itmN and vlN: one rule each for the 60 slots; a slot outside 0..59 fails with error 9.
  std::string get_itm(int slot) const;
  void put_itm(int slot, const std::string& value);
  Variant get_vl(int slot) const;
  VARIANT_BOOL opcWrt(std::int16_t itm_no, const Variant& vl);
  Variant GetVl(std::int16_t index) const;
  std::string GetItmName(std::int16_t index) const;
  void SetItmName(std::int16_t index, const std::string& name);
  Variant GetQuality(std::int16_t index) const;
  DATE GetTimeStamp(std::int16_t index) const;
  Variant get_UpdateRate() const { return Variant(update_rate_); }
  void put_UpdateRate(const Variant& value);
  std::string ReadTextFileContents(const std::string& filename) const;
  VARIANT_BOOL FileExists(const std::string& path) const;
  void loadCSV(std::int16_t startRow, std::int16_t columnIndex, std::int16_t rowCount, const std::string& delimitWord,
               const std::string& sourceFile);
  std::string get_srcFile() const { return src_file_; }
  void put_srcFile(const std::string& value);
  std::string get_delimit() const { return delimit_; }
  void put_delimit(const std::string& value);
  std::int16_t get_rowCount() const noexcept { return row_count_; }
  void put_rowCount(std::int16_t value);
  std::int16_t get_columnIndex() const noexcept { return column_index_; }
  void put_columnIndex(std::int16_t value);
  std::int16_t get_startRow() const noexcept { return start_row_; }
  void put_startRow(std::int16_t value);

  // ---- persistence
  void InitProperties();
  void ReadProperties(PropertyBag& bag);
  void WriteProperties(PropertyBag& bag) const;

  // ---- the control's surface
  void Command1_Click();     // "connect"
  void Command2_Click();     // "Disconn"
  void Image1_Click();       // the credit box
  void UserControl_Click();  // asks the container for the about box

  // The node as held: a VT_BSTR after a put, any type after a load.
  const Variant& nodname_variant() const noexcept { return nodname_; }
  // What the last connect sequence swallowed (empty when it connected): a C++ host that reports
  // the failure needs no second attempt. Not part of the automation interface.
  const std::string& last_connect_failure() const noexcept { return last_connect_failure_; }
  // How data changes reach the control: "callbacks" (pushed by the server) or "polling" (read at
  // the update rate, where the server cannot call back); empty when not connected. Not part of
  // the automation interface.
  std::string data_mode() const { return ConnectedOPCServer ? ConnectedOPCServer->data_mode() : std::string(); }
  std::string data_mode_note() const {
    return ConnectedOPCServer ? ConnectedOPCServer->data_mode_note() : std::string();
  }

  // Public data member, as hosts know it: they may read and write the flag; a write changes the
  // flag and nothing else.
  VARIANT_BOOL IsConnect = VARIANT_FALSE;

 private:
  void property_changed(const char* name);
  void run_connect_sequence();
  // swallow_group_failure: the button and destruction have no caller to give the failure to.
  void run_disconnect_sequence(bool swallow_group_failure);
  void set_group(std::shared_ptr<opcda::OPCGroup> group);
  void ConnectedGroup_DataChange(std::int32_t transaction_id, std::int32_t num_items, const Variant& client_handles,
                                 const Variant& item_values, const Variant& qualities, const Variant& time_stamps);

  ControlSite* site_ = nullptr;
  EventSource events_;

  // Configuration (persisted). Before any load: empty text, 0 and an empty node.
  std::string svrname_;
  Variant nodname_;
  std::int16_t update_rate_ = 0;
  std::array<std::string, kSlots> itm_;
  std::int16_t start_row_ = 0, column_index_ = 0, row_count_ = 0;
  std::string delimit_, src_file_;

  // The value tables: written only by the data-change handler, never cleared.
  std::array<Variant, kSlots> itemValues;
  // The quality code the server gave, kNoQuality until one came; GetQuality shows it as "Good"
  // or as the bad code itself.
  static constexpr std::int64_t kNoQuality = INT64_MIN;
  std::array<std::int64_t, kSlots> itemQualities;
  std::array<DATE, kSlots> itemTimeStamps{};

  // The connection of the moment.
  std::shared_ptr<opcda::OPCServer> ConnectedOPCServer;
  std::shared_ptr<opcda::OPCGroups> ConnectedGroups;
  std::shared_ptr<opcda::OPCGroup> ConnectedGroup;
  std::shared_ptr<opcda::OPCItems> ConnectedItems;
  Cookie data_change_cookie_ = 0;
  bool group_added_ = false;  // ConnectedGroup is a member of ConnectedGroups
  std::string last_connect_failure_;
  Variant itemServerHandles;  // one-based VT_ARRAY|VT_I4 from the add, entry k for slot k-1
  Variant itemErrors;
};

}  // namespace vexa32
