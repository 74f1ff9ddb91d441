#pragma once
// OPCGroupClass: one automation group that the server wrapper added. It sets and reads the
// group's properties and its items' defaults, adds, validates, removes and writes items, keeps
// one OPCItemClass per item it added (keyed by the signed decimal form of the item's index, which
// is also the item's client handle), and pushes data changes and write results into them.

#include <cstdint>
#include <memory>
#include <string>

#include "opc/item_class.h"
#include "opc/keyed_collection.h"
#include "platform/opcda/automation.h"

namespace vexa32 {

class OPCGroupClass {
 public:
  OPCGroupClass() = default;
  ~OPCGroupClass();
  OPCGroupClass(const OPCGroupClass&) = delete;
  OPCGroupClass& operator=(const OPCGroupClass&) = delete;

  // No trap: a failure to subscribe passes to the caller.
  void SetOPCGroup(std::shared_ptr<opcda::OPCGroup> OPCGroupObject, const std::string& GroupName,
                   const std::string& GroupKey, std::int16_t GroupIndx);
  Variant GetGroupName() const { return Variant(m_GroupName); }
  Variant GetGroupKey() const { return Variant(m_GroupKey); }
  Variant GetGroupIndex() const { return Variant(m_GroupIndex); }
  KeyedCollection<OPCItemClass>& GetOPCGroupItemsCollection() { return m_ItemClasses; }

  // The one operation that reports its failure, with the error report "Group Active State".
  Variant SetGroupActiveState(std::int16_t ActiveState);
  Variant GetGroupActiveState(bool& ActiveState);
  Variant SetGroupDeadBand(float DeadBand);
  Variant GetGroupDeadBand(float& DeadBand);
  Variant SetGroupUpdateRate(std::int32_t UpdateRate);
  Variant GetGroupUpdateRate(std::int32_t& UpdateRate);
  Variant SetOPCItemsDefaultDataType(std::int16_t DataType);
  Variant GetOPCItemsDefaultDataType(std::int16_t& DataType);
  Variant SetOPCItemsDefaultActive(std::int16_t ActiveState);
  Variant GetOPCItemsDefaultActive(bool& ActiveState);
  Variant AddOPCItem(const std::string& OPCItemID, std::int16_t DataType, std::int16_t ActiveState,
                     std::string& ItemKey);
  Variant RemoveOPCItem(const std::string& ItemKey, std::int32_t& Error);
  Variant ValidateOPCItem(const std::string& OPCItemID, std::int16_t DataType, std::int16_t ActiveState,
                          std::int32_t& Error);
  Variant AsyncWriteOPCItem(const OPCItemClass* ObjectToWrite, const Variant& ValueToWrite);
  void DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const;

  // Handlers of the group's events.
  void OPCGroupObj_DataChange(std::int32_t TransactionID, std::int32_t NumItems, const Variant& ClientHandles,
                              const Variant& ItemValues, const Variant& Qualities, const Variant& TimeStamps);
  void OPCGroupObj_AsyncWriteComplete(std::int32_t TransactionID, std::int32_t NumItems, const Variant& ClientHandles,
                                      const Variant& Errors);

 private:
  std::int16_t FindFreeItemIndex() const;
  void unhook();

  std::string m_GroupName;
  std::string m_GroupKey;
  KeyedCollection<OPCItemClass> m_ItemClasses;
  std::int16_t m_GroupIndex = 0;
  std::shared_ptr<opcda::OPCGroup> OPCGroupObj;
  Cookie data_change_cookie_ = 0, write_complete_cookie_ = 0;
};

}  // namespace vexa32
