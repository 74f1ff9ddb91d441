#pragma once
// A node as forms store it ("host", "host:port", "user@host", "DOMAIN\user@host:port",
// "[fe80::1]:135", "user@::1") and the NTLM login for it, its password from the password file.
// A password never sits in the node itself.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dcom/dcom_node.h"
#include "platform/dcom/ntlm.h"

namespace vexa32::dcom {

struct NodeAddress {
  std::string host;  // an IPv6 address without its brackets
  std::uint16_t port = 135;
  std::string domain, user;  // both empty when the node names no user
};

// DcomError E_INVALIDARG, naming the node, for an empty host or user, a port outside 1..65535,
// a password ("user:pw@host") and control characters.
NodeAddress parse_node(const std::string& nodname);

// The login from the password file: the line for host, port and the user as written
// ("DOMAIN\user" when the node names a domain); with no user in the node, the first line for host
// and port that names one. A login without a domain is a local account of the node: its domain is
// the host in upper case. The workstation is this machine's host name. DcomError E_ACCESSDENIED,
// naming the node, the file and the line to add, when the file holds none (or is ignored, saying why).
NtlmCredentials node_login(const NodeAddress& node, const std::string& password_file);

// Connects to the node as a form names it, as the user of its password file line; without a line
// the container's login service is asked (a Windows user of the node), and asked again, up to
// kMaxLoginAttempts, while the node refuses what it gave. A login it gave with "remember" goes to
// the password file once the node took it. DcomError: E_INVALIDARG for a node that does not
// parse, E_ACCESSDENIED naming the node, the user and where the password came from, and whatever
// DcomNode says when the node cannot be reached.
// With `known` (a reconnection, off the thread that may ask), nobody is asked: the file's line when
// it has one now, else that login, which the node took before.
std::unique_ptr<DcomNode> connect_node(const std::string& nodname, const std::string& password_file,
                                       const DcomOptions& options = {}, const NtlmCredentials* known = nullptr);

}  // namespace vexa32::dcom
