#pragma once
// OPC UA servers behind the OPC DA object model. Once installed in the registry, a ProgID that
// is an opc.tcp:// endpoint URL connects to that server (the node argument is not consulted), and
// the server list of a node adds the discovery URLs of the UA servers that answer FindServers
// there. Item IDs are NodeIds in their text form ("ns=2;s=Tags.Sine", "i=2258").

#include <chrono>
#include <memory>
#include <vector>

#include "platform/opcda/registry.h"
#include "platform/opcua/client.h"
#include "platform/opcua/endpoint_choice.h"

namespace vexa32::opcua {

struct UaModuleOptions {
  ClientOptions client;
  // Where the server list looks for discovery servers on a node.
  std::vector<int> discovery_ports{4840};
  // Discovery must not hold up the server list when nothing listens there.
  std::chrono::milliseconds discovery_timeout{1500};
  // A lost connection is retried after these pauses, doubling from the first up to the last.
  std::chrono::milliseconds first_retry{1000};
  std::chrono::milliseconds last_retry{30000};
  // The certificate store and the password file; empty: their default places.
  std::string pki_folder;
  std::string password_file;
};

// Connects to a server as its address says (user, security and policy in the URL; passwords from
// the password file; the server's certificate checked against the certificate store) and opens
// the session. UaError, with a message for the user, when that cannot be done.
std::shared_ptr<Client> connect_session(const std::string& address, const UaModuleOptions& options);
// The certificate of the server the address leads to (its chosen endpoint's), for a person to
// decide on before trusting it; UaError when the server cannot be asked.
crypto::Certificate server_certificate(const std::string& address, const UaModuleOptions& options = {});

// The endpoints of the server the address leads to, most secure first, for a person to pick
// one; UaError when the server cannot be asked.
std::vector<EndpointDescription> server_endpoints(const std::string& address, const UaModuleOptions& options = {});

// Installs the opc.tcp handler in the registry (replacing one installed before).
void install_opcua(opcda::ServerRegistry& registry, UaModuleOptions options = {});
void uninstall_opcua(opcda::ServerRegistry& registry);

// The module that connects to one endpoint URL.
std::shared_ptr<opcda::ServerModule> make_ua_module(std::string url, UaModuleOptions options = {});

}  // namespace vexa32::opcua
