#include "platform/dcom/node_login.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

#include "platform/container/login_service.h"
#include "platform/container/password_file.h"
#include "platform/dcom/errors.h"

namespace vexa32::dcom {
namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// The node as a message shows it: control characters as \xNN, so the message stays one line.
std::string shown(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (!is_control(c)) {
      out.push_back(c);
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    out += hex;
  }
  return out;
}

[[noreturn]] void refuse(const std::string& nodname, const std::string& why) {
  throw DcomError(status::E_INVALIDARG, "the node \"" + shown(nodname) + "\" " + why);
}

std::uint16_t port_of(const std::string& nodname, const std::string& text) {
  unsigned value = 0;
  const bool digits = !text.empty() && text.size() <= 5 &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) std::from_chars(text.data(), text.data() + text.size(), value);
  if (!digits || value < 1 || value > 65535) refuse(nodname, "has the port \"" + text + "\", not one of 1..65535");
  return static_cast<std::uint16_t>(value);
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string escaped(const std::string& field) {
  std::string out;
  for (char c : field) {
    if (c == ':' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string node_text(const NodeAddress& node) {
  std::string out;
  if (!node.user.empty()) out = (node.domain.empty() ? "" : node.domain + "\\") + node.user + "@";
  out += node.host.find(':') == std::string::npos ? node.host : "[" + node.host + "]";
  return out + ":" + std::to_string(node.port);
}

std::string this_host() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// "DOMAIN\\user" or "user", as the password file and the login window name the account.
std::string user_text(const NodeAddress& node) {
  return node.domain.empty() ? node.user : node.domain + "\\" + node.user;
}

// The NTLM login for an account written "DOMAIN\\user" or "user". Without a domain the account is
// the node's own, whose domain is the node's name.
NtlmCredentials credentials(const NodeAddress& node, const std::string& account, const std::string& password) {
  NtlmCredentials out;
  const auto backslash = account.find('\\');
  out.domain = backslash == std::string::npos ? std::string() : account.substr(0, backslash);
  out.user = backslash == std::string::npos ? account : account.substr(backslash + 1);
  if (out.domain.empty()) out.domain = upper(node.host);
  out.password = password;
  out.workstation = this_host();
  return out;
}

}  // namespace

NodeAddress parse_node(const std::string& nodname) {
  if (std::any_of(nodname.begin(), nodname.end(), is_control)) refuse(nodname, "holds a control character");
  NodeAddress node;
  std::string rest = nodname;
  // The last "@" ends the login, so a user written as user@domain.com still reads.
  if (const auto at = nodname.rfind('@'); at != std::string::npos) {
    const std::string login = nodname.substr(0, at);
    rest = nodname.substr(at + 1);
    if (const auto colon = login.find(':'); colon != std::string::npos) {
      // Named without the password itself, which must not reach a log.
      throw DcomError(status::E_INVALIDARG, "the node \"" + shown(login.substr(0, colon)) + ":...@" + shown(rest) +
                                                "\" holds a password: passwords belong in the password file "
                                                "(a line host:135:user:password), not in the node");
    }
    const auto backslash = login.find('\\');
    if (backslash != std::string::npos) {
      node.domain = login.substr(0, backslash);
      if (node.domain.empty()) refuse(nodname, "names no domain before \"\\\"");
    }
    node.user = backslash == std::string::npos ? login : login.substr(backslash + 1);
    if (node.user.empty()) refuse(nodname, "names no user before \"@\"");
  }
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) refuse(nodname, "has no \"]\" after its IPv6 address");
    node.host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && after.front() != ':') refuse(nodname, "has \"" + after + "\" after its IPv6 address");
    if (!after.empty()) node.port = port_of(nodname, after.substr(1));
  } else if (std::count(rest.begin(), rest.end(), ':') == 1) {
    const auto colon = rest.find(':');
    node.host = rest.substr(0, colon);
    node.port = port_of(nodname, rest.substr(colon + 1));
  } else {
    node.host = rest;  // a name, or an IPv6 address without brackets (and so without a port)
  }
  if (node.host.empty()) refuse(nodname, "names no host");
  if (node.host.find_first_of(" /\\[]") != std::string::npos)
    refuse(nodname, "has \"" + node.host + "\", which is no host name");
  return node;
}

NtlmCredentials node_login(const NodeAddress& node, const std::string& password_file) {
  std::optional<std::string> user;
  if (!node.user.empty()) user = user_text(node);
  const auto found = find_password(password_file, node.host, std::to_string(node.port), user);
  if (!found.password) {
    const std::string node_name = "no password for " + node_text(node);
    if (!found.warning.empty()) throw DcomError(status::E_ACCESSDENIED, node_name + ": " + found.warning);
    throw DcomError(status::E_ACCESSDENIED, node_name + " in the password file " + password_file + ": add a line \"" +
                                                escaped(node.host) + ":" + std::to_string(node.port) + ":" +
                                                (user ? escaped(*user) : std::string("user")) + ":password\"" +
                                                (user ? "" : " (the user may be DOMAIN\\\\user)"));
  }
  if (found.user.empty() || found.user.back() == '\\')
    throw DcomError(status::E_INVALIDARG, "the password file " + password_file + " names no user on line " +
                                              std::to_string(found.line) + " (host:port:DOMAIN\\\\user:password)");
  return credentials(node, found.user, *found.password);
}

std::unique_ptr<DcomNode> connect_node(const std::string& nodname, const std::string& password_file,
                                       const DcomOptions& options, const NtlmCredentials* known) {
  const NodeAddress node = parse_node(nodname);
  const std::string port = std::to_string(node.port);
  std::optional<LoginAnswer> asked;
  // A login the host gives: the user it names, else the node's; nullopt when it gives none.
  auto ask = [&](const std::string& refusal, int attempt) {
    if (known) return false;
    asked = login_service()->login(
        {nodname, node.host, port, node.user.empty() ? "" : user_text(node), refusal, attempt, true});
    if (asked && asked->user.empty()) asked->user = node.user.empty() ? "" : user_text(node);
    return asked && !asked->user.empty() && asked->user.back() != '\\';
  };
  NtlmCredentials login;
  std::string source;
  try {
    login = node_login(node, password_file);
    source = "the password file " + password_file;
  } catch (const DcomError& e) {
    // Nobody is asked for the password of a node that is not there.
    if (e.hresult() != status::E_ACCESSDENIED) throw;
    if (known) {
      login = *known;
      source = "the login given before";
    } else {
      check_reachable(node.host, node.port, options.rpc.connect_timeout);
      if (!ask("", 1)) throw;
      login = credentials(node, asked->user, asked->password);
      source = "the login window";
    }
  }
  for (int attempt = 1;; ++attempt) {
    try {
      auto connected = std::make_unique<DcomNode>(node.host, node.port, login, options);
      if (asked && asked->remember) {
        try {
          remember_password(password_file, node.host, port, asked->user, asked->password);
        } catch (const std::runtime_error&) {
          // The node took the login; a file we cannot write only means being asked again next time.
        }
      }
      return connected;
    } catch (const DcomError& e) {
      if (e.hresult() != status::E_ACCESSDENIED) throw;
      const std::string refusal = std::string(e.what()) + " (the password came from " + source + ")";
      if (attempt >= kMaxLoginAttempts || !ask(refusal, attempt + 1)) throw DcomError(e.hresult(), refusal);
      login = credentials(node, asked->user, asked->password);
      source = "the login window";
    }
  }
}

}  // namespace vexa32::dcom
