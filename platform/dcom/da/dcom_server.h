#pragma once
// OPC DA servers on other machines, reached over DCOM, behind the OPC DA object model. Once
// installed in the registry, a ProgID (or "{CLSID}") on a node that is not this machine connects
// to that node's server; the server list of such a node is its OpcEnum's. The node is as forms
// store it: "host", "host:port", "user@host", "DOMAIN\user@host"; its password comes from the
// password file, else from the host's login service.
//
// Data changes come by polling: each active group reads its active items from the server's
// cache at its update rate and reports what changed. A lost connection sets the items to "no
// communication" and is restored with pauses that double up to a limit.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/dcom/dcom_node.h"
#include "platform/opcda/registry.h"

namespace vexa32::dcom::da {

struct DcomModuleOptions {
  DcomOptions node;
  std::string password_file;  // empty: the default place
  std::string client_name = "VEXA32";
  // The server's state is asked this often; a failure there is a lost connection.
  std::chrono::milliseconds status_period{5000};
  // A lost connection is retried after these pauses, doubling from the first up to the last.
  std::chrono::milliseconds first_retry{1000};
  std::chrono::milliseconds last_retry{30000};
  // Data changes pushed by the server where it can reach us (polling otherwise); the first push
  // must come within this long, or three update periods if longer.
  bool callbacks = true;
  std::chrono::milliseconds least_probe_wait{5000};
  // A group called back on a DA 3 server asks for a call at least this often (a keep-alive,
  // empty when nothing changed); when none comes within one and a half times the time the server
  // agreed to, the group polls. 0: no keep-alive asked.
  std::chrono::milliseconds keep_alive{10000};
  // A group called back on a DA 2 server (no keep-alive) that heard nothing for this long asks
  // for a refresh through the callback.
  std::chrono::milliseconds callback_silence{60000};
};

// Polls made and values read by every connection of the process so far, for load measurements.
struct PollTotals {
  long polls = 0, values = 0, callbacks = 0;
};
PollTotals poll_totals();

void install_dcom(opcda::ServerRegistry& registry, DcomModuleOptions options = {});
void uninstall_dcom(opcda::ServerRegistry& registry);

// The module that connects to prog_id on node.
std::shared_ptr<opcda::ServerModule> make_dcom_module(std::string prog_id, std::string node,
                                                      DcomModuleOptions options = {});

}  // namespace vexa32::dcom::da
