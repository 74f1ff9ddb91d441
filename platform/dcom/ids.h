#pragma once
// Every interface this client calls, with its IID, its RPC version and its methods in the order
// the IDL declares them: an operation number is a position in that list, never written by hand.

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/dcom/guid.h"

namespace vexa32::dcom {

struct InterfaceInfo {
  std::string_view name;
  Guid iid;
  std::uint16_t major = 0, minor = 0;  // the RPC interface version a bind names
  // The methods in IDL order; the first has operation number `first_opnum` (3 after IUnknown's
  // three on COM interfaces, 0 on plain RPC interfaces).
  std::uint16_t first_opnum = 0;
  std::vector<std::string_view> methods;
};

// The interfaces of the tables that are installed: DCOM's own here, others (OPC's) from the
// layers above, which add theirs.
const InterfaceInfo& interface_info(std::string_view name);
// Adds a table of interfaces (names must be new); for the layers above.
void add_interfaces(const std::vector<InterfaceInfo>& table);
// The operation number of a method; DcomError for a name the tables do not hold.
std::uint16_t opnum(std::string_view interface, std::string_view method);

// Well-known classes.
namespace clsid {
Guid activation_properties_in();
Guid activation_properties_out();
}  // namespace clsid

}  // namespace vexa32::dcom
