#pragma once
// The OPC interfaces in the DCOM runtime's one table: their IIDs and their methods in the order
// the OPC IDL declares them, so that an operation number is never written by hand. Also the
// classes and categories OpcEnum knows.

#include "platform/dcom/guid.h"

namespace vexa32::dcom::da {

// Adds the OPC interfaces to the runtime's table, once per process; every entry point of this
// folder calls it.
void install_opc_interfaces();

namespace clsid {
Guid opc_enum();  // the server list object on every node with the OPC core components
}

namespace catid {
Guid da10();
Guid da20();
Guid da30();
}  // namespace catid

}  // namespace vexa32::dcom::da
