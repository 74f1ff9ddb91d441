#include "opc/item_class.h"

#include "opc/error_report.h"

namespace vexa32 {
namespace {

// A read of the live item: its value, or an empty variant when the item is missing or refuses.
template <class Read>
Variant read_live(const std::shared_ptr<opcda::OPCItem>& item, Read read) {
  try {
    if (!item) throw object_not_set_error();
    return read(*item);
  } catch (const AutomationError&) {
    return Variant();
  }
}

}  // namespace

void OPCItemClass::SetOPCItem(std::shared_ptr<opcda::OPCItem> OPCItemObject, const std::string& OPCItem_IDval,
                              std::int32_t OPCItemIndex, std::int16_t ItmDataType) {
  m_OPCItem = std::move(OPCItemObject);
  m_ItemID = OPCItem_IDval;
  m_ItemIndex = OPCItemIndex;
  m_ItemDataType = ItmDataType;
}

void OPCItemClass::UpdateOPCItemData(const Variant& ItmVal, std::int32_t ItmQuality, DATE ItmTime) {
  m_ItemValue = ItmVal;
  m_ItemQuality = ItmQuality;
  m_ItemTimeStamp = ItmTime;
}

Variant OPCItemClass::GetItemValue(std::int16_t Mode) const {
  if (Mode != 1) return m_ItemValue;
  return read_live(m_OPCItem, [](opcda::OPCItem& i) { return i.get_Value(); });
}

Variant OPCItemClass::GetItemQuality(std::int16_t Mode) const {
  if (Mode != 1) return Variant(m_ItemQuality);
  return read_live(m_OPCItem, [](opcda::OPCItem& i) { return Variant(i.get_Quality()); });
}

Variant OPCItemClass::SetItemQuality(std::int32_t Quality) {
  m_ItemQuality = Quality;
  return Variant();
}

Variant OPCItemClass::GetItemTimeStamp(std::int16_t Mode) const {
  if (Mode != 1) return Variant::date(m_ItemTimeStamp);
  return read_live(m_OPCItem, [](opcda::OPCItem& i) { return Variant::date(i.get_TimeStamp()); });
}

Variant OPCItemClass::GetItemDataType(std::int16_t Mode) const {
  if (Mode != 1) return Variant(m_ItemDataType);
  return read_live(m_OPCItem, [](opcda::OPCItem& i) { return Variant(i.get_RequestedDataType()); });
}

Variant OPCItemClass::GetItemCanonicalType() const {
  return read_live(m_OPCItem, [](opcda::OPCItem& i) { return Variant(i.get_CanonicalDataType()); });
}

Variant OPCItemClass::GetItemServerHandle() const {
  return read_live(m_OPCItem, [](opcda::OPCItem& i) { return Variant(i.get_ServerHandle()); });
}

Variant OPCItemClass::GetItemActiveState() const {
  return read_live(m_OPCItem, [](opcda::OPCItem& i) { return Variant(i.get_IsActive()); });
}

Variant OPCItemClass::SetItemActiveState(bool ActiveState) {
  read_live(m_OPCItem, [ActiveState](opcda::OPCItem& i) {
    i.put_IsActive(ActiveState);
    return Variant();
  });
  return Variant();
}

void OPCItemClass::DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const {
  vexa32::DisplayOPC_COM_ErrorValue(OPC_Function, ErrorCode);
}

}  // namespace vexa32
