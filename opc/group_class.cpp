#include "opc/group_class.h"

#include "opc/error_report.h"
#include "opc/status_p.h"
#include "platform/automation/convert.h"

namespace vexa32 {

using detail::require;
using detail::status_of;

OPCGroupClass::~OPCGroupClass() { unhook(); }

void OPCGroupClass::unhook() {
  if (!OPCGroupObj) return;
  if (data_change_cookie_) OPCGroupObj->DataChange().disconnect(data_change_cookie_);
  if (write_complete_cookie_) OPCGroupObj->AsyncWriteComplete().disconnect(write_complete_cookie_);
  data_change_cookie_ = write_complete_cookie_ = 0;
}

void OPCGroupClass::SetOPCGroup(std::shared_ptr<opcda::OPCGroup> OPCGroupObject, const std::string& GroupName,
                                const std::string& GroupKey, std::int16_t GroupIndx) {
  unhook();
  OPCGroupObj = std::move(OPCGroupObject);
  if (OPCGroupObj) {
    data_change_cookie_ = OPCGroupObj->DataChange().connect(
        [this](std::int32_t t, std::int32_t n, const Variant& h, const Variant& v, const Variant& q, const Variant& s) {
          OPCGroupObj_DataChange(t, n, h, v, q, s);
        });
    write_complete_cookie_ = OPCGroupObj->AsyncWriteComplete().connect(
        [this](std::int32_t t, std::int32_t n, const Variant& h, const Variant& e) {
          OPCGroupObj_AsyncWriteComplete(t, n, h, e);
        });
  }
  m_GroupName = GroupName;
  m_GroupKey = GroupKey;
  m_GroupIndex = GroupIndx;
  require(OPCGroupObj).put_IsSubscribed(true);
}

Variant OPCGroupClass::SetGroupActiveState(std::int16_t ActiveState) {
  try {
    require(OPCGroupObj).put_IsActive(ActiveState != 0);
    return Variant(true);
  } catch (const AutomationError& e) {
    DisplayOPC_COM_ErrorValue("Group Active State", e.number());
    return Variant(false);
  }
}

Variant OPCGroupClass::GetGroupActiveState(bool& ActiveState) {
  return status_of([&] { return (ActiveState = require(OPCGroupObj).get_IsActive(), true); });
}

Variant OPCGroupClass::SetGroupDeadBand(float DeadBand) {
  return status_of([&] { return (require(OPCGroupObj).put_DeadBand(DeadBand), true); });
}

Variant OPCGroupClass::GetGroupDeadBand(float& DeadBand) {
  return status_of([&] { return (DeadBand = require(OPCGroupObj).get_DeadBand(), true); });
}

Variant OPCGroupClass::SetGroupUpdateRate(std::int32_t UpdateRate) {
  return status_of([&] { return (require(OPCGroupObj).put_UpdateRate(UpdateRate), true); });
}

Variant OPCGroupClass::GetGroupUpdateRate(std::int32_t& UpdateRate) {
  return status_of([&] { return (UpdateRate = require(OPCGroupObj).get_UpdateRate(), true); });
}

Variant OPCGroupClass::SetOPCItemsDefaultDataType(std::int16_t DataType) {
  return status_of(
      [&] { return (require(require(OPCGroupObj).get_OPCItems()).put_DefaultRequestedDataType(DataType), true); });
}

Variant OPCGroupClass::GetOPCItemsDefaultDataType(std::int16_t& DataType) {
  return status_of(
      [&] { return (DataType = require(require(OPCGroupObj).get_OPCItems()).get_DefaultRequestedDataType(), true); });
}

Variant OPCGroupClass::SetOPCItemsDefaultActive(std::int16_t ActiveState) {
  return status_of(
      [&] { return (require(require(OPCGroupObj).get_OPCItems()).put_DefaultIsActive(ActiveState != 0), true); });
}

Variant OPCGroupClass::GetOPCItemsDefaultActive(bool& ActiveState) {
  return status_of(
      [&] { return (ActiveState = require(require(OPCGroupObj).get_OPCItems()).get_DefaultIsActive(), true); });
}

std::int16_t OPCGroupClass::FindFreeItemIndex() const {
  // The index is 16-bit: with 1 to 32767 all taken there is none left, an overflow (which the
  // caller's trap turns into false) rather than a wrap to a negative index.
  const std::size_t n = m_ItemClasses.count();
  for (std::int32_t i = 1; i <= INT16_MAX; ++i) {
    if (static_cast<std::size_t>(i) > n || !m_ItemClasses.contains(signed_decimal(static_cast<std::int16_t>(i)))) return static_cast<std::int16_t>(i);
  }
  throw overflow_error();
}

Variant OPCGroupClass::AddOPCItem(const std::string& OPCItemID, std::int16_t DataType, std::int16_t ActiveState,
                                  std::string& ItemKey) {
  return status_of([&] {
    SetOPCItemsDefaultActive(ActiveState);
    SetOPCItemsDefaultDataType(DataType);
    const std::int16_t index = FindFreeItemIndex();
    auto item = require(require(OPCGroupObj).get_OPCItems()).AddItem(OPCItemID, index);
    if (!item) return false;
    auto wrapper = std::make_shared<OPCItemClass>();
    wrapper->SetOPCItem(std::move(item), OPCItemID, index, DataType);
    ItemKey = "Item" + signed_decimal(index);
    m_ItemClasses.add(signed_decimal(index), std::move(wrapper));
    return true;
  });
}

Variant OPCGroupClass::RemoveOPCItem(const std::string& ItemKey, std::int32_t& Error) {
  return status_of([&] {
    // The collection key is the item key from its first blank on: " 1" of "Item 1".
    const auto blank = ItemKey.find(' ');
    if (blank == std::string::npos) return false;
    const std::string key = ItemKey.substr(blank);
    const Variant handle = m_ItemClasses.item(key)->GetItemServerHandle();
    Variant errors;
    require(require(OPCGroupObj).get_OPCItems()).Remove(1, make_array(VT_I4, {Variant(to_i4(handle))}), errors);
    const std::int32_t e = to_i4(errors.array().at(1));
    if (e != 0) {
      Error = e;
      return false;
    }
    m_ItemClasses.remove(key);
    return true;
  });
}

Variant OPCGroupClass::ValidateOPCItem(const std::string& OPCItemID, std::int16_t DataType, std::int16_t ActiveState,
                                       std::int32_t& Error) {
  return status_of([&] {
    SetOPCItemsDefaultActive(ActiveState);
    SetOPCItemsDefaultDataType(DataType);
    Variant errors;
    require(require(OPCGroupObj).get_OPCItems())
        .Validate(1, make_array(VT_BSTR, {Variant(OPCItemID)}), errors, make_array(VT_I2, {Variant(DataType)}));
    const std::int32_t e = to_i4(errors.array().at(1));
    if (e != 0) {
      Error = e;
      return false;
    }
    return true;
  });
}

Variant OPCGroupClass::AsyncWriteOPCItem(const OPCItemClass* ObjectToWrite, const Variant& ValueToWrite) {
  return status_of([&] {
    if (!ObjectToWrite) throw object_not_set_error();
    const std::int32_t handle = to_i4(ObjectToWrite->GetItemServerHandle());
    Variant errors;
    std::int32_t cancel_id = 0;
    require(OPCGroupObj)
        .AsyncWrite(1, make_array(VT_I4, {Variant(handle)}), make_array(VT_VARIANT, {ValueToWrite}), errors, 1,
                    cancel_id);
    return true;
  });
}

void OPCGroupClass::DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const {
  vexa32::DisplayOPC_COM_ErrorValue(OPC_Function, ErrorCode);
}

void OPCGroupClass::OPCGroupObj_DataChange(std::int32_t, std::int32_t NumItems, const Variant& ClientHandles,
                                           const Variant& ItemValues, const Variant& Qualities,
                                           const Variant& TimeStamps) {
  for (std::int32_t i = 1; i <= NumItems; ++i) {
    // A failure with one entry is ignored; the loop goes on with the next.
    try {
      const std::string key = signed_decimal(to_i4(ClientHandles.array().at(i)));
      if (!m_ItemClasses.contains(key)) continue;
      m_ItemClasses.item(key)->UpdateOPCItemData(ItemValues.array().at(i), to_i4(Qualities.array().at(i)),
                                                 to_date(TimeStamps.array().at(i)));
    } catch (const AutomationError&) {
    }
  }
}

void OPCGroupClass::OPCGroupObj_AsyncWriteComplete(std::int32_t, std::int32_t NumItems, const Variant& ClientHandles,
                                                   const Variant& Errors) {
  // No trap of its own: the first entry that cannot be handled (a handle with no item wrapper)
  // ends the handling of this event; the entries after it stay unhandled. It never goes further.
  try {
    for (std::int32_t i = 1; i <= NumItems; ++i) {
      const std::string key = signed_decimal(to_i4(ClientHandles.array().at(i)));
      const auto& wrapper = m_ItemClasses.item(key);
      if (to_i4(Errors.array().at(i)) != 0) wrapper->SetItemQuality(0);
    }
  } catch (const AutomationError&) {
  }
}

}  // namespace vexa32
