#include "platform/opcua/endpoint_choice.h"

#include <algorithm>

#include "platform/opcua/client.h"

namespace vexa32::opcua {
namespace {

constexpr StatusCode kBadUrl = 0x80830000;  // BadTcpEndpointUrlInvalid

[[noreturn]] void bad_address(const std::string& text, const std::string& why) {
  throw UaError(kBadUrl, "\"" + text + "\": " + why);
}

std::string supported_names() {
  std::string out;
  for (const auto* p : crypto::supported_policies()) out += (out.empty() ? "" : ", ") + std::string(p->name);
  return out;
}

const char* login_name(std::int32_t kind) {
  switch (kind) {
    case 0: return "anonymous";
    case 1: return "user name";
    case 2: return "certificate";
    default: return "issued token";
  }
}

// The policy that protects a user token: its own, or the endpoint's.
const crypto::SecurityPolicy* token_policy(const EndpointDescription& e, const UserTokenPolicy& t) {
  return crypto::find_policy(t.security_policy_uri.empty() ? e.security_policy_uri : t.security_policy_uri);
}

bool can_log_in(const EndpointDescription& e, const ServerAddress& a) {
  for (const auto& t : e.user_identity_tokens) {
    if (a.user.empty() && t.token_type == 0) return true;
    if (a.user_certificate) {
      const auto* p = token_policy(e, t);
      if (t.token_type == 2 && p && !p->none) return true;  // the token is signed by its policy
      continue;
    }
    if (!a.user.empty() && t.token_type == 1) {
      const auto* p = token_policy(e, t);
      if (p && !p->none) return true;  // a password is never sent in clear
    }
  }
  return false;
}

}  // namespace

std::string policy_name(const std::string& uri) {
  auto hash = uri.rfind('#');
  return hash == std::string::npos ? uri : uri.substr(hash + 1);
}

bool supported_endpoint(const EndpointDescription& e) {
  const auto* p = crypto::find_policy(e.security_policy_uri);
  if (!p) return false;
  if (p->none) return e.security_mode == 1;
  return e.security_mode == 2 || e.security_mode == 3;
}

// Higher SecurityLevel first; among equals SignAndEncrypt before Sign (servers such as open62541
// give both modes of a policy one level and list Sign first).
bool more_secure(const EndpointDescription& a, const EndpointDescription& b) {
  if (a.security_level != b.security_level) return a.security_level > b.security_level;
  return a.security_mode > b.security_mode;
}

std::vector<EndpointDescription> most_secure_first(std::vector<EndpointDescription> endpoints) {
  std::stable_sort(endpoints.begin(), endpoints.end(), more_secure);
  return endpoints;
}

bool binary_transport(const EndpointDescription& e) {
  return e.transport_profile_uri.empty() || e.transport_profile_uri == kBinaryTransportProfile;
}

namespace {

// What discovery and the session must agree on for one endpoint, in one comparable text.
std::string endpoint_key(const EndpointDescription& e) {
  std::vector<std::string> tokens;
  for (const auto& t : e.user_identity_tokens)
    tokens.push_back(t.policy_id + "|" + std::to_string(t.token_type) + "|" + t.issued_token_type + "|" +
                     t.issuer_endpoint_url + "|" + t.security_policy_uri);
  std::sort(tokens.begin(), tokens.end());
  std::string key = std::to_string(e.security_mode) + "|" + e.security_policy_uri + "|" +
                    std::to_string(e.security_level) + "|" + e.server.application_uri;
  for (const auto& t : tokens) key += "\n" + t;
  return key;
}

std::string describe_one(const EndpointDescription& e) {
  return policy_name(e.security_policy_uri) + "/" + crypto::mode_name(static_cast<crypto::SecurityMode>(e.security_mode)) +
         " level " + std::to_string(e.security_level) + " (" + describe_logins(e) + ")";
}

}  // namespace

std::string endpoints_changed(const std::vector<EndpointDescription>& discovered,
                              const std::vector<EndpointDescription>& answered) {
  std::vector<std::pair<std::string, const EndpointDescription*>> before, after;
  for (const auto& e : discovered) {
    if (binary_transport(e)) before.emplace_back(endpoint_key(e), &e);
  }
  for (const auto& e : answered) {
    if (binary_transport(e)) after.emplace_back(endpoint_key(e), &e);
  }
  auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::sort(before.begin(), before.end(), by_key);
  std::sort(after.begin(), after.end(), by_key);
  std::vector<std::pair<std::string, const EndpointDescription*>> gone, added;
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(gone), by_key);
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added), by_key);
  std::string out;
  for (const auto& [key, e] : gone) out += (out.empty() ? "" : ", ") + std::string("discovery saw ") + describe_one(*e);
  for (const auto& [key, e] : added) out += (out.empty() ? "" : ", ") + std::string("the session names ") + describe_one(*e);
  return out;
}

std::string describe_logins(const EndpointDescription& e) {
  std::string logins;
  for (const auto& t : e.user_identity_tokens) {
    const std::string name = login_name(t.token_type);
    if (logins.find(name) == std::string::npos) logins += (logins.empty() ? "" : ", ") + name;
  }
  return logins;
}

std::string address_of_endpoint(const std::string& text, const EndpointDescription& endpoint) {
  parse_server_address(text);  // refuses what is no address before anything is cut from it
  std::string out = text.substr(0, text.find('?'));
  const auto mode = static_cast<crypto::SecurityMode>(endpoint.security_mode);
  out += std::string("?security=") + crypto::mode_name(mode);
  const auto* policy = crypto::find_policy(endpoint.security_policy_uri);
  if (policy && !policy->none) out += "&policy=" + std::string(policy->name);
  return out;
}

ServerAddress parse_server_address(const std::string& text) {
  ServerAddress a;
  std::string rest = text;
  std::string query;
  if (auto q = rest.find('?'); q != std::string::npos) {
    query = rest.substr(q + 1);
    rest.resize(q);
  }
  constexpr std::string_view scheme = "opc.tcp://";
  if (rest.size() > scheme.size() && std::equal(scheme.begin(), scheme.end(), rest.begin(), [](char s, char c) {
        return s == std::tolower(static_cast<unsigned char>(c));
      })) {
    const std::size_t authority = scheme.size();
    const std::size_t end = rest.find('/', authority);
    const std::size_t at = rest.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at != std::string::npos && at >= authority) {
      a.user = rest.substr(authority, at - authority);
      rest.erase(authority, at - authority + 1);
      if (a.user.empty()) bad_address(text, "the user before \"@\" is empty");
    }
  }
  auto address = parse_endpoint_url(rest);
  if (!address) bad_address(text, "not an opc.tcp:// endpoint URL");
  a.url = rest;
  a.host = address->host;
  a.port = address->port;
  std::size_t pos = 0;
  while (pos < query.size()) {
    std::size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    const std::string pair = query.substr(pos, amp - pos);
    pos = amp + 1;
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    const std::string key = pair.substr(0, eq), value = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
    if (key == "security") {
      if (value == "None") {
        a.mode = crypto::SecurityMode::None;
      } else if (value == "Sign") {
        a.mode = crypto::SecurityMode::Sign;
      } else if (value == "SignAndEncrypt") {
        a.mode = crypto::SecurityMode::SignAndEncrypt;
      } else {
        bad_address(text, "security is None, Sign or SignAndEncrypt, not \"" + value + "\"");
      }
    } else if (key == "policy") {
      if (crypto::deprecated_policy(value))
        bad_address(text,
                    "the security policy " + value + " is deprecated and not supported; use " + supported_names());
      a.policy = crypto::find_policy(value);
      if (!a.policy || a.policy->none)
        bad_address(text, "policy is one of " + supported_names() + ", not \"" + value + "\"");
    } else {
      bad_address(text, "\"" + key + "\" is no setting of the address (security, policy)");
    }
  }
  if (a.policy && a.mode == crypto::SecurityMode::None) bad_address(text, "security=None takes no policy");
  return a;
}

std::string describe_endpoints(const std::vector<EndpointDescription>& endpoints) {
  std::string out;
  for (const auto& e : most_secure_first(endpoints)) {
    const std::string logins = describe_logins(e);
    std::string item = policy_name(e.security_policy_uri) + "/" +
                       crypto::mode_name(static_cast<crypto::SecurityMode>(e.security_mode)) + " (" +
                       (logins.empty() ? std::string("no login") : logins) + ")";
    if (crypto::deprecated_policy(e.security_policy_uri)) item += " [deprecated, not supported]";
    if (out.find(item) == std::string::npos) out += (out.empty() ? "" : ", ") + item;
  }
  return out.empty() ? std::string("no endpoint at all") : out;
}

EndpointDescription choose_endpoint(const std::vector<EndpointDescription>& endpoints, const ServerAddress& a) {
  auto wanted = [&](const EndpointDescription& e) {
    if (!supported_endpoint(e) || !binary_transport(e)) return false;
    if (a.mode && static_cast<std::int32_t>(*a.mode) != e.security_mode) return false;
    if (a.policy && a.policy->uri != e.security_policy_uri) return false;
    return true;
  };
  const EndpointDescription* best = nullptr;
  if (!a.asks_for_security() && a.user.empty()) {
    // Forms stored with a bare URL keep connecting as they did: to None where the login fits.
    for (const auto& e : endpoints) {
      if (e.security_mode == 1 && wanted(e) && can_log_in(e, a)) return e;
    }
  }
  // A user goes to a signed channel where there is one; None only when asked for, or when the
  // server offers nothing else (and then only to a server whose certificate the store accepts).
  auto better = [&](const EndpointDescription& e) {
    if (!best) return true;
    if (!a.user.empty() && (e.security_mode == 1) != (best->security_mode == 1)) return best->security_mode == 1;
    return more_secure(e, *best);
  };
  for (const auto& e : endpoints) {
    if (!wanted(e) || !can_log_in(e, a)) continue;
    if (better(e)) best = &e;
  }
  if (best) return *best;

  std::string asked = a.mode ? std::string("security ") + crypto::mode_name(*a.mode) : std::string("security");
  if (a.policy) asked += " with " + std::string(a.policy->name);
  std::string missing;
  bool any_security = false, any_user_login = false, any_anonymous = false, user_only_in_clear = false;
  for (const auto& e : endpoints) {
    if (!wanted(e)) continue;
    any_security = true;
    for (const auto& t : e.user_identity_tokens) {
      if (t.token_type == 0) any_anonymous = true;
      if (t.token_type == 1) {
        const auto* p = token_policy(e, t);
        if (p && !p->none) {
          any_user_login = true;
        } else {
          user_only_in_clear = true;
        }
      }
    }
  }
  if (!any_security) {
    missing = "none of them is " + asked + " that this client supports (" + supported_names() + ")";
  } else if (a.user.empty() && !any_anonymous) {
    missing = "it takes no anonymous login: name a user in the URL (opc.tcp://user@" + a.host + ":" + a.port +
              ") and put the password in the password file";
  } else if (!a.user.empty() && !any_user_login) {
    missing = user_only_in_clear ? "it would take the password of \"" + a.user +
                                       "\" only unencrypted, and a password is never sent in clear"
                                 : "it takes no user name login";
  } else {
    missing = "none of them fits";
  }
  throw UaError(status::BadSecurityPolicyRejected, a.url + " offers " + describe_endpoints(endpoints) + "; " + missing);
}

}  // namespace vexa32::opcua
