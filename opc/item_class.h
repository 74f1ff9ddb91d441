#pragma once
// OPCItemClass: one automation item that a group wrapper added, with its own copy of the item's
// last value, quality and time stamp. Getters with a Mode read the live item for Mode 1 and the
// stored copy otherwise; a failing read of the live item gives an empty variant.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/automation/variant.h"
#include "platform/opcda/automation.h"

namespace vexa32 {

class OPCItemClass {
 public:
  void SetOPCItem(std::shared_ptr<opcda::OPCItem> OPCItemObject, const std::string& OPCItem_IDval,
                  std::int32_t OPCItemIndex, std::int16_t ItmDataType);
  void UpdateOPCItemData(const Variant& ItmVal, std::int32_t ItmQuality, DATE ItmTime);

  Variant GetItemID() const { return Variant(m_ItemID); }
  Variant GetItemIndex() const { return Variant(m_ItemIndex); }
  Variant GetItemValue(std::int16_t Mode) const;
  Variant GetItemQuality(std::int16_t Mode) const;
  Variant SetItemQuality(std::int32_t Quality);
  Variant GetItemTimeStamp(std::int16_t Mode) const;
  Variant GetItemDataType(std::int16_t Mode) const;
  Variant GetItemCanonicalType() const;
  Variant GetItemServerHandle() const;
  Variant GetItemActiveState() const;
  // An empty variant on success and on failure alike.
  Variant SetItemActiveState(bool ActiveState);
  void DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const;

 private:
  std::shared_ptr<opcda::OPCItem> m_OPCItem;
  std::string m_ItemID;
  Variant m_ItemValue;
  std::int32_t m_ItemQuality = 0;
  DATE m_ItemTimeStamp = 0;
  std::int16_t m_ItemDataType = 0;
  std::int32_t m_ItemIndex = 0;
};

}  // namespace vexa32
