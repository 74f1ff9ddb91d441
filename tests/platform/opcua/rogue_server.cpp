#include "rogue_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/opcua/crypto/security_policy.h"
#include "platform/opcua/endpoint_choice.h"
#include "platform/opcua/secure_channel.h"

namespace vexa32::testing {
namespace {

using namespace opcua;

constexpr std::uint32_t kChannelId = 7, kTokenId = 1;
constexpr std::uint32_t kGetEndpoints = 428, kCreateSession = 461, kActivateSession = 467, kCloseSession = 473,
                        kOpenSecureChannel = 446;

// Reads exactly n bytes; false when the peer is gone or the server stops.
bool read_exact(int fd, std::string& out, std::size_t n, const std::atomic<bool>& stop) {
  out.resize(n);
  std::size_t done = 0;
  while (done < n) {
    pollfd p{fd, POLLIN, 0};
    if (stop) return false;
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t got = ::recv(fd, out.data() + done, n - done, 0);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

void put_response_header(Writer& w, std::uint32_t handle, StatusCode result) {
  w.i64(now_ticks());
  w.u32(handle);
  w.u32(result);
  w.u8(0);    // no diagnostics
  w.i32(-1);  // no string table
  encode(w, ExtensionObject{});
}

void put_endpoints(Writer& w, const std::vector<EndpointDescription>& endpoints) {
  w.i32(static_cast<std::int32_t>(endpoints.size()));
  for (const auto& e : endpoints) {
    w.string(e.endpoint_url);
    encode(w, e.server);
    w.string(e.server_certificate);
    w.i32(e.security_mode);
    w.string(e.security_policy_uri);
    w.i32(static_cast<std::int32_t>(e.user_identity_tokens.size()));
    for (const auto& t : e.user_identity_tokens) {
      w.string(t.policy_id);
      w.i32(t.token_type);
      w.string(t.issued_token_type);
      w.string(t.issuer_endpoint_url);
      w.string(t.security_policy_uri);
    }
    w.string(e.transport_profile_uri);
    w.u8(e.security_level);
  }
}

std::uint32_t skip_request_header(Reader& r) {
  decode_as<NodeId>(r);  // authentication token
  r.i64();
  const std::uint32_t handle = r.u32();
  r.u32();
  r.string();
  r.u32();
  decode_as<ExtensionObject>(r);
  return handle;
}

std::uint32_t u32_at(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}

}  // namespace

EndpointDescription rogue_endpoint(const char* policy, int mode, std::uint8_t level,
                                   std::vector<std::pair<int, const char*>> tokens,
                                   const std::string& application_uri) {
  EndpointDescription e;
  e.security_policy_uri = std::string("http://opcfoundation.org/UA/SecurityPolicy#") + policy;
  e.security_mode = mode;
  e.security_level = level;
  e.server.application_uri = application_uri;
  e.server.application_type = 0;
  e.transport_profile_uri = std::string(kBinaryTransportProfile);
  int n = 0;
  for (auto [type, token_policy] : tokens) {
    UserTokenPolicy t;
    t.policy_id = "token-" + std::to_string(n++);
    t.token_type = type;
    if (*token_policy)
      t.security_policy_uri = std::string("http://opcfoundation.org/UA/SecurityPolicy#") + token_policy;
    e.user_identity_tokens.push_back(t);
  }
  return e;
}

RogueServer::RogueServer(RogueBehaviour behaviour) : behaviour_(std::move(behaviour)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0)
    throw std::runtime_error("the rogue server cannot listen");
  socklen_t len = sizeof a;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  for (auto* list : {&behaviour_.endpoints}) {
    for (auto& e : *list) {
      e.endpoint_url = url();
      e.server_certificate = behaviour_.certificate.certificate.der();
    }
  }
  if (behaviour_.session_endpoints) {
    for (auto& e : *behaviour_.session_endpoints) e.endpoint_url = url();
  }
  acceptor_ = std::thread([this] { accept_loop(); });
}

RogueServer::~RogueServer() {
  stop_ = true;
  acceptor_.join();
  ::close(listener_);
  for (auto& t : threads_) t.join();
}

void RogueServer::accept_loop() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    // A client that stops reading must not hold the server's thread for ever.
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::lock_guard lock(mutex_);
    threads_.emplace_back([this, fd] {
      try {
        serve(fd);
      } catch (const std::exception&) {
        // A client that breaks off or sends what we cannot read: the connection ends.
      }
      ::close(fd);
    });
  }
}

void RogueServer::serve(int fd) {
  std::string header, rest;
  auto next_chunk = [&]() -> std::optional<std::string> {
    if (!read_exact(fd, header, kHeaderSize, stop_)) return std::nullopt;
    const std::uint32_t size = u32_at(header, 4);
    if (size < kHeaderSize || size > (1u << 20)) return std::nullopt;
    if (!read_exact(fd, rest, size - kHeaderSize, stop_)) return std::nullopt;
    return header + rest;
  };
  auto hello = next_chunk();
  if (!hello || hello->compare(0, 3, "HEL") != 0) return;
  Writer ack;
  put_chunk_header(ack, "ACK", 'F');
  for (std::uint32_t v : {0u, 65536u, 65536u, 0u, 0u}) ack.u32(v);
  ack.patch_u32(4, static_cast<std::uint32_t>(ack.size()));
  write_all(fd, ack.data());

  // The OpenSecureChannel request names the policy and the client's certificate in clear.
  auto open = next_chunk();
  if (!open || open->compare(0, 3, "OPN") != 0) return;
  Reader head(*open);
  head.bytes(kHeaderSize + 4);
  const std::string policy_uri = head.text();
  const std::string client_certificate = head.text();
  const crypto::SecurityPolicy* policy = crypto::find_policy(policy_uri);
  if (!policy) return;
  ChannelSecurity security;
  if (!policy->none) {
    security.policy = policy;
    security.mode = crypto::SecurityMode::SignAndEncrypt;
    security.own_certificate = behaviour_.certificate.certificate;
    security.own_key = behaviour_.certificate.key;
    security.server_certificate = client_certificate;  // the other side, seen from here
  }
  auto channel = std::make_unique<SecureChannel>(security);
  const std::string opened = channel->open(*open);
  Reader o(opened);
  o.bytes(kHeaderSize + 4);
  o.string();
  o.string();
  o.string();
  o.u32();
  const std::uint32_t open_request = o.u32();
  if (decode_as<NodeId>(o).numeric != kOpenSecureChannel) return;
  const std::uint32_t open_handle = skip_request_header(o);
  o.u32();
  o.i32();
  const auto mode = static_cast<crypto::SecurityMode>(o.i32());
  const std::string client_nonce = o.text();
  if (!policy->none && mode != crypto::SecurityMode::SignAndEncrypt) {
    security.mode = mode;
    channel = std::make_unique<SecureChannel>(security);
  }
  const std::string server_nonce = policy->none ? std::string() : crypto::random_bytes(policy->nonce);
  Writer reply;
  encode(reply, NodeId(0, 449));
  put_response_header(reply, open_handle, 0);
  reply.u32(0);
  reply.u32(kChannelId);
  reply.u32(kTokenId);
  reply.i64(now_ticks());
  reply.u32(600000);
  reply.string(server_nonce);
  std::uint32_t sequence = 0;
  BufferLimits limits;
  for (auto& chunk : channel->split("OPN", kChannelId, open_request, sequence, reply.data(), limits))
    write_all(fd, chunk);
  channel->set_client_nonce(server_nonce);
  channel->install_token(kTokenId, client_nonce);

  auto answer = [&](std::uint32_t request, const std::string& body) {
    for (auto& chunk : channel->split("MSG", kChannelId, request, sequence, body, limits)) {
      if (!write_all(fd, chunk)) return false;
    }
    return true;
  };
  while (auto chunk = next_chunk()) {
    if (chunk->compare(0, 3, "CLO") == 0) return;
    if (chunk->compare(0, 3, "MSG") != 0) return;
    const std::string plain = channel->open(*chunk);
    Reader r(plain);
    r.bytes(kHeaderSize + 12);
    const std::uint32_t request = r.u32();
    const std::uint32_t type = decode_as<NodeId>(r).numeric;
    const std::uint32_t handle = skip_request_header(r);
    if (behaviour_.flood_bytes && policy->none) {
      // Answers to nothing, never finished: a client that holds them runs out of memory.
      std::uint32_t flood_sequence = sequence;
      const std::string part(65000, 'f');
      std::uint64_t sent = 0;
      for (std::uint32_t id = 1000; id < 1063 && sent < behaviour_.flood_bytes; ++id) {
        for (std::uint64_t mine = 0; mine < behaviour_.flood_bytes / 63 && sent < behaviour_.flood_bytes;
             mine += part.size()) {
          Writer w;
          begin_symmetric_chunk(w, "MSG", 'C', kChannelId, kTokenId, flood_sequence, id);
          w.raw(part);
          w.patch_u32(4, static_cast<std::uint32_t>(w.size()));
          if (!write_all(fd, w.data())) return;
          sent += part.size();
          flooded_ = sent;
        }
      }
      return;
    }
    Writer w;
    switch (type) {
      case kGetEndpoints:
        encode(w, NodeId(0, 431));
        put_response_header(w, handle, 0);
        put_endpoints(w, behaviour_.endpoints);
        break;
      case kCreateSession: {
        decode_as<ApplicationDescription>(r);
        r.string();
        r.string();
        r.string();
        const std::string nonce = r.text();
        const std::string certificate = r.text();
        ++created_;
        encode(w, NodeId(0, 464));
        put_response_header(w, handle, 0);
        encode(w, NodeId(1, 100 + static_cast<std::uint32_t>(created_)));
        encode(w, NodeId(1, 200 + static_cast<std::uint32_t>(created_)));
        w.f64(60000);
        w.string(crypto::random_bytes(behaviour_.create_nonce));
        w.string(behaviour_.certificate.certificate.der());
        put_endpoints(w, behaviour_.session_endpoints ? *behaviour_.session_endpoints : behaviour_.endpoints);
        w.i32(0);  // no software certificates
        if (policy->none) {
          w.null_string();
          w.null_string();
        } else {
          w.string(policy->signature_uri);
          w.string(behaviour_.certificate.key.sign(policy->asymmetric_signature, certificate + nonce));
        }
        w.u32(0);
        break;
      }
      case kActivateSession:
        ++activations_;
        if (behaviour_.activate_result) {
          encode(w, NodeId(0, encoding_id::ServiceFault));
          put_response_header(w, handle, behaviour_.activate_result);
          break;
        }
        encode(w, NodeId(0, 470));
        put_response_header(w, handle, 0);
        w.string(crypto::random_bytes(behaviour_.activate_nonce));
        w.i32(0);
        w.i32(-1);
        break;
      case kCloseSession:
        ++closed_;
        encode(w, NodeId(0, 476));
        put_response_header(w, handle, 0);
        break;
      default:
        encode(w, NodeId(0, encoding_id::ServiceFault));
        put_response_header(w, handle, status::BadServiceUnsupported);
    }
    if (!answer(request, w.data())) return;
  }
}

}  // namespace vexa32::testing
