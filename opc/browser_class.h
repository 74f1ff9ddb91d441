#pragma once
// OPCBrowserClass: one automation browser, a cursor over the server's address space. It adds no
// logic of its own; every operation traps its failure and gives its failure value.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/automation/variant.h"
#include "platform/opcda/automation.h"

namespace vexa32 {

class OPCBrowserClass {
 public:
  Variant SetBrowserObject(std::shared_ptr<opcda::OPCBrowser> OPCBrowseObj);
  Variant GetBrowserOrganization(std::int32_t& Organization);
  Variant MoveToRoot();
  Variant MoveDown(const std::string& Branch);
  Variant MoveUp();
  // The count of the current name list as a 32-bit integer; 0 (16-bit) when the server refuses.
  Variant GetItemCount();
  Variant ShowBranches();
  // Mode goes on as the flat flag unchanged: omitted stays omitted.
  Variant ShowLeafs(const Variant& Mode = Variant::missing());
  Variant GetItemName(std::string& ItemName, const Variant& ItemSpecifier);
  Variant SetFilter(const std::string& Filter);
  Variant SetDataTypeFilter(std::int16_t DataType);
  Variant SetAccessFilter(std::int32_t Access);
  // The full item ID of a leaf of the current branch; the empty text when the server refuses.
  Variant GetItemID(const std::string& Leaf);
  void DisplayOPC_COM_ErrorValue(const std::string& OPC_Function, std::int32_t ErrorCode) const;

 private:
  std::shared_ptr<opcda::OPCBrowser> m_OPCBrowser;
};

}  // namespace vexa32
