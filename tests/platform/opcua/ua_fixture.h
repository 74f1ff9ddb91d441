#pragma once
// The node-opcua test server that the CTest fixture started, and a loopback proxy in front of it
// that a test can cut. Tests that need the server are skipped, with the fixture's reason, when it
// could not run.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "platform/apartment/apartment.h"
#include "platform/opcua/da/ua_server.h"

namespace vexa32::testing {

// The server's URL; empty with the reason in why when there is none. The secure one is the
// server in its secure mode (Sign and SignAndEncrypt only, a user with a password).
inline std::string ua_test_server(std::string& why, bool secure = false) {
  const char* given = std::getenv("VEXA32_UA_STATE");
#ifdef VEXA32_UA_DEFAULT_STATE
  if (!given) given = VEXA32_UA_DEFAULT_STATE;  // where this build's CTest fixture keeps it
#endif
  if (!given) {
    why = "VEXA32_UA_STATE is not set: run the OPC UA tests through CTest";
    return {};
  }
  const std::string state = std::string(given) + (secure ? "_secure" : "");
  std::ifstream url(state + "/url");
  std::string text;
  if (url >> text) return text;
  std::ifstream skip(state + "/skip");
  std::getline(skip, why);
  if (why.empty()) why = "the OPC UA test server did not start";
  return {};
}

#define VEXA32_REQUIRE_UA_SERVER(url_variable)              \
  std::string url_variable;                                 \
  {                                                         \
    std::string why_;                                       \
    url_variable = ::vexa32::testing::ua_test_server(why_); \
    if (url_variable.empty()) GTEST_SKIP() << why_;         \
  }

#define VEXA32_REQUIRE_UA_SECURE_SERVER(url_variable)            \
  std::string url_variable;                                       \
  {                                                               \
    std::string why_;                                             \
    url_variable = ::vexa32::testing::ua_test_server(why_, true); \
    if (url_variable.empty()) GTEST_SKIP() << why_;               \
  }

inline int port_of(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

// Forwards one loopback port to another until cut; a cut closes every connection through it.
class TcpProxy {
 public:
  explicit TcpProxy(int target_port);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;
  int port() const { return port_; }
  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  // Closes both sides of every connection now.
  void cut() { cut_requests_++; }
  // Forwards half of the next piece the server sends, then closes everything: a cut in the
  // middle of a message.
  void cut_mid_message() { mid_message_ = true; }
  // Connections forwarded so far.
  int connections() const { return connections_; }
  // While set, new connections are closed at once: a server that cannot be reached.
  void refuse(bool on) { refusing_ = on; }
  // Connections tried so far, refused ones too.
  int attempts() const { return attempts_; }
  // Changes one bit near the end of the next piece the server sends: inside a chunk's signature
  // or its encrypted part.
  void flip_next() { flip_ = true; }

 private:
  void run();
  int target_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> cut_requests_{0};
  std::atomic<bool> mid_message_{false};
  std::atomic<bool> flip_{false};
  std::atomic<int> connections_{0};
  std::atomic<bool> refusing_{false};
  std::atomic<int> attempts_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vexa32::testing
