#pragma once
// OpcEnum, the OPC server list every node with the OPC core components runs: a server's ProgID
// to its CLSID.

#include <string>
#include <vector>

#include "platform/dcom/dcom_node.h"

namespace vexa32::dcom::da {

// The class of the server that prog_id names on the node: "{CLSID}" as it stands, a ProgID through
// OpcEnum (IOPCServerList2, else IOPCServerList). DcomError REGDB_E_CLASSNOTREG naming the ProgID
// and the node when the node has no such server; whatever the node says when it has no OpcEnum or
// cannot be reached.
Guid server_clsid(DcomNode& node, const std::string& prog_id);

// The ProgIDs of the node's OPC DA servers (DA 1.0, 2.0 and 3.0 categories) in the order
// OpcEnum gives them, without repeats. DcomError when the node cannot be asked.
std::vector<std::string> node_servers(DcomNode& node);

}  // namespace vexa32::dcom::da
