#include "opc/browser_class.h"

#include "opc/error_report.h"
#include "opc/status_p.h"

namespace vexa32 {

using detail::require;
using detail::status_of;

Variant OPCBrowserClass::SetBrowserObject(std::shared_ptr<opcda::OPCBrowser> OPCBrowseObj) {
  m_OPCBrowser = std::move(OPCBrowseObj);
  return Variant();
}

Variant OPCBrowserClass::GetBrowserOrganization(std::int32_t& Organization) {
  return status_of([&] { return (Organization = require(m_OPCBrowser).get_Organization(), true); });
}

Variant OPCBrowserClass::MoveToRoot() {
  return status_of([&] { return (require(m_OPCBrowser).MoveToRoot(), true); });
}

Variant OPCBrowserClass::MoveDown(const std::string& Branch) {
  return status_of([&] { return (require(m_OPCBrowser).MoveDown(Branch), true); });
}

Variant OPCBrowserClass::MoveUp() {
  return status_of([&] { return (require(m_OPCBrowser).MoveUp(), true); });
}

Variant OPCBrowserClass::GetItemCount() {
  try {
    return Variant(require(m_OPCBrowser).get_Count());
  } catch (const AutomationError&) {
    return Variant(std::int16_t{0});
  }
}

Variant OPCBrowserClass::ShowBranches() {
  return status_of([&] { return (require(m_OPCBrowser).ShowBranches(), true); });
}

Variant OPCBrowserClass::ShowLeafs(const Variant& Mode) {
  return status_of([&] { return (require(m_OPCBrowser).ShowLeafs(Mode), true); });
}

Variant OPCBrowserClass::GetItemName(std::string& ItemName, const Variant& ItemSpecifier) {
  return status_of([&] { return (ItemName = require(m_OPCBrowser).Item(ItemSpecifier), true); });
}

Variant OPCBrowserClass::SetFilter(const std::string& Filter) {
  return status_of([&] { return (require(m_OPCBrowser).put_Filter(Filter), true); });
}

Variant OPCBrowserClass::SetDataTypeFilter(std::int16_t DataType) {
  return status_of([&] { return (require(m_OPCBrowser).put_DataType(DataType), true); });
}

Variant OPCBrowserClass::SetAccessFilter(std::int32_t Access) {
  return status_of([&] { return (require(m_OPCBrowser).put_AccessRights(Access), true); });
}

Variant OPCBrowserClass::GetItemID(const std::string& Leaf) {
  try {
    return Variant(require(m_OPCBrowser).GetItemID(Leaf));
  } catch (const AutomationError&) {
    return Variant(std::string());
  }
}

void OPCBrowserClass::DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const {
  vexa32::DisplayOPC_COM_ErrorValue(OPC_Function, ErrorCode);
}

}  // namespace vexa32
