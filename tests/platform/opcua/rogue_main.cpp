// The rogue server on its own, to try a host against it:
//   ua-rogue --flood MB    floods the first client that asks anything with MB megabytes of
//                          never-final answers to requests it never sent;
//   ua-rogue --user-token  offers only None, with a user name login protected by Basic256Sha256;
//   ua-rogue --downgrade   raises the level of its Sign endpoint in discovery, not in the session.
// It prints its URL, serves until SIGINT or SIGTERM, then prints the ActivateSession requests
// that reached it.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "rogue_server.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
}

int main(int argc, char** argv) {
  using namespace vexa32;
  testing::RogueBehaviour behaviour;
  opcua::crypto::CertificateRequest request;
  request.common_name = "rogue";
  request.application_uri = "urn:rogue";
  request.ip_addresses = {"127.0.0.1"};
  behaviour.certificate = opcua::crypto::make_certificate(request);
  behaviour.endpoints = {testing::rogue_endpoint("None", 1, 0, {{0, ""}})};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flood" && i + 1 < argc) {
      behaviour.flood_bytes = std::strtoull(argv[++i], nullptr, 10) << 20;
    } else if (arg == "--user-token") {
      behaviour.endpoints = {testing::rogue_endpoint("None", 1, 0, {{0, ""}, {1, "Basic256Sha256"}})};
    } else if (arg == "--downgrade") {
      behaviour.endpoints = {testing::rogue_endpoint("Basic256Sha256", 2, 10, {{1, ""}}),
                             testing::rogue_endpoint("Basic256Sha256", 3, 20, {{1, ""}})};
      behaviour.session_endpoints = behaviour.endpoints;
      behaviour.endpoints[0].security_level = 90;
    } else {
      std::cerr << "usage: ua-rogue [--flood MB] [--user-token] [--downgrade]\n";
      return 2;
    }
  }
  std::signal(SIGINT, [](int) { g_stop = 1; });
  std::signal(SIGTERM, [](int) { g_stop = 1; });
  testing::RogueServer server(behaviour);
  std::cout << server.url() << std::endl;
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::cout << "ActivateSession requests: " << server.activations() << ", flood bytes sent: " << server.flooded()
            << std::endl;
}
