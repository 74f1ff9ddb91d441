// The client against a server that lies: a rogue that wants a password, a changed endpoint list,
// short nonces, refused logins and a flood of answers to nothing.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/opcua/da/ua_server.h"
#include "platform/opcua/pki/pki.h"
#include "rogue_server.h"

namespace vexa32::testing {
namespace {

using namespace opcua;

constexpr const char* kBasic = "Basic256Sha256";

class UaRogue : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (std::filesystem::temp_directory_path() / "vexa32-rogue-XXXXXX").string();
    ASSERT_NE(::mkdtemp(t.data()), nullptr);
    dir = t;
    module.pki_folder = dir + "/pki";
    module.password_file = dir + "/uapass";
    module.client.timeout = std::chrono::milliseconds(3000);
    std::ofstream(module.password_file) << "# the rogue's\n*:*:operator:secret-42\n";
    ::chmod(module.password_file.c_str(), 0600);
    crypto::CertificateRequest request;
    request.common_name = "rogue";
    request.application_uri = "urn:rogue";
    request.ip_addresses = {"127.0.0.1"};
    server_certificate = crypto::make_certificate(request);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  RogueBehaviour behaviour(std::vector<EndpointDescription> endpoints) {
    RogueBehaviour b;
    b.certificate = server_certificate;
    b.endpoints = std::move(endpoints);
    return b;
  }
  // The address with a user and a query: opc.tcp://user@127.0.0.1:port?query
  static std::string address(const RogueServer& server, const std::string& user, const std::string& query = "") {
    std::string a = server.url();
    if (!user.empty()) a.insert(std::string("opc.tcp://").size(), user + "@");
    return query.empty() ? a : a + "?" + query;
  }
  // The status code of the refusal; 0 when it connected.
  StatusCode connect(const std::string& text, std::string* message = nullptr) {
    try {
      connect_session(text, module)->close();
      return 0;
    } catch (const UaError& e) {
      if (message) *message = e.what();
      return e.code();
    }
  }

  std::string dir;
  UaModuleOptions module;
  crypto::MadeCertificate server_certificate;
};

// A server that offers only None, with a user token protected by Basic256Sha256 and a certificate
// nobody checked, gets no password and no user signature until the store accepts it.
TEST_F(UaRogue, APasswordGoesOnlyToAServerWhoseCertificateTheStoreAccepts) {
  RogueServer server(behaviour({rogue_endpoint("None", 1, 0, {{0, ""}, {1, kBasic}, {2, kBasic}})}));
  crypto::CertificateRequest machine_request;
  machine_request.common_name = "machine";
  machine_request.application_uri = "urn:vexa32:user:machine";
  const auto machine = crypto::make_certificate(machine_request);
  Pki(module.pki_folder);
  std::filesystem::create_directories(module.pki_folder + "/user/certs");
  std::filesystem::create_directories(module.pki_folder + "/user/private");
  std::ofstream(module.pki_folder + "/user/certs/machine.der", std::ios::binary) << machine.certificate.der();
  std::ofstream(module.pki_folder + "/user/private/machine.pem") << machine.key.private_pem();
  ::chmod((module.pki_folder + "/user/private/machine.pem").c_str(), 0600);
  struct Row {
    const char* label;
    std::string address;
    StatusCode expected;
    int activations;  // reaching the server, in all, after this row
  };
  const Row rows[] = {
      {"bare URL and a user", address(server, "operator"), status::BadCertificateUntrusted, 0},
      {"security=None and a user", address(server, "operator", "security=None"), status::BadCertificateUntrusted, 0},
      {"a user with a certificate on None", address(server, "machine"), status::BadCertificateUntrusted, 0},
      {"anonymous on None", address(server, ""), 0, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string message;
    EXPECT_EQ(status::describe(connect(row.address, &message)), status::describe(row.expected)) << message;
    EXPECT_EQ(server.activations(), row.activations);
  }
  EXPECT_EQ(Pki(module.pki_folder).rejected().size(), 1u);
  // Trusted, it takes the password, encrypted for that certificate, on the None channel it offers.
  Pki(module.pki_folder).trust(server_certificate.certificate);
  EXPECT_EQ(connect(address(server, "operator")), 0u);
  EXPECT_EQ(server.activations(), 2);
}

// Discovery is unsigned; the CreateSession answer is signed. What differs between them, as far as
// this transport goes, is someone in between.
TEST_F(UaRogue, TheSessionMustNameTheEndpointsDiscoverySaw) {
  const std::vector<EndpointDescription> offered{rogue_endpoint(kBasic, 2, 10, {{1, ""}}),
                                                 rogue_endpoint(kBasic, 3, 20, {{1, ""}}),
                                                 rogue_endpoint("None", 1, 0, {{0, ""}})};
  auto with = [&](auto change) {
    auto list = offered;
    change(list);
    return list;
  };
  const struct {
    const char* label;
    std::vector<EndpointDescription> discovered;
    bool refused;
  } rows[] = {
      {"level raised", with([](auto& l) { l[0].security_level = 90; }), true},
      {"SignAndEncrypt removed", with([](auto& l) { l.erase(l.begin() + 1); }), true},
      {"a token policy changed", with([](auto& l) { l[1].user_identity_tokens[0].security_policy_uri = "x"; }), true},
      {"an endpoint added", with([](auto& l) {
         l.push_back(rogue_endpoint(kBasic, 2, 5, {{0, ""}}));
       }),
       true},
      {"the order changed", with([](auto& l) { std::swap(l[0], l[2]); }), false},
      {"other transport profiles only", with([](auto& l) {
         l.push_back(rogue_endpoint(kBasic, 2, 99, {{0, ""}}));
         l.back().transport_profile_uri = "http://opcfoundation.org/UA-Profile/Transport/https-uabinary";
       }),
       false},
      {"certificates left out of the answer", with([](auto& l) { l[0].server_certificate = "cert"; }), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(endpoints_changed(row.discovered, offered).empty(), !row.refused)
        << endpoints_changed(row.discovered, offered);
  }
  // Through the network: a user's bare address led to Sign by a raised level is refused, and the
  // session the server made is closed.
  auto lying = behaviour(with([](auto& l) { l[0].security_level = 90; }));
  lying.session_endpoints = offered;
  RogueServer server(lying);
  Pki(module.pki_folder).trust(server_certificate.certificate);
  std::string message;
  EXPECT_EQ(connect(address(server, "operator"), &message), status::BadSecurityChecksFailed) << message;
  EXPECT_NE(message.find("changed between discovery and session"), std::string::npos) << message;
  EXPECT_EQ(server.activations(), 0);
  EXPECT_EQ(server.sessions_open(), 0);
  // An anonymous session without security proves nothing either way: it connects as it did.
  EXPECT_EQ(connect(address(server, "")), 0u);
  EXPECT_EQ(server.activations(), 1);
}

TEST_F(UaRogue, ASecureSessionNeedsNoncesOfAtLeast32Bytes) {
  const struct {
    std::size_t create, activate;
    StatusCode expected;
  } rows[] = {{0, 32, status::BadNonceInvalid},
              {16, 32, status::BadNonceInvalid},
              {31, 32, status::BadNonceInvalid},
              {32, 31, status::BadNonceInvalid},
              {32, 32, 0}};
  Pki(module.pki_folder).trust(server_certificate.certificate);
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.create) + "/" + std::to_string(row.activate));
    auto b = behaviour({rogue_endpoint(kBasic, 3, 10, {{0, ""}})});
    b.create_nonce = row.create;
    b.activate_nonce = row.activate;
    RogueServer server(b);
    std::string message;
    EXPECT_EQ(connect(address(server, "", "security=SignAndEncrypt"), &message), row.expected) << message;
    EXPECT_EQ(server.sessions_open(), 0);  // refused, or closed by us when done
  }
}

// Wrong passwords must not fill a server that limits sessions: each refused one is closed, and
// the refusal says whose password it was and where it came from.
TEST_F(UaRogue, ARefusedLoginClosesItsSessionAndSaysWhereThePasswordCameFrom) {
  auto b = behaviour({rogue_endpoint(kBasic, 3, 10, {{1, ""}})});
  b.activate_result = status::BadUserAccessDenied;
  RogueServer server(b);
  Pki(module.pki_folder).trust(server_certificate.certificate);
  std::string message;
  for (int attempt = 0; attempt < 3; ++attempt)
    EXPECT_EQ(connect(address(server, "operator"), &message), status::BadUserAccessDenied) << message;
  EXPECT_EQ(server.activations(), 3);
  EXPECT_EQ(server.sessions_open(), 0);
  EXPECT_NE(message.find("\"operator\""), std::string::npos) << message;
  EXPECT_NE(message.find(module.password_file + ", line 2"), std::string::npos) << message;
}

// Chunks under request ids nobody sent end the connection at the first: nothing is held for them.
TEST_F(UaRogue, AFloodOfAnswersToNothingEndsTheConnectionAtOnce) {
  auto b = behaviour({rogue_endpoint("None", 1, 0, {{0, ""}})});
  b.flood_bytes = 252ull << 20;
  RogueServer server(b);
  std::string message;
  EXPECT_EQ(connect(address(server, ""), &message), status::BadUnexpectedError) << message;
  EXPECT_NE(message.find("did not send"), std::string::npos) << message;
  EXPECT_LT(server.flooded(), 64ull << 20);
}

}  // namespace
}  // namespace vexa32::testing
