#pragma once
// A UA server of the tests' own on a loopback port, which says what a test makes it say: its
// endpoints (one list for discovery, another in the CreateSession answer), its certificate, the
// length of its nonces, whether it takes a login, or a flood of answers nobody asked for. It
// speaks None and the three policies through the project's own channel code, playing the other
// side of it, and counts what reached it, so a test can see whether a password ever did.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/opcua/crypto/certificate.h"
#include "platform/opcua/services.h"

namespace vexa32::testing {

struct RogueBehaviour {
  opcua::crypto::MadeCertificate certificate;  // the server's own
  // What GetEndpoints gives; their URLs and certificates are filled in.
  std::vector<opcua::EndpointDescription> endpoints;
  // What the CreateSession answer gives; without it, the same as discovery.
  std::optional<std::vector<opcua::EndpointDescription>> session_endpoints;
  std::size_t create_nonce = 32, activate_nonce = 32;
  opcua::StatusCode activate_result = 0;  // a Bad code: ActivateSession is refused with it
  // Sent in place of the first answer: never-final chunks under request ids nobody sent, this
  // many bytes in all, spread over 63 ids (channels without security only).
  std::uint64_t flood_bytes = 0;
};

// One endpoint as a server lists it: policy by its short name, mode 1 None, 2 Sign, 3
// SignAndEncrypt; tokens as (type, token policy short name or "" for the endpoint's).
opcua::EndpointDescription rogue_endpoint(const char* policy, int mode, std::uint8_t level,
                                          std::vector<std::pair<int, const char*>> tokens,
                                          const std::string& application_uri = "urn:rogue");

class RogueServer {
 public:
  explicit RogueServer(RogueBehaviour behaviour);
  ~RogueServer();
  RogueServer(const RogueServer&) = delete;
  RogueServer& operator=(const RogueServer&) = delete;

  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  int activations() const { return activations_; }  // ActivateSession requests that arrived
  int sessions_open() const { return created_ - closed_; }
  std::uint64_t flooded() const { return flooded_; }  // bytes of the flood that went out

 private:
  void accept_loop();
  void serve(int fd);

  RogueBehaviour behaviour_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> activations_{0}, created_{0}, closed_{0};
  std::atomic<std::uint64_t> flooded_{0};
  std::mutex mutex_;
  std::vector<int> connections_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace vexa32::testing
