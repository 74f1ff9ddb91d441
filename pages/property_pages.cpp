#include "pages/property_pages.h"

#include "pages/load_csv_page.h"
#include "pages/opc_server_page.h"
#include "pages/opc_tag_page.h"

namespace vexa32::pages {

qt::PropertyPage* create_property_page(std::string_view name) {
  if (name == "OPC_Server") return new OPC_Server;
  if (name == "OPC_Tag") return new OPC_Tag;
  if (name == "Load_CSV") return new Load_CSV;
  return nullptr;
}

}  // namespace vexa32::pages
