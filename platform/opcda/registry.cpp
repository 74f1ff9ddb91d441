#include "platform/opcda/registry.h"

#include <unistd.h>

#include <algorithm>
#include <optional>

#include "platform/automation/convert.h"
#include "platform/automation/text.h"
#include "platform/opcda/simulation.h"

namespace vexa32::opcda {
namespace {

AutomationError unreachable(const std::string& node) {
  return hresult_error(hr::RPC_S_SERVER_UNAVAILABLE, "The node \"" + node + "\" cannot be reached");
}

}  // namespace

ServerRegistry::ServerRegistry() { register_simulation_servers(*this); }

ServerRegistry& ServerRegistry::instance() {
  static ServerRegistry registry;
  return registry;
}

void ServerRegistry::register_server(const std::string& prog_id, std::shared_ptr<ServerModule> module) {
  if (!module) {
    unregister_server(prog_id);
    return;
  }
  modules_[ascii_lower(prog_id)] = Entry{prog_id, std::move(module)};
}

void ServerRegistry::unregister_server(const std::string& prog_id) { modules_.erase(ascii_lower(prog_id)); }

std::shared_ptr<ServerModule> ServerRegistry::registered(const std::string& prog_id) const {
  auto it = modules_.find(ascii_lower(prog_id));
  return it == modules_.end() ? nullptr : it->second.module;
}

std::string ServerRegistry::node_name(const Variant& node) {
  if (node.is_missing() || node.is_empty()) return {};
  return to_bstr(node);
}

bool ServerRegistry::is_local_node(const std::string& node) {
  if (node.empty()) return true;
  std::string n = ascii_lower(node);
  if (n == "localhost" || n == "127.0.0.1" || n == "::1" || n == ".") return true;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0 && n == ascii_lower(host)) return true;
  return false;
}

void ServerRegistry::register_scheme(const std::string& scheme, std::shared_ptr<UrlServerHandler> handler) {
  if (handler) {
    schemes_[ascii_lower(scheme)] = std::move(handler);
  } else {
    schemes_.erase(ascii_lower(scheme));
  }
}

UrlServerHandler* ServerRegistry::handler_for(const std::string& prog_id) const {
  auto sep = prog_id.find("://");
  if (sep == std::string::npos) return nullptr;
  auto it = schemes_.find(ascii_lower(prog_id.substr(0, sep)));
  return it == schemes_.end() ? nullptr : it->second.get();
}

std::vector<std::string> ServerRegistry::prog_ids(const Variant& node) const {
  std::string name = node_name(node);
  bool local = is_local_node(name);
  if (!local && schemes_.empty() && !node_handler_) throw unreachable(name);
  std::vector<std::string> out;
  std::optional<AutomationError> node_failure;
  if (local) {
    for (const auto& [key, entry] : modules_) out.push_back(entry.prog_id);
  } else if (node_handler_) {
    try {
      out = node_handler_->prog_ids(name);
    } catch (const AutomationError& e) {
      node_failure = e;  // said when nothing else answered there either
    }
  }
  for (const auto& [scheme, handler] : schemes_) {
    for (auto& url : handler->discover(name)) {
      if (std::find(out.begin(), out.end(), url) == out.end()) out.push_back(std::move(url));
    }
  }
  if (!local && out.empty()) throw node_failure ? *node_failure : unreachable(name);
  return out;
}

std::shared_ptr<ServerModule> ServerRegistry::find(const std::string& prog_id, const Variant& node) const {
  if (UrlServerHandler* handler = handler_for(prog_id)) return handler->module_for(prog_id);
  std::string name = node_name(node);
  if (!is_local_node(name)) {
    if (node_handler_) return node_handler_->module_for(prog_id, name);
    throw unreachable(name);
  }
  auto module = registered(prog_id);
  if (!module) throw hresult_error(hr::REGDB_E_CLASSNOTREG, "Class not registered: \"" + prog_id + "\"");
  return module;
}

ScopedRegistration::ScopedRegistration(std::string prog_id, std::shared_ptr<ServerModule> module)
    : prog_id_(std::move(prog_id)), previous_(ServerRegistry::instance().registered(prog_id_)) {
  ServerRegistry::instance().register_server(prog_id_, std::move(module));
}

ScopedRegistration::~ScopedRegistration() {
  if (previous_) {
    ServerRegistry::instance().register_server(prog_id_, previous_);
  } else {
    ServerRegistry::instance().unregister_server(prog_id_);
  }
}

}  // namespace vexa32::opcda
