#pragma once
// OpcEnum, the OPC server list every node with the OPC core components runs: a server's ProgID
// to its CLSID.

#include <string>

#include "platform/dcom/dcom_node.h"

namespace vexa32::dcom::da {

// The class of the server that prog_id names on the node: "{CLSID}" as it stands, a ProgID through
// OpcEnum (IOPCServerList2, else IOPCServerList). DcomError REGDB_E_CLASSNOTREG naming the ProgID
// and the node when the node has no such server; whatever the node says when it has no OpcEnum or
// cannot be reached.
Guid server_clsid(DcomNode& node, const std::string& prog_id);

}  // namespace vexa32::dcom::da
