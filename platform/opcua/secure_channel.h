#pragma once
// The protection of the secure channel's chunks: what goes out is signed (and encrypted) as the
// policy and the mode say, what comes in is checked before anything in it is decoded. Under
// SecurityPolicy None it only cuts and passes chunks through. No sockets: the client feeds it.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/opcua/crypto/certificate.h"
#include "platform/opcua/crypto/security_policy.h"
#include "platform/opcua/transport.h"

namespace vexa32::opcua {

struct ChannelSecurity {
  const crypto::SecurityPolicy* policy = &crypto::none_policy();
  crypto::SecurityMode mode = crypto::SecurityMode::None;
  crypto::Certificate own_certificate;
  crypto::Key own_key;
  // The server's certificate as its endpoint names it: a chain whose first is the server's own.
  std::string server_certificate;

  bool secure() const { return !policy->none && mode != crypto::SecurityMode::None; }
};

class SecureChannel {
 public:
  // CryptoError or TransportFault when the credentials do not fit the policy (a key too short).
  explicit SecureChannel(ChannelSecurity security);

  const ChannelSecurity& security() const noexcept { return security_; }
  bool secure() const noexcept { return security_.secure(); }
  const crypto::Certificate& server_certificate() const noexcept { return server_; }

  // A fresh nonce for an OpenSecureChannel request (empty under None); remembered for the keys.
  std::string new_client_nonce();
  // The nonce this side sent, given: a channel that plays the other side of another one takes
  // that one's server nonce here (benchmarks and fuzzers).
  void set_client_nonce(std::string nonce) { client_nonce_ = std::move(nonce); }
  // The answer gave a token and the server's nonce: its keys protect what follows. The previous
  // token's keys still open what the server sent before it took the new one.
  void install_token(std::uint32_t token_id, std::string_view server_nonce);
  std::uint32_t token_id() const noexcept { return token_id_; }

  // A message as protected chunks within the negotiated sizes; sequence is the last number used.
  // TransportFault (BadRequestTooLarge) when it does not fit.
  std::vector<std::string> split(std::string_view type, std::uint32_t channel_id, std::uint32_t request_id,
                                 std::uint32_t& sequence, std::string_view body, const BufferLimits& send);
  // One received chunk checked and opened: the same chunk in clear without padding and signature,
  // its size set to match. TransportFault BadSecurityChecksFailed when any check fails.
  std::string open(std::string chunk);

 private:
  struct Keys {
    crypto::SymmetricKeys client, server;  // what each side sends
  };
  std::vector<std::string> split_open(std::uint32_t channel_id, std::uint32_t request_id, std::uint32_t& sequence,
                                      std::string_view body, const BufferLimits& send);
  std::string open_asymmetric(std::string chunk);
  std::string open_symmetric(std::string chunk);
  std::string asymmetric_header() const;

  ChannelSecurity security_;
  crypto::Certificate server_;
  crypto::Key server_key_;
  std::string client_nonce_;
  std::uint32_t token_id_ = 0;
  std::map<std::uint32_t, Keys> keys_;  // by token id: the current and the one before
};

}  // namespace vexa32::opcua
