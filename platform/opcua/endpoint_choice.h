#pragma once
// A server name as the user writes it, and the endpoint it leads to. The URL may carry a user
// (opc.tcp://operator@plc7:4840/path) and the choice of security (?security=None|Sign|
// SignAndEncrypt&policy=Basic256Sha256|Aes128_Sha256_RsaOaep|Aes256_Sha256_RsaPss); neither
// reaches the server.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/opcua/crypto/security_policy.h"
#include "platform/opcua/services.h"

namespace vexa32::opcua {

struct ServerAddress {
  std::string url;  // opc.tcp://host:port/path, without user and query
  std::string host, port;
  std::string user;               // empty: anonymous
  bool user_certificate = false;  // the user logs in with a certificate, not a password
  std::optional<crypto::SecurityMode> mode;
  const crypto::SecurityPolicy* policy = nullptr;  // when the query names one

  bool asks_for_security() const { return mode.has_value() || policy != nullptr; }
};

// UaError (BadTcpEndpointUrlInvalid) for a text that is no opc.tcp:// URL, an unknown query key
// or value, or a deprecated policy (named as such).
ServerAddress parse_server_address(const std::string& text);

// The endpoint to use: the one the query asks for; without a query the None endpoint where it
// has a login the user can give, else the endpoint of highest SecurityLevel this client supports.
// A login can be given: anonymous without a user; a user name where the password is encrypted.
// UaError saying what the server offers and what is missing when none fits.
EndpointDescription choose_endpoint(const std::vector<EndpointDescription>& endpoints, const ServerAddress& address);

// "Basic256Sha256/SignAndEncrypt (user name and password)" for every endpoint, most secure first.
std::string describe_endpoints(const std::vector<EndpointDescription>& endpoints);

// Highest SecurityLevel first; among equals SignAndEncrypt before Sign, then the server's order.
std::vector<EndpointDescription> most_secure_first(std::vector<EndpointDescription> endpoints);
bool more_secure(const EndpointDescription& a, const EndpointDescription& b);

inline constexpr std::string_view kBinaryTransportProfile =
    "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";
// Whether the endpoint is reached as this client speaks (opc.tcp, binary); an empty profile is
// taken as that.
bool binary_transport(const EndpointDescription& endpoint);
// Empty when the session's endpoints (the CreateSession answer's) are those discovery saw, as far
// as this transport goes: mode, policy, level, the server's ApplicationUri and the logins, in any
// order; otherwise what differs. Certificates are not compared: servers may leave them out there.
std::string endpoints_changed(const std::vector<EndpointDescription>& discovered,
                              const std::vector<EndpointDescription>& answered);
// Whether this client can connect to the endpoint: its policy and mode supported.
bool supported_endpoint(const EndpointDescription& endpoint);
// The policy's short name ("Basic256Sha256", "None").
std::string policy_name(const std::string& uri);
// The logins the endpoint takes, each once: "anonymous, user name".
std::string describe_logins(const EndpointDescription& endpoint);
// The address that leads to this endpoint: the text's user kept, its query replaced by the
// endpoint's security and policy. UaError as parse_server_address for a text that is no address.
std::string address_of_endpoint(const std::string& text, const EndpointDescription& endpoint);

}  // namespace vexa32::opcua
