// A UA server as an OPC DA server: the connection and its status, the module and the server list.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>

#include "platform/automation/convert.h"
#include "platform/container/password_file.h"
#include "platform/opcda/arguments.h"
#include "platform/opcda/group_list.h"
#include "platform/opcua/da/ua_p.h"
#include "platform/opcua/da/values.h"
#include "platform/opcua/decisions.h"
#include "platform/opcua/log.h"
#include "platform/opcua/pki/pki.h"

namespace vexa32::opcua {
namespace {

// ServerStatus and its BuildInfo.
constexpr std::uint32_t kNamespaceArray = 2255, kStartTime = 2257, kCurrentTime = 2258, kState = 2259,
                        kProductName = 2261, kManufacturerName = 2263, kSoftwareVersion = 2264, kBuildNumber = 2265,
                        kSecondsTillShutdown = 2992, kShutdownReason = 2993;
constexpr std::int32_t kUaStateShutdown = 4;
// The status subscription: sampled twice a second, published at once, a keep-alive every 5 s.
constexpr double kStatusInterval = 500;
constexpr std::uint32_t kStatusKeepAlive = 10, kStatusLifetime = 1200;
constexpr std::chrono::milliseconds kStatusKeepAliveTime{5000};

// The numbers in a version text such as "2.182.2": the n-th (from 0), 0 where there is none.
std::int16_t version_part(const std::string& text, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = text.find('.', pos);
    if (pos == std::string::npos) return 0;
    ++pos;
  }
  int value = 0;
  auto [p, ec] = std::from_chars(text.data() + pos, text.data() + text.size(), value);
  (void)p;
  if (ec != std::errc()) return 0;
  return static_cast<std::int16_t>(std::clamp(value, 0, 32767));
}

// UA ServerState to OPCServerState.
std::int32_t opc_state(std::int32_t ua_state) {
  switch (ua_state) {
    case 0: return opcda::OPCRunning;
    case 2: return opcda::OPCNoconfig;
    case 3:
    case 4: return opcda::OPCSuspended;  // suspended, or shutting down
    case 5: return opcda::OPCTest;
    default: return opcda::OPCFailed;  // failed, communication fault, unknown
  }
}

class UaModule final : public opcda::ServerModule {
 public:
  UaModule(std::string url, UaModuleOptions options) : url_(std::move(url)), options_(std::move(options)) {}

  std::shared_ptr<opcda::ServerConnection> connect() override {
    Apartment& apartment = Apartment::require_current();
    try {
      auto client = connect_session(url_, options_);
      auto connection = std::make_shared<UaConnection>(client, apartment);
      connection->start(url_, options_);
      return connection;
    } catch (const UaError& e) {
      if (e.code() == status::BadSecurityPolicyRejected) throw hresult_error(hr::E_FAIL, e.what());
      throw hresult_error(hr::RPC_S_SERVER_UNAVAILABLE, e.what());
    }
  }

 private:
  std::string url_;
  UaModuleOptions options_;
};

class UaHandler final : public opcda::UrlServerHandler {
 public:
  explicit UaHandler(UaModuleOptions options) : options_(std::move(options)) {}

  std::shared_ptr<opcda::ServerModule> module_for(const std::string& url) override {
    return make_ua_module(url, options_);
  }

  std::vector<std::string> discover(const std::string& node) override {
    std::vector<std::string> out;
    ClientOptions quick = options_.client;
    quick.connect_timeout = options_.discovery_timeout;
    quick.timeout = options_.discovery_timeout;
    std::string host = node.empty() ? "localhost" : node;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    for (int port : options_.discovery_ports) {
      try {
        auto client = Client::open("opc.tcp://" + host + ":" + std::to_string(port), quick);
        for (const auto& server : client->find_servers()) {
          if (server.application_type == 1) continue;  // a client registers no endpoint to connect to
          for (const auto& url : server.discovery_urls) {
            if (parse_endpoint_url(url) && std::find(out.begin(), out.end(), url) == out.end()) out.push_back(url);
          }
        }
      } catch (const UaError&) {
        // Nothing answered there: the list holds what other ports found.
      }
    }
    return out;
  }

 private:
  UaModuleOptions options_;
};

// A subscription's timing from a group's update rate: keep-alives about every 5 s, so a lost
// server is noticed within that time, and a lifetime of about 10 minutes (at least three
// keep-alives), so a subscription outlives a short outage and can be taken over afterwards.
struct Timing {
  double interval;
  std::uint32_t keep_alive_count;
  std::uint32_t lifetime_count;
};
Timing timing_for(double interval) {
  interval = std::max(interval, 1.0);
  auto keep_alive = static_cast<std::uint32_t>(std::max(1.0, std::ceil(5000.0 / interval)));
  auto lifetime = static_cast<std::uint32_t>(std::ceil(600000.0 / interval)) + 1;
  return {interval, keep_alive, std::max(lifetime, 3 * keep_alive)};
}

// Publish requests kept at the server: one for each group and one spare, within reason.
// Batches of monitored items well inside the servers' usual limit of items a call.
constexpr std::size_t kMonitoredPerCall = 500;

// A deadband needs an EU range; a node without one refuses the filter, and then it does not apply.
bool refuses_deadband(StatusCode status) {
  StatusCode code = status & 0xFFFF0000u;
  return code == 0x80440000u || code == 0x80450000u || code == 0x808E0000u;
}

int publish_depth(std::size_t groups) { return static_cast<int>(std::clamp<std::size_t>(groups + 1, 2, 5)); }

bool refuses_our_certificate(StatusCode code) {
  code &= 0xFFFF0000u;
  return code == status::BadSecurityChecksFailed || code == status::BadCertificateUntrusted ||
         code == status::BadCertificateInvalid;
}

}  // namespace

namespace {

bool is_login_refusal(StatusCode code) {
  code &= 0xFFFF0000u;
  return code == status::BadUserAccessDenied || code == status::BadIdentityTokenRejected ||
         code == status::BadIdentityTokenInvalid;
}

bool offers_user_name(const std::vector<EndpointDescription>& endpoints) {
  for (const auto& e : endpoints) {
    for (const auto& token : e.user_identity_tokens) {
      if (token.token_type == 1) return true;
    }
  }
  return false;
}

// What can be trusted from a question to a person: an unknown certificate, or one a trusted
// authority issued for another host. An expired, revoked or otherwise unfit one only says why.
bool can_be_trusted(StatusCode code) {
  return code == status::BadCertificateUntrusted || code == status::BadCertificateHostNameInvalid;
}

// The store's refusal of a server certificate, put to the host; what it answered is done here.
void settle_untrusted(Pki& pki, const std::string& text, const ServerAddress& address,
                      const EndpointDescription& endpoint, const TrustFailure& refused) {
  std::string how;
  if (refused.code == status::BadCertificateUntrusted)
    how = ". To trust it: vexa-monitor --trust --server '" + text + "'";
  UntrustedServer question;
  try {
    auto chain = crypto::Certificate::chain_from_der(endpoint.server_certificate);
    if (!chain.empty()) question.certificate = chain.front();
  } catch (const crypto::CryptoError&) {
    // Nothing to show a person: refused as it stands.
  }
  if (question.certificate) {
    question.url = text;
    question.problem = refused.code;
    question.message = refused.message;
    question.can_trust = can_be_trusted(refused.code);
    const TrustAnswer answer = decision_service()->untrusted_server(question);
    if (question.can_trust && answer == TrustAnswer::Trust) {
      pki.trust(question.certificate);
      return;
    }
    if (question.can_trust && answer == TrustAnswer::TrustForSession) {
      Pki::trust_for_session(question.certificate);
      return;
    }
  }
  throw UaError(refused.code, address.url + ": " + refused.message + how);
}

}  // namespace

std::shared_ptr<Client> connect_session(const std::string& text, const UaModuleOptions& module) {
  ServerAddress address = parse_server_address(text);
  const std::string pki_folder = module.pki_folder.empty() ? Pki::default_folder() : module.pki_folder;
  UserIdentity user;
  try {
    // A user with a certificate in the store logs in with it; any other with a password.
    if (!address.user.empty()) {
      if (auto certificate = Pki(pki_folder).user(address.user)) {
        address.user_certificate = true;
        user.certificate = certificate->certificate;
        user.key = certificate->key;
      }
    }
  } catch (const crypto::CryptoError& e) {
    throw UaError(status::BadCertificateInvalid, "the certificate of " + address.user + ": " + e.what());
  }
  // The endpoints come over a None channel, which servers keep for discovery.
  auto client = Client::open(address.url, module.client);
  const std::vector<EndpointDescription> endpoints = client->get_endpoints();
  // A login the host asked a person for, rather than one from the password file.
  std::optional<LoginAnswer> asked;
  auto ask = [&](const std::string& refusal, int attempt) {
    asked = login_service()->login({text, address.host, address.port, address.user, refusal, attempt});
    if (asked && !asked->user.empty()) address.user = asked->user;
    return asked.has_value();
  };
  EndpointDescription endpoint;
  try {
    endpoint = choose_endpoint(endpoints, address);
  } catch (const UaError&) {
    // A server that wants a user the address does not name: the host may give one.
    if (!address.user.empty() || !offers_user_name(endpoints) || !ask("", 1) || address.user.empty()) throw;
    endpoint = choose_endpoint(endpoints, address);
  }
  // The server is known to be the one it claims before a channel is secured for it or a password
  // or a user's signature goes to it, whatever the channel; an anonymous None session needs no such
  // knowledge (forms stored with a bare URL).
  Pki::Own own;
  const bool needs_trust = endpoint.security_mode != 1 || !address.user.empty();
  ClientOptions options = module.client;
  if (needs_trust) {
    try {
      Pki pki(pki_folder);
      if (auto refused = pki.check_server(endpoint.server_certificate, address.host, endpoint.server.application_uri))
        settle_untrusted(pki, text, address, endpoint, *refused);
      if (endpoint.security_mode != 1) own = pki.own();
    } catch (const crypto::CryptoError& e) {
      throw UaError(status::BadCertificateInvalid, address.url + ": " + e.what());
    }
    // Every session (reconnections too) meets the store as it is then, with no question asked.
    options.server_check = [pki_folder, host = address.host, url = address.url](const std::string& certificate,
                                                                                const std::string& application_uri) {
      std::optional<TrustFailure> refused;
      try {
        refused = Pki(pki_folder).check_server(certificate, host, application_uri);
      } catch (const crypto::CryptoError& e) {
        throw UaError(status::BadCertificateInvalid, url + ": " + e.what());
      }
      if (refused) throw UaError(refused->code, url + ": " + refused->message);
    };
  }
  options.discovered = endpoints;
  options.endpoint = endpoint;
  const std::string password_file = module.password_file.empty() ? default_password_file() : module.password_file;
  std::string password_source = "the login window";
  if (!address.user.empty() && !address.user_certificate) {
    if (!asked) {
      auto found = find_password(password_file, address.host, address.port, address.user);
      if (found.password) {
        user.password = *found.password;
        password_source = "the password file " + password_file + ", line " + std::to_string(found.line);
      } else if (ask("", 1)) {
        user.password = asked->password;
      } else {
        throw UaError(
            status::BadIdentityTokenRejected,
            "no password for " + address.user + " on " + address.host + ":" + address.port + " in " + password_file +
                (found.warning.empty() ? std::string(" (a line host:port:user:password)") : ": " + found.warning));
      }
    } else {
      user.password = asked->password;
    }
    user.user_name = address.user;
  }
  // Opens the session; a refused password is asked for again while the host has one to give.
  auto with_retries = [&](const std::function<std::shared_ptr<Client>(const UserIdentity&)>& open) {
    for (int attempt = 1;; ++attempt) {
      try {
        auto session = open(user);
        if (asked && asked->remember) {
          try {
            remember_password(password_file, address.host, address.port, user.user_name, user.password);
          } catch (const std::runtime_error& e) {
            log_note(e.what());
          }
        }
        return session;
      } catch (const UaError& e) {
        if (user.user_name.empty() || !is_login_refusal(e.code())) throw;
        const std::string refusal = std::string(e.what()) + ": the server refused the user \"" + user.user_name +
                                    "\", whose password came from " + password_source;
        if (attempt >= kMaxLoginAttempts || !ask(refusal, attempt + 1)) throw UaError(e.code(), refusal);
        user.user_name = address.user;
        user.password = asked->password;
        password_source = "the login window";
      }
    }
  };
  if (endpoint.security_mode == 1) {
    // The discovery channel serves the session, unless a person was asked meanwhile (a server may
    // close a channel that waited that long); a later attempt needs a channel of its own.
    bool reuse = !asked;
    if (!reuse) client->close();
    return with_retries([&](const UserIdentity& identity) {
      auto channel = reuse ? client : Client::open(address.url, module.client);
      reuse = false;
      ClientOptions session = options;
      session.user = identity;
      channel->prepare_session(session);
      channel->create_session();
      return channel;
    });
  }
  client->close();
  options.security.policy = crypto::find_policy(endpoint.security_policy_uri);
  options.security.mode = static_cast<crypto::SecurityMode>(endpoint.security_mode);
  options.security.own_certificate = own.certificate;
  options.security.own_key = own.key;
  options.security.server_certificate = endpoint.server_certificate;
  try {
    return with_retries([&](const UserIdentity& identity) {
      ClientOptions attempt = options;
      attempt.user = identity;
      auto secure = Client::open(address.url, attempt);
      secure->create_session();
      return secure;
    });
  } catch (const UaError& e) {
    if (!refuses_our_certificate(e.code())) throw;
    throw UaError(e.code(), std::string(e.what()) + ". The server does not accept this client's certificate " +
                                own.certificate_path + " (thumbprint " + own.certificate.thumbprint_hex() +
                                "): the server's administrator must trust it");
  }
}

std::vector<EndpointDescription> server_endpoints(const std::string& text, const UaModuleOptions& module) {
  auto client = Client::open(parse_server_address(text).url, module.client);
  std::vector<EndpointDescription> endpoints = client->get_endpoints();
  client->close();
  return most_secure_first(std::move(endpoints));
}

crypto::Certificate server_certificate(const std::string& text, const UaModuleOptions& module) {
  const ServerAddress address = parse_server_address(text);
  auto client = Client::open(address.url, module.client);
  const std::vector<EndpointDescription> endpoints = client->get_endpoints();
  client->close();
  // The certificate the connection would meet; a login that does not fit yet is no reason not to look.
  EndpointDescription endpoint;
  try {
    endpoint = choose_endpoint(endpoints, address);
  } catch (const UaError&) {
    auto any =
        std::find_if(endpoints.begin(), endpoints.end(), [](const auto& e) { return !e.server_certificate.empty(); });
    if (any == endpoints.end()) throw;
    endpoint = *any;
  }
  try {
    auto chain = crypto::Certificate::chain_from_der(endpoint.server_certificate);
    if (chain.empty()) throw UaError(status::BadCertificateInvalid, address.url + " names no certificate");
    return chain.front();
  } catch (const crypto::CryptoError& e) {
    throw UaError(status::BadCertificateInvalid, address.url + ": " + e.what());
  }
}

UaItem* UaGroupState::find_item(std::int32_t server_handle) {
  // Items added together have consecutive handles: where none was removed, the handle says
  // where the item is.
  if (!items.empty()) {
    auto guess = static_cast<std::int64_t>(server_handle) - items.front().server_handle;
    if (guess >= 0 && guess < static_cast<std::int64_t>(items.size()) &&
        items[static_cast<std::size_t>(guess)].server_handle == server_handle)
      return &items[static_cast<std::size_t>(guess)];
  }
  // Items are only ever appended with a new, higher handle and erased: the list stays sorted.
  auto it = std::lower_bound(items.begin(), items.end(), server_handle,
                             [](const UaItem& i, std::int32_t h) { return i.server_handle < h; });
  return it == items.end() || it->server_handle != server_handle ? nullptr : &*it;
}

void UaGroupState::add_change(const UaItem& item, Sample&& sample) {
  apply_requested_type(sample, item.requested_type);
  changes.add(item.client_handle, std::move(sample.value), sample.quality, sample.timestamp);
}

UaConnection::UaConnection(std::shared_ptr<Client> c, Apartment& a)
    : client(std::move(c)), apartment(a), apartment_alive(a.liveness()) {
  auto values = read_values({NodeId(0, kNamespaceArray)});
  if (auto v = to_automation(values.front().value); v && v->is_array()) {
    for (const auto& e : v->array().elements()) namespaces.push_back(to_bstr(e));
  }
}

UaConnection::~UaConnection() {
  stop_healing();
  if (connected_) client->close();
  if (reconnect_thread_.joinable()) reconnect_thread_.join();
}

bool UaConnection::reachable() {
  if (!connected_) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server object is not connected");
  return !down_ && client->failure().empty();
}

Client& UaConnection::live() {
  if (!connected_) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server object is not connected");
  if (down_)
    throw hresult_error(hr::RPC_E_DISCONNECTED,
                        "The connection to " + url_ + " is lost and being restored: " + lost_reason_);
  std::string failure = client->failure();
  if (!failure.empty())
    throw hresult_error(hr::RPC_E_DISCONNECTED, "The connection to " + client->url() + " is lost: " + failure);
  return *client;
}

void UaConnection::throw_error(const UaError& e) {
  if (e.connection_lost()) throw hresult_error(hr::RPC_E_DISCONNECTED, e.what());
  throw hresult_error(hr::E_FAIL, e.what());
}

std::vector<DataValue> UaConnection::read_values(const std::vector<NodeId>& nodes) {
  ReadRequest request;
  request.max_age = 0;  // from the device, never a cache
  for (const auto& n : nodes) request.nodes.push_back({n, attribute::Value});
  auto response = service([&](Client& c) { return c.read(std::move(request)); });
  if (response.results.size() != nodes.size())
    throw hresult_error(hr::E_FAIL, "The server answered a Read with the wrong number of values");
  return std::move(response.results);
}

DataValue UaConnection::status_value(std::uint32_t node) { return read_values({NodeId(0, node)}).front(); }

std::string UaConnection::build_text(std::uint32_t node) {
  auto v = to_automation(status_value(node).value);
  return v && !v->is_array() && v->vt() != VT_EMPTY ? to_bstr(*v) : std::string();
}

DATE UaConnection::start_time() {
  auto v = to_automation(status_value(kStartTime).value);
  return v && v->vt() == VT_DATE ? v->date_value() : 0;
}

DATE UaConnection::current_time() {
  auto v = to_automation(status_value(kCurrentTime).value);
  return v && v->vt() == VT_DATE ? v->date_value() : 0;
}

std::int16_t UaConnection::major_version() { return version_part(build_text(kSoftwareVersion), 0); }
std::int16_t UaConnection::minor_version() { return version_part(build_text(kSoftwareVersion), 1); }
std::int16_t UaConnection::build_number() { return version_part(build_text(kBuildNumber), 0); }

std::string UaConnection::vendor_info() {
  std::string manufacturer = build_text(kManufacturerName), product = build_text(kProductName);
  if (manufacturer.empty()) return product;
  return product.empty() ? manufacturer : manufacturer + " " + product;
}

std::int32_t UaConnection::server_state() {
  // A lost server reads as failed, while the connection is being restored.
  if (connected_ && (down_ || !client->failure().empty())) return opcda::OPCFailed;
  auto v = to_automation(status_value(kState).value);
  if (!v || v->is_array() || v->vt() == VT_EMPTY) return opcda::OPCFailed;
  return opc_state(to_i4(*v));
}

void UaConnection::disconnect() {
  // A lost connection can still be closed: nothing of it is left on this side afterwards.
  if (!connected_) throw hresult_error(hr::RPC_E_DISCONNECTED, "The server object is not connected");
  for (auto& g : group_list) g->removed = true;
  group_list.clear();
  connected_ = false;
  stop_healing();  // a retry under way stops now; a connection it makes is closed on arrival
  client->close();
}

HRESULT UaConnection::resolve(const std::string& item_id, NodeId& node) {
  auto parsed = parse_node_id(item_id);
  if (!parsed) return hr::OPC_E_INVALIDITEMID;
  node = parsed->node;
  if (parsed->namespace_uri) {
    auto it = std::find(namespaces.begin(), namespaces.end(), *parsed->namespace_uri);
    if (it == namespaces.end()) return hr::OPC_E_UNKNOWNITEMID;
    node.ns = static_cast<std::uint16_t>(it - namespaces.begin());
  }
  return hr::S_OK;
}

std::vector<HRESULT> UaConnection::describe(std::vector<UaItem>& items) {
  static constexpr std::uint32_t kAttributes[] = {attribute::NodeClass, attribute::DataType, attribute::ValueRank,
                                                  attribute::AccessLevel, attribute::Value};
  constexpr std::size_t kPerItem = std::size(kAttributes);
  // A few hundred items a Read keeps each request well inside the servers' usual operation limits.
  constexpr std::size_t kItemsPerRead = 200;
  std::vector<HRESULT> out;
  out.reserve(items.size());
  for (std::size_t first = 0; first < items.size(); first += kItemsPerRead) {
    std::size_t last = std::min(items.size(), first + kItemsPerRead);
    ReadRequest request;
    for (std::size_t i = first; i < last; ++i) {
      for (auto a : kAttributes) request.nodes.push_back({items[i].node, a});
    }
    auto response = service([&](Client& c) { return c.read(std::move(request)); });
    if (response.results.size() != (last - first) * kPerItem)
      throw hresult_error(hr::E_FAIL, "The server answered a Read with the wrong number of values");
    for (std::size_t i = first; i < last; ++i) {
      const DataValue* r = &response.results[(i - first) * kPerItem];
      UaItem& item = items[i];
      auto node_class = to_automation(r[0].value);
      if (status::is_bad(r[0].status.value_or(0)) || !node_class || node_class->vt() != VT_I4 ||
          node_class->i4() != node_class::Variable) {
        out.push_back(hr::OPC_E_UNKNOWNITEMID);
        continue;
      }
      NodeId data_type;
      if (r[1].value.type == BuiltinType::NodeId && !r[1].value.is_array)
        data_type = std::get<NodeId>(r[1].value.values.front());
      std::int32_t rank = -1;
      if (auto v = to_automation(r[2].value); v && v->vt() == VT_I4) rank = v->i4();
      if (auto v = to_automation(r[3].value); v && v->vt() == VT_UI1)
        item.access = static_cast<std::int32_t>(v->unsigned_payload() & (opcda::OPC_READABLE | opcda::OPC_WRITEABLE));
      item.canonical = canonical_type(data_type, rank);
      item.write_array = rank >= 0;
      if (auto builtin = builtin_of_data_type(data_type)) {
        item.write_type = *builtin;
      } else if (!r[4].value.is_null() && vartype_of(r[4].value.type) != VT_EMPTY) {
        // An abstract type (BaseDataType, Number): the value it holds now says what it takes.
        item.write_type = r[4].value.type;
        item.write_array = r[4].value.is_array;
        VarType vt = vartype_of(item.write_type);
        item.canonical = item.write_array && !(vt & VT_ARRAY) ? static_cast<VarType>(VT_ARRAY | vt) : vt;
      }
      out.push_back(hr::S_OK);
    }
  }
  return out;
}

HRESULT UaConnection::convert_for_write(const UaItem& item, const Variant& value, WriteValue& out) {
  BuiltinType type = item.write_type;
  bool array = item.write_array;
  if (type == BuiltinType::Variant) {
    type = natural_builtin(value.vt());
    array = value.is_array();
    if (type == BuiltinType::Variant) return hr::OPC_E_BADTYPE;
  }
  try {
    out.node = item.node;
    out.attribute = attribute::Value;
    out.value = DataValue();
    out.value.has_value = true;
    out.value.value = from_automation(value, type, array);
    return hr::S_OK;
  } catch (const AutomationError& e) {
    return e.hresult() == hr::DISP_E_OVERFLOW ? hr::OPC_E_RANGE : hr::OPC_E_BADTYPE;
  }
}

HRESULT UaConnection::write_error(StatusCode code) {
  if (!status::is_bad(code)) return hr::S_OK;
  switch (code & 0xFFFF0000u) {
    case status::BadTypeMismatch: return hr::OPC_E_BADTYPE;
    case status::BadNotWritable:
    case status::BadUserAccessDenied: return hr::OPC_E_BADRIGHTS;
    case status::BadOutOfRange: return hr::OPC_E_RANGE;
    case status::BadNodeIdUnknown: return hr::OPC_E_UNKNOWNITEMID;
    default: return hr::E_FAIL;
  }
}

std::vector<HRESULT> UaConnection::write(const std::vector<const UaItem*>& items, const std::vector<Variant>& values) {
  std::vector<HRESULT> out(items.size(), hr::S_OK);
  WriteRequest request;
  std::vector<std::size_t> sent;
  for (std::size_t i = 0; i < items.size(); ++i) {
    WriteValue wv;
    out[i] = convert_for_write(*items[i], values[i], wv);
    if (out[i] == hr::S_OK) {
      request.nodes.push_back(std::move(wv));
      sent.push_back(i);
    }
  }
  if (sent.empty()) return out;
  auto response = service([&](Client& c) { return c.write(std::move(request)); });
  for (std::size_t k = 0; k < sent.size(); ++k)
    out[sent[k]] = k < response.results.size() ? write_error(response.results[k]) : hr::E_FAIL;
  return out;
}

void UaConnection::start(std::string url, UaModuleOptions options) {
  url_ = std::move(url);
  options_ = std::move(options);
  hook(*client);
  watch_status();
  keep_publishing({});
}

void UaConnection::watch_status() {
  status_subscription_ = 0;
  try {
    CreateSubscriptionRequest request;
    request.publishing_interval = kStatusInterval;
    request.lifetime_count = kStatusLifetime;
    request.max_keep_alive_count = kStatusKeepAlive;
    request.publishing_enabled = true;
    auto response = client->create_subscription(request);
    CreateMonitoredItemsRequest items;
    items.subscription_id = response.subscription_id;
    for (std::uint32_t node : {kState, kSecondsTillShutdown, kShutdownReason}) {
      MonitoredItemCreate m;
      m.node = NodeId(0, node);
      m.client_handle = node;
      m.sampling_interval = kStatusInterval;
      items.items.push_back(std::move(m));
    }
    client->create_monitored_items(items);
    status_subscription_ = response.subscription_id;
  } catch (const UaError& e) {
    // A server without subscriptions for its status still has its state read with every
    // keep-alive; a lost connection shows at the next call.
    if (e.connection_lost()) throw_error(e);
  }
}

void UaConnection::keep_publishing(std::chrono::milliseconds keep_alive) {
  const std::size_t subscriptions = group_list.size() + (status_subscription_ ? 1 : 0);
  if (subscriptions == 0) return;
  if (status_subscription_) keep_alive = std::max(keep_alive, kStatusKeepAliveTime);
  client->publish(publish_depth(subscriptions), keep_alive);
}

void UaConnection::on_status(const PublishResponse& response) {
  bool shutting_down = false;
  for (const auto& change : response.data_changes) {
    const Variant v = sample_of(response, change).value;
    if (v.is_array() || v.vt() == VT_EMPTY || v.vt() == VT_NULL) continue;
    try {
      switch (change.client_handle) {
        case kState: shutting_down = shutting_down || to_i4(v) == kUaStateShutdown; break;
        case kSecondsTillShutdown: shutting_down = shutting_down || to_r8(v) > 0; break;
        case kShutdownReason: shutdown_reason_ = to_bstr(v); break;
        default: break;
      }
    } catch (const AutomationError&) {
      // A status value of another type than the standard's says nothing about a shutdown.
    }
  }
  if (shutting_down) announce_shutdown(shutdown_reason_);
}

void UaConnection::announce_shutdown(const std::string& reason) {
  // Once per connection, whichever sees it first: the status subscription or the keep-alive.
  if (!connected_ || shutdown_announced_) return;
  shutdown_announced_ = true;
  shutdown_.raise(reason.empty() ? "the server is shutting down" : reason);
}

void UaConnection::hook(Client& c) {
  std::weak_ptr<UaConnection> weak = shared_from_this();
  Apartment* target = &apartment;
  std::weak_ptr<const void> alive = apartment_alive;
  std::uint64_t generation = generation_;
  c.set_publish_handler([weak, target, alive](PublishResponse response) {
    // On the I/O thread: only the decoded answer crosses to the apartment.
    if (alive.expired()) return;
    target->post([weak, response = std::move(response)]() mutable {
      if (auto self = weak.lock()) self->deliver(response);
    });
  });
  c.set_shutdown_handler([weak, target, alive](const std::string& reason) {
    if (alive.expired()) return;
    target->post([weak, reason] {
      if (auto self = weak.lock()) self->announce_shutdown(reason);
    });
  });
  c.set_failure_handler([weak, target, alive, generation](const std::string& why) {
    if (alive.expired()) return;
    target->post([weak, generation, why] {
      if (auto self = weak.lock()) self->on_lost(generation, why);
    });
  });
}

void UaConnection::on_lost(std::uint64_t generation, const std::string& why) {
  if (generation != generation_ || !connected_ || down_) return;
  down_ = true;
  lost_reason_ = why;
  // A host sees "no communication" instead of the last good value standing.
  const std::int32_t lost = quality_of(status::BadNoCommunication);
  const DATE now = to_date(now_ticks());
  for (auto group : std::vector<std::shared_ptr<UaGroupState>>(group_list)) {
    if (group->removed || !group->active || !group->subscribed) continue;
    group->changes.start(group->items.size());
    for (const auto& item : group->items) {
      if (item.active) group->changes.add(item.client_handle, Variant(), lost, now);
    }
    raise(*group);
  }
  schedule_retry();
}

void UaConnection::schedule_retry() {
  if (!connected_) return;
  const auto pause = opcda::retry_pause(options_.first_retry, options_.last_retry, attempts_++);
  std::weak_ptr<UaConnection> weak = shared_from_this();
  retry_timer_ = apartment.set_timer(
      pause,
      [weak] {
        if (auto self = weak.lock()) {
          self->retry_timer_.reset();
          self->attempt();
        }
      },
      false);
}

void UaConnection::attempt() {
  if (!connected_) return;
  if (reconnect_thread_.joinable()) reconnect_thread_.join();
  // Connecting blocks for up to the connect timeout: off the apartment, which goes on meanwhile.
  std::weak_ptr<UaConnection> weak = shared_from_this();
  Apartment* target = &apartment;
  std::weak_ptr<const void> alive = apartment_alive;
  std::uint64_t generation = generation_;
  SessionState session = client->session_state();
  reconnect_thread_ =
      std::thread([url = client->url(), options = client->options(), weak, target, alive, generation, session] {
        std::shared_ptr<Client> fresh;
        std::string why;
        bool resumed = false, refused = false;
        try {
          fresh = Client::open(url, options);
          // The session (and its subscriptions) may still be there: the server keeps it for its
          // timeout. Otherwise a new one.
          resumed = !session.token.is_null() && fresh->resume_session(session);
          if (!resumed) fresh->create_session();
        } catch (const UaError& e) {
          fresh.reset();
          why = e.what();
          // The server answered, and we (or it) refused: a person has to act, so it is said.
          refused = !e.connection_lost();
        }
        if (alive.expired()) return;
        target->post([weak, generation, fresh, why, resumed, refused] {
          auto self = weak.lock();
          if (!self) return;
          if (fresh) {
            self->adopt(generation, fresh, resumed);
          } else if (generation == self->generation_ && self->connected_ && self->down_) {
            if (refused && why != self->lost_reason_) log_note("the connection cannot be restored: " + why);
            self->lost_reason_ = why;
            self->schedule_retry();
          }
        });
      });
}

void UaConnection::adopt(std::uint64_t generation, std::shared_ptr<Client> fresh, bool resumed) {
  if (generation != generation_ || !connected_ || !down_) {
    fresh->close();
    return;
  }
  client->close();
  client = std::move(fresh);
  ++generation_;
  hook(*client);
  down_ = false;
  try {
    restore(resumed);
    attempts_ = 0;
  } catch (const AutomationError& e) {
    // The server went again while the subscriptions came back: as any other loss.
    down_ = false;
    on_lost(generation_, e.what());
  }
}

void UaConnection::restore(bool resumed) {
  // A resumed session keeps its status subscription; a new one watches the status anew.
  shutdown_announced_ = false;
  shutdown_reason_.clear();
  if (!resumed) watch_status();
  std::vector<std::shared_ptr<UaGroupState>> groups(group_list);
  if (groups.empty()) {
    delete_dropped(resumed, {});
    keep_publishing({});
    return;
  }
  std::chrono::milliseconds keep_alive{0};
  if (resumed) {
    std::vector<std::uint32_t> all;
    for (const auto& g : groups) all.push_back(g->subscription_id);
    delete_dropped(true, all);
    // Same session, same subscriptions: publishing goes on, and every item reports afresh.
    for (const auto& g : groups) {
      if (g->active && g->subscribed) refresh(g);
      Timing t = timing_for(g->update_rate);
      keep_alive =
          std::max(keep_alive, std::chrono::milliseconds(static_cast<std::int64_t>(t.interval * t.keep_alive_count)));
    }
    keep_publishing(keep_alive);
    return;
  }
  TransferSubscriptionsRequest request;
  for (const auto& g : groups) request.subscription_ids.push_back(g->subscription_id);
  std::vector<StatusCode> results(groups.size(), status::BadUnexpectedError);
  try {
    auto response = client->transfer_subscriptions(std::move(request));
    for (std::size_t i = 0; i < results.size() && i < response.results.size(); ++i) results[i] = response.results[i];
  } catch (const UaError& e) {
    // A server that cannot transfer (or has lost them, after a restart) gets them anew.
    if (e.connection_lost()) throw_error(e);
  }
  std::vector<std::uint32_t> transferred;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (!status::is_bad(results[i])) transferred.push_back(groups[i]->subscription_id);
  }
  delete_dropped(false, transferred);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    auto& g = *groups[i];
    if (status::is_bad(results[i])) {
      subscribe(g);
    } else if (g.active && g.subscribed) {
      refresh(groups[i]);  // the transferred items' values, as a new subscription's first callback
    }
    Timing t = timing_for(g.update_rate);
    keep_alive =
        std::max(keep_alive, std::chrono::milliseconds(static_cast<std::int64_t>(t.interval * t.keep_alive_count)));
  }
  keep_publishing(keep_alive);
}

void UaConnection::delete_dropped(bool resumed, const std::vector<std::uint32_t>& surviving) {
  auto subscriptions = std::move(dropped_subscriptions_);
  auto items = std::move(dropped_items_);
  dropped_subscriptions_.clear();
  dropped_items_.clear();
  try {
    // A subscription of a session that was not resumed ends with that session.
    if (resumed && !subscriptions.empty()) {
      DeleteSubscriptionsRequest request;
      request.subscription_ids = std::move(subscriptions);
      client->delete_subscriptions(std::move(request));
    }
    for (auto& [subscription, ids] : items) {
      // In a subscription made anew the old ids mean nothing, or another item.
      if (std::find(surviving.begin(), surviving.end(), subscription) == surviving.end()) continue;
      DeleteMonitoredItemsRequest request;
      request.subscription_id = subscription;
      request.monitored_item_ids = std::move(ids);
      client->delete_monitored_items(std::move(request));
    }
  } catch (const UaError& e) {
    // Already gone on the server is as good; a connection lost again is handled as any other.
    if (e.connection_lost()) throw_error(e);
  }
}

void UaConnection::subscribe(UaGroupState& g) {
  Timing t = timing_for(g.update_rate);
  CreateSubscriptionRequest request;
  request.publishing_interval = t.interval;
  request.lifetime_count = t.lifetime_count;
  request.max_keep_alive_count = t.keep_alive_count;
  request.publishing_enabled = g.active;
  auto response = service([&](Client& c) { return c.create_subscription(request); });
  g.subscription_id = response.subscription_id;
  g.update_rate = static_cast<std::int32_t>(std::lround(response.publishing_interval));
  std::vector<UaItem*> items;
  for (auto& item : g.items) {
    item.monitored_item_id = 0;
    items.push_back(&item);
  }
  if (!items.empty()) monitor(g, items);
  // The group joins the list after this; its Publish request counts already.
  const std::size_t subscriptions = group_list.size() + 1 + (status_subscription_ ? 1 : 0);
  client->publish(publish_depth(subscriptions),
                  std::max(status_subscription_ ? kStatusKeepAliveTime : std::chrono::milliseconds(0),
                           std::chrono::milliseconds(static_cast<std::int64_t>(response.publishing_interval *
                                                                               response.max_keep_alive_count))));
}

void UaConnection::stop_healing() {
  if (retry_timer_ && !apartment_alive.expired()) apartment.kill_timer(*retry_timer_);
  retry_timer_.reset();
}

void UaConnection::raise(UaGroupState& group) {
  if (group.changes.size() > 0) last_update = to_date(now_ticks());
  group.changes.raise(group.data_change);
}

DaSample sample_of(const PublishResponse& response, const ItemNotification& change) {
  try {
    Reader r(change.data_value, response.limits);
    return decode_da_sample(r);
  } catch (const DecodeError&) {
    // The stack has read past this DataValue under the same limits, so this is not expected;
    // should it happen, the item says its value is unusable rather than ending the connection.
    return DaSample{Variant(), kQualityConfigError, 0};
  }
}

void collect_changes(UaGroupState& group, const PublishResponse& response) {
  group.changes.start(response.data_changes.size());
  for (const auto& change : response.data_changes) {
    // The monitored item's handle is the item's server handle.
    const UaItem* item = group.find_item(static_cast<std::int32_t>(change.client_handle));
    if (item && item->active) group.add_change(*item, sample_of(response, change));
  }
}

void UaConnection::deliver(PublishResponse& response) {
  if (!connected_) return;
  if (status_subscription_ && response.subscription_id == status_subscription_) return on_status(response);
  std::shared_ptr<UaGroupState> group;
  for (const auto& g : group_list) {
    if (g->subscription_id == response.subscription_id) group = g;
  }
  if (!group || !group->active || !group->subscribed) return;
  collect_changes(*group, response);
  raise(*group);
}

void UaConnection::refresh(const std::shared_ptr<UaGroupState>& group) {
  std::weak_ptr<UaGroupState> weak = group;
  std::weak_ptr<UaConnection> self = shared_from_this();
  apartment.post([weak, self] {
    auto g = weak.lock();
    auto c = self.lock();
    if (!g || !c || g->removed || !g->active || !g->subscribed || !c->connected_) return;
    std::vector<const UaItem*> items;
    std::vector<NodeId> nodes;
    for (const auto& item : g->items) {
      if (item.active && (item.access & opcda::OPC_READABLE)) {
        items.push_back(&item);
        nodes.push_back(item.node);
      }
    }
    if (nodes.empty()) return;
    std::vector<DataValue> values;
    try {
      values = c->read_values(nodes);
    } catch (const AutomationError&) {
      return;  // the connection is failing; its calls say so
    }
    g->changes.start(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) g->add_change(*items[i], to_da_sample(values[i], VT_EMPTY));
    c->raise(*g);
  });
}

void UaConnection::change_rate(UaGroupState& group, std::int32_t milliseconds) {
  std::int32_t rate = opcda::revise_update_rate(milliseconds);
  Timing t = timing_for(rate);
  ModifySubscriptionRequest request;
  request.subscription_id = group.subscription_id;
  request.publishing_interval = t.interval;
  request.lifetime_count = t.lifetime_count;
  request.max_keep_alive_count = t.keep_alive_count;
  auto response = service([&](Client& c) { return c.modify_subscription(std::move(request)); });
  const std::int32_t before = group.update_rate;
  group.update_rate = static_cast<std::int32_t>(std::lround(response.publishing_interval));
  // The items sample at the group's rate.
  if (group.update_rate != before) remonitor(group);
  keep_publishing(std::chrono::milliseconds(
      static_cast<std::int64_t>(response.publishing_interval * response.max_keep_alive_count)));
}

void UaConnection::set_publishing(UaGroupState& group, bool enabled) {
  std::vector<const UaItem*> active;
  for (const auto& item : group.items) {
    if (item.active) active.push_back(&item);
  }
  // Reporting resumes before publishing does, so that the first answer holds every item.
  if (enabled) set_monitoring(group, active, true);
  SetPublishingModeRequest request;
  request.enabled = enabled;
  request.subscription_ids.push_back(group.subscription_id);
  service([&](Client& c) { return c.set_publishing_mode(std::move(request)); });
  if (!enabled) set_monitoring(group, active, false);
}

void UaConnection::set_monitoring(UaGroupState& group, const std::vector<const UaItem*>& items, bool reporting) {
  for (std::size_t first = 0; first < items.size(); first += kMonitoredPerCall) {
    SetMonitoringModeRequest request;
    request.subscription_id = group.subscription_id;
    request.monitoring_mode = reporting ? kMonitoringReporting : kMonitoringDisabled;
    for (std::size_t i = first; i < std::min(items.size(), first + kMonitoredPerCall); ++i) {
      if (items[i]->monitored_item_id) request.monitored_item_ids.push_back(items[i]->monitored_item_id);
    }
    if (request.monitored_item_ids.empty()) continue;
    service([&](Client& c) { return c.set_monitoring_mode(std::move(request)); });
  }
}

void UaConnection::remonitor(UaGroupState& group) {
  std::vector<UaItem*> items;
  for (auto& item : group.items) {
    if (item.monitored_item_id) items.push_back(&item);
  }
  for (std::size_t first = 0; first < items.size(); first += kMonitoredPerCall) {
    const std::size_t last = std::min(items.size(), first + kMonitoredPerCall);
    // Once with the deadband; those of its items that cannot take one, again without.
    std::vector<UaItem*> batch(items.begin() + static_cast<std::ptrdiff_t>(first),
                               items.begin() + static_cast<std::ptrdiff_t>(last));
    for (bool with_deadband : {group.deadband > 0, false}) {
      ModifyMonitoredItemsRequest request;
      request.subscription_id = group.subscription_id;
      for (const UaItem* item : batch) {
        MonitoredItemModify m;
        m.monitored_item_id = item->monitored_item_id;
        m.client_handle = static_cast<std::uint32_t>(item->server_handle);
        m.sampling_interval = group.update_rate;
        if (with_deadband) m.percent_deadband = group.deadband;
        request.items.push_back(m);
      }
      auto response = service([&](Client& c) { return c.modify_monitored_items(std::move(request)); });
      std::vector<UaItem*> refused;
      for (std::size_t i = 0; i < batch.size() && i < response.results.size(); ++i) {
        if (with_deadband && refuses_deadband(response.results[i])) {
          refused.push_back(batch[i]);
        } else if (!status::is_bad(response.results[i])) {
          batch[i]->filtered = with_deadband;
        }
      }
      batch = std::move(refused);
      if (batch.empty()) break;
    }
  }
}

void UaConnection::monitor(UaGroupState& group, std::vector<UaItem*> items) {
  for (std::size_t first = 0; first < items.size(); first += kMonitoredPerCall) {
    std::size_t last = std::min(items.size(), first + kMonitoredPerCall);
    CreateMonitoredItemsRequest request;
    request.subscription_id = group.subscription_id;
    for (std::size_t i = first; i < last; ++i) {
      MonitoredItemCreate m;
      m.node = items[i]->node;
      m.client_handle = static_cast<std::uint32_t>(items[i]->server_handle);
      m.sampling_interval = group.update_rate;
      m.monitoring_mode = group.active && items[i]->active ? kMonitoringReporting : kMonitoringDisabled;
      if (group.deadband > 0) m.percent_deadband = group.deadband;
      request.items.push_back(std::move(m));
    }
    auto response = service([&](Client& c) { return c.create_monitored_items(request); });
    std::vector<UaItem*> without_filter;
    for (std::size_t i = first; i < last && i - first < response.results.size(); ++i) {
      const auto& r = response.results[i - first];
      if (!status::is_bad(r.status)) {
        items[i]->monitored_item_id = r.monitored_item_id;
        items[i]->filtered = group.deadband > 0;
      } else if (group.deadband > 0 && refuses_deadband(r.status)) {
        without_filter.push_back(items[i]);
      }
    }
    if (!without_filter.empty()) {
      float deadband = group.deadband;
      group.deadband = 0;
      monitor(group, without_filter);
      group.deadband = deadband;
    }
  }
}

void UaConnection::unmonitor(UaGroupState& group, const std::vector<std::uint32_t>& ids) {
  if (ids.empty()) return;
  if (!reachable()) {
    dropped_items_.emplace_back(group.subscription_id, ids);
    return;
  }
  DeleteMonitoredItemsRequest request;
  request.subscription_id = group.subscription_id;
  request.monitored_item_ids = ids;
  service([&](Client& c) { return c.delete_monitored_items(std::move(request)); });
}

std::shared_ptr<UaGroupState> UaConnection::add_group(const std::string& name) {
  std::string n = opcda::new_group_name(group_list, name, unnamed_groups_);
  auto g = std::make_shared<UaGroupState>();
  g->name = n;
  g->server_handle = next_handle();
  g->active = default_active;
  g->update_rate = opcda::revise_update_rate(default_update_rate);
  g->deadband = default_deadband;
  subscribe(*g);
  group_list.push_back(g);
  return g;
}

void UaConnection::remove_group(const std::shared_ptr<UaGroupState>& group) {
  // While the connection is lost a group goes at once, so that a host can always disconnect;
  // its subscription is deleted when the connection is back.
  if (reachable()) {
    DeleteSubscriptionsRequest request;
    request.subscription_ids.push_back(group->subscription_id);
    service([&](Client& c) { return c.delete_subscriptions(std::move(request)); });
  } else {
    dropped_subscriptions_.push_back(group->subscription_id);
  }
  group->removed = true;
  group_list.erase(std::remove(group_list.begin(), group_list.end(), group), group_list.end());
}

std::shared_ptr<UaGroupState> UaConnection::find_group(const Variant& key, bool by_position) {
  return opcda::find_group_in(group_list, key, by_position);
}

std::shared_ptr<opcda::ServerModule> make_ua_module(std::string url, UaModuleOptions options) {
  return std::make_shared<UaModule>(std::move(url), std::move(options));
}

void install_opcua(opcda::ServerRegistry& registry, UaModuleOptions options) {
  registry.register_scheme("opc.tcp", std::make_shared<UaHandler>(std::move(options)));
}

void uninstall_opcua(opcda::ServerRegistry& registry) { registry.register_scheme("opc.tcp", nullptr); }

}  // namespace vexa32::opcua
