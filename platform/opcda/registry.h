#pragma once
// The machine's registered OPC servers, per node: ProgID -> server module. The empty node,
// "localhost", "127.0.0.1" and this machine's host name are the local node; any other node goes
// to the node handler when one is installed, and otherwise fails as an unreachable machine does. The embedded
// simulation servers are registered on first use.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/opcda/automation.h"

namespace vexa32::opcda {

// One client's connection to a server: what a server object offers once connected.
class ServerConnection {
 public:
  virtual ~ServerConnection() = default;
  virtual DATE start_time() = 0;
  virtual DATE current_time() = 0;
  virtual DATE last_update_time() = 0;
  virtual std::int16_t major_version() = 0;
  virtual std::int16_t minor_version() = 0;
  virtual std::int16_t build_number() = 0;
  virtual std::string vendor_info() = 0;
  virtual std::int32_t server_state() = 0;
  virtual std::shared_ptr<OPCGroups> groups() = 0;
  virtual std::shared_ptr<OPCBrowser> create_browser() = 0;
  // Removes this client's groups; later calls fail as on a disconnected object.
  virtual void disconnect() = 0;
  virtual ServerShutDownEvent& shutdown_event() = 0;
  // How data changes reach this client: "callbacks" (the server pushes them, as local and UA
  // servers do) or "polling", with why it polls where it could have been called back.
  virtual std::string data_mode() { return "callbacks"; }
  virtual std::string data_mode_note() { return {}; }
};

// What a ProgID stands for: a server that accepts connections.
class ServerModule {
 public:
  virtual ~ServerModule() = default;
  virtual std::shared_ptr<ServerConnection> connect() = 0;
};

// Servers that are reached by address rather than registered by name: a ProgID that is a URL of
// the handler's scheme ("opc.tcp://host:4840") names its server directly.
class UrlServerHandler {
 public:
  virtual ~UrlServerHandler() = default;
  virtual std::shared_ptr<ServerModule> module_for(const std::string& url) = 0;
  // The URLs of the servers found on a node (empty for this machine); empty when nothing answered.
  virtual std::vector<std::string> discover(const std::string& node) = 0;
};

// Servers on other machines, reached through their node (DCOM): a ProgID on a node that is not
// this machine connects through the handler, and the server list of such a node is its.
class NodeServerHandler {
 public:
  virtual ~NodeServerHandler() = default;
  virtual std::shared_ptr<ServerModule> module_for(const std::string& prog_id, const std::string& node) = 0;
  // The ProgIDs on the node; AutomationError when it cannot be asked.
  virtual std::vector<std::string> prog_ids(const std::string& node) = 0;
};

class ServerRegistry {
 public:
  static ServerRegistry& instance();

  // Registers (or replaces) a ProgID on the local node.
  void register_server(const std::string& prog_id, std::shared_ptr<ServerModule> module);
  void unregister_server(const std::string& prog_id);
  std::shared_ptr<ServerModule> registered(const std::string& prog_id) const;
  // Installs (or with nullptr removes) the handler of a URL scheme such as "opc.tcp".
  void register_scheme(const std::string& scheme, std::shared_ptr<UrlServerHandler> handler);
  bool handles_scheme(const std::string& scheme) const { return handler_for(scheme + "://") != nullptr; }
  // Installs (or with nullptr removes) the handler of other nodes.
  void set_node_handler(std::shared_ptr<NodeServerHandler> handler) { node_handler_ = std::move(handler); }
  bool handles_nodes() const { return node_handler_ != nullptr; }

  // The local node's ProgIDs, then the URLs the scheme handlers discover on the node. For
  // another node the node handler's ProgIDs and the discovered URLs; it fails like an unreachable
  // machine (462) when nothing answered there (with the node handler's message, when there is
  // one). find takes a URL of a handled scheme wherever the node points; another node goes to the
  // node handler, and without one fails like an unreachable machine; an unknown ProgID here fails
  // with "class not registered".
  std::vector<std::string> prog_ids(const Variant& node) const;
  std::shared_ptr<ServerModule> find(const std::string& prog_id, const Variant& node) const;

  // The node text of a node argument: empty for an omitted or empty one.
  static std::string node_name(const Variant& node);
  static bool is_local_node(const std::string& node);

 private:
  ServerRegistry();
  struct Entry {
    std::string prog_id;  // as registered
    std::shared_ptr<ServerModule> module;
  };
  std::map<std::string, Entry> modules_;  // by lower-case ProgID: ProgIDs match without regard to case
  std::map<std::string, std::shared_ptr<UrlServerHandler>> schemes_;  // by lower-case scheme
  std::shared_ptr<NodeServerHandler> node_handler_;
  UrlServerHandler* handler_for(const std::string& prog_id) const;
};

// Registers a module for a scope and puts back what was registered before.
class ScopedRegistration {
 public:
  ScopedRegistration(std::string prog_id, std::shared_ptr<ServerModule> module);
  ~ScopedRegistration();
  ScopedRegistration(const ScopedRegistration&) = delete;
  ScopedRegistration& operator=(const ScopedRegistration&) = delete;

 private:
  std::string prog_id_;
  std::shared_ptr<ServerModule> previous_;
};

}  // namespace vexa32::opcda
