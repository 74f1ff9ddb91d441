// The security layers alone: the key derivation, the policies' RSA operations, addresses and the
// choice of endpoint and the certificate store.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/opcua/client.h"
#include "platform/opcua/crypto/certificate.h"
#include "platform/opcua/endpoint_choice.h"
#include "platform/opcua/log.h"
#include "platform/opcua/pki/pki.h"
#include "platform/opcua/secure_channel.h"

namespace vexa32::testing {
namespace {

using namespace opcua;
using crypto::SecurityMode;

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::string temp_folder() {
  std::string t = (std::filesystem::temp_directory_path() / "vexa32-security-XXXXXX").string();
  return ::mkdtemp(t.data()) ? t : std::string();
}

TEST(UaSecurity, PSha256MatchesThePublishedVectorAndEachPolicyCutsItsKeys) {
  // The TLS 1.2 PRF (SHA-256) test vector: secret, "test label" + seed, 100 bytes.
  const std::string out = crypto::p_sha256(from_hex("9bbe436ba940f017b17652849a71db35"),
                                           "test label" + from_hex("a0ba9f936cda311827a6f796ffd5198c"), 100);
  EXPECT_EQ(crypto::hex(out),
            "e3f229ba727be17b8d122620557cd453c2aab21d07c3d495329b52d4e61edb5a6b301791e90d35c9c9a46b4e14baf9af0fa022f7"
            "077def17abfd3797c0564bab4fbc91666e9def9b97fce34f796789baa48082d122ee42c5a72e5a5110fff70187347b66");
  struct Case {
    const char* policy;
    std::size_t encrypting;
  };
  for (Case c : {Case{"Basic256Sha256", 32}, Case{"Aes128_Sha256_RsaOaep", 16}, Case{"Aes256_Sha256_RsaPss", 32}}) {
    const auto* p = crypto::find_policy(c.policy);
    ASSERT_NE(p, nullptr) << c.policy;
    const auto k = crypto::derive_keys(*p, std::string(32, 's'), std::string(32, 'c'));
    EXPECT_EQ(k.signing.size(), 32u) << c.policy;
    EXPECT_EQ(k.encrypting.size(), c.encrypting) << c.policy;
    EXPECT_EQ(k.signing + k.encrypting + k.iv, crypto::p_sha256(std::string(32, 's'), std::string(32, 'c'), p->key_material()));
  }
  EXPECT_TRUE(crypto::deprecated_policy("Basic256"));
  EXPECT_TRUE(crypto::deprecated_policy("http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15"));
  EXPECT_EQ(crypto::find_policy("Basic256"), nullptr);
}

// An exchange with the test server under Basic256Sha256 and SignAndEncrypt, recorded with our key
// and nonce: its OpenSecureChannel answer and the GetEndpoints answer after it open again, and a
// changed byte anywhere in what is protected is refused.
TEST(UaSecurity, ARecordedSecureExchangeWithTheTestServerOpensAgain) {
  auto file = [](const char* name) {
    std::ifstream in(std::string(VEXA32_SOURCE_DIR) + "/tests/platform/opcua/recorded/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  ChannelSecurity security;
  security.policy = crypto::find_policy("Basic256Sha256");
  security.mode = SecurityMode::SignAndEncrypt;
  security.own_certificate = crypto::Certificate::from_der(file("client.der"));
  security.own_key = crypto::Key::from_pem(file("client.pem"));
  security.server_certificate = file("server.der");
  SecureChannel channel(security);
  channel.set_client_nonce(file("client-nonce"));
  MessageAssembler assembler(BufferLimits{});
  assembler.set_policy_uri(std::string(security.policy->uri));
  for (std::uint32_t id = 1; id < 4; ++id) assembler.expect(id);
  auto opened = assembler.feed(channel.open(file("opn-response")));
  ASSERT_TRUE(opened);
  Reader r(opened->body);
  ASSERT_EQ(read_service_type(r).type, encoding_id::OpenSecureChannelResponse);
  const auto response = decode_as<OpenSecureChannelResponse>(r);
  EXPECT_EQ(response.server_nonce.size(), 32u);
  assembler.set_channel(response.token.channel_id);
  channel.install_token(response.token.token_id, response.server_nonce);
  const std::string answer = file("getendpoints-response");
  for (std::size_t at : {std::size_t{16}, answer.size() / 2, answer.size() - 1}) {
    std::string changed = answer;
    changed[at] ^= 0x20;
    try {
      channel.open(changed);
      ADD_FAILURE() << "a change at " << at << " was let through";
    } catch (const TransportFault& f) {
      EXPECT_EQ(f.code(), status::BadSecurityChecksFailed);
    }
  }
  auto endpoints = assembler.feed(channel.open(answer));
  ASSERT_TRUE(endpoints);
  Reader e(endpoints->body);
  ASSERT_EQ(read_service_type(e).type, encoding_id::GetEndpointsResponse);
  EXPECT_EQ(decode_as<GetEndpointsResponse>(e).endpoints.size(), 6u);
}

TEST(UaSecurity, EachPolicySignsAndEncryptsWithItsRsaPaddings) {
  crypto::CertificateRequest request;
  request.common_name = "test";
  request.application_uri = "urn:test";
  for (int bits : {2048, 4096}) {
    request.key_bits = bits;
    const auto made = crypto::make_certificate(request);
    const crypto::Key pub = made.certificate.public_key();
    for (const auto* p : crypto::supported_policies()) {
      SCOPED_TRACE(std::string(p->name) + " " + std::to_string(bits));
      const std::string data(1000, 'x');
      std::string signature = made.key.sign(p->asymmetric_signature, data);
      EXPECT_EQ(signature.size(), made.key.bytes());
      EXPECT_TRUE(pub.verify(p->asymmetric_signature, data, signature));
      signature[7] ^= 1;
      EXPECT_FALSE(pub.verify(p->asymmetric_signature, data, signature));
      const std::string sealed = pub.encrypt(p->asymmetric_encryption, data);
      EXPECT_EQ(sealed.size() % made.key.bytes(), 0u);
      EXPECT_EQ(made.key.decrypt(p->asymmetric_encryption, sealed), data);
    }
  }
}

TEST(UaSecurity, AddressesCarryTheUserAndTheChoiceOfSecurity) {
  struct Case {
    const char* text;
    const char* url;  // nullptr: refused
    const char* user;
    int mode;  // 0: not asked
    const char* policy;
  };
  const Case cases[] = {
      {"opc.tcp://plc7:4840/path", "opc.tcp://plc7:4840/path", "", 0, ""},
      {"opc.tcp://operator@plc7:4840/path?security=SignAndEncrypt&policy=Basic256Sha256", "opc.tcp://plc7:4840/path",
       "operator", 3, "Basic256Sha256"},
      {"opc.tcp://a@b@[::1]:48010?security=Sign", "opc.tcp://[::1]:48010", "a@b", 2, ""},
      {"opc.tcp://plc7?policy=Aes256_Sha256_RsaPss", "opc.tcp://plc7", "", 0, "Aes256_Sha256_RsaPss"},
      {"opc.tcp://plc7?security=None", "opc.tcp://plc7", "", 1, ""},
      {"opc.tcp://plc7?policy=Basic256", nullptr, "", 0, ""},
      {"opc.tcp://plc7?security=Strong", nullptr, "", 0, ""},
      {"opc.tcp://plc7?colour=red", nullptr, "", 0, ""},
      {"opc.tcp://plc7?security=None&policy=Basic256Sha256", nullptr, "", 0, ""},
      {"opc.tcp://@plc7", nullptr, "", 0, ""},
      {"http://plc7", nullptr, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (!c.url) {
      EXPECT_THROW(parse_server_address(c.text), UaError);
      continue;
    }
    const ServerAddress a = parse_server_address(c.text);
    EXPECT_EQ(a.url, c.url);
    EXPECT_EQ(a.user, c.user);
    EXPECT_EQ(a.mode ? static_cast<int>(*a.mode) : 0, c.mode);
    EXPECT_EQ(a.policy ? std::string(a.policy->name) : std::string(), c.policy);
  }
  try {
    parse_server_address("opc.tcp://plc7?policy=Basic128Rsa15");
  } catch (const UaError& e) {
    EXPECT_NE(std::string(e.what()).find("deprecated"), std::string::npos) << e.what();
  }
}

EndpointDescription endpoint(const char* policy, int mode, std::uint8_t level, std::vector<int> tokens,
                             const char* token_policy = "") {
  EndpointDescription e;
  e.security_policy_uri = std::string("http://opcfoundation.org/UA/SecurityPolicy#") + policy;
  e.security_mode = mode;
  e.security_level = level;
  int n = 0;
  for (int t : tokens) e.user_identity_tokens.push_back({"p" + std::to_string(n++), t, "", "", token_policy});
  return e;
}

TEST(UaSecurity, TheEndpointIsTheAskedOneElseNoneWithALoginElseTheMostSecure) {
  const std::vector<EndpointDescription> mixed{
      endpoint("Basic256Sha256", 2, 10, {0, 1}), endpoint("Aes256_Sha256_RsaPss", 3, 40, {0, 1}),
      endpoint("None", 1, 0, {0, 1}), endpoint("Basic256Sha256", 3, 20, {0, 1}), endpoint("Basic256", 3, 90, {0})};
  const std::vector<EndpointDescription> secure_only{endpoint("Basic256Sha256", 2, 10, {1}),
                                                     endpoint("Aes128_Sha256_RsaOaep", 3, 30, {1})};
  // open62541 gives both modes one level and lists Sign first.
  const std::vector<EndpointDescription> equal_levels{endpoint("Aes256_Sha256_RsaPss", 2, 5, {0, 1}),
                                                      endpoint("Aes256_Sha256_RsaPss", 3, 5, {0, 1})};
  // A user token protected by its own policy on a None endpoint.
  const std::vector<EndpointDescription> none_first{
      endpoint("None", 1, 0, {0, 1}, "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"),
      endpoint("Basic256Sha256", 2, 5, {1})};
  const std::vector<EndpointDescription> none_only{none_first[0]};
  struct Case {
    const char* address;
    const std::vector<EndpointDescription>* endpoints;
    int chosen;              // index, -1: refused
    const char* in_message;  // a part of the refusal
  };
  const Case cases[] = {
      {"opc.tcp://h", &mixed, 2, ""},                             // as stored forms connect today
      {"opc.tcp://u@h", &mixed, 1, ""},                           // no password in clear: the most secure
      {"opc.tcp://h?security=Sign", &mixed, 0, ""},
      {"opc.tcp://h?policy=Basic256Sha256", &mixed, 3, ""},
      {"opc.tcp://h?security=SignAndEncrypt", &mixed, 1, ""},
      {"opc.tcp://u@h", &secure_only, 1, ""},
      {"opc.tcp://h", &secure_only, -1, "name a user in the URL"},
      {"opc.tcp://h?security=None", &secure_only, -1, "Basic256Sha256/Sign (user name)"},
      {"opc.tcp://u@h", &equal_levels, 1, ""},
      {"opc.tcp://h?policy=Aes256_Sha256_RsaPss", &equal_levels, 1, ""},
      {"opc.tcp://u@h", &none_first, 1, ""},  // a user: signed before None
      {"opc.tcp://h", &none_first, 0, ""},    // anonymous: None, as stored forms connect
      {"opc.tcp://u@h?security=None", &none_first, 0, ""},
      {"opc.tcp://u@h", &none_only, 0, ""},  // nothing else offered
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    const ServerAddress a = parse_server_address(c.address);
    if (c.chosen < 0) {
      try {
        choose_endpoint(*c.endpoints, a);
        ADD_FAILURE() << "no refusal";
      } catch (const UaError& e) {
        EXPECT_NE(std::string(e.what()).find(c.in_message), std::string::npos) << e.what();
      }
      continue;
    }
    const EndpointDescription e = choose_endpoint(*c.endpoints, a);
    const EndpointDescription& want = (*c.endpoints)[static_cast<std::size_t>(c.chosen)];
    EXPECT_EQ(e.security_policy_uri, want.security_policy_uri);
    EXPECT_EQ(e.security_mode, want.security_mode);
  }
  // A user name login offered only on a None channel is no login: the password would go in clear.
  try {
    choose_endpoint({endpoint("None", 1, 0, {1})}, parse_server_address("opc.tcp://u@h"));
    ADD_FAILURE();
  } catch (const UaError& e) {
    EXPECT_NE(std::string(e.what()).find("never sent in clear"), std::string::npos) << e.what();
  }
  // An endpoint picked from the list becomes an address that leads back to it, the user kept
  // (None only without one: a password is never sent in clear).
  for (const auto& e : mixed) {
    if (!supported_endpoint(e)) continue;
    const std::string base = e.security_mode == 1 ? "opc.tcp://h:4840/x" : "opc.tcp://u@h:4840/x";
    const std::string address = address_of_endpoint(base + "?security=Sign", e);
    SCOPED_TRACE(address);
    EXPECT_EQ(address.rfind(base + "?security=", 0), 0u);
    const EndpointDescription back = choose_endpoint(mixed, parse_server_address(address));
    EXPECT_EQ(back.security_policy_uri, e.security_policy_uri);
    EXPECT_EQ(back.security_mode, e.security_mode);
  }
  EXPECT_FALSE(supported_endpoint(mixed[4]));  // Basic256, deprecated
  // Of several user name logins, the one that encrypts the password.
  EndpointDescription tokens = endpoint("Basic256Sha256", 3, 5, {1, 1, 1});
  tokens.user_identity_tokens[0].security_policy_uri = "http://opcfoundation.org/UA/SecurityPolicy#None";
  tokens.user_identity_tokens[1].security_policy_uri = "http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15";
  UserIdentity user;
  user.user_name = "u";
  EXPECT_EQ(choose_user_token(tokens, user, "opc.tcp://h").policy_id, tokens.user_identity_tokens[2].policy_id);
}

TEST(UaSecurity, TheStoreMakesOurCertificateOnceAndJudgesServerCertificates) {
  const std::string dir = temp_folder();
  Pki pki(dir);
  const auto own = pki.own();
  struct stat st {};
  ASSERT_EQ(::stat(own.key_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(pki.own().certificate, own.certificate);  // made on first use only
  EXPECT_EQ(own.key.bits(), 2048);
  EXPECT_EQ(own.certificate.subject().rfind("CN=VEXA32@", 0), 0u) << own.certificate.subject();
  EXPECT_EQ(own.certificate.application_uri().rfind("urn:", 0), 0u);

  crypto::CertificateRequest server;
  server.common_name = "server";
  server.application_uri = "urn:server";
  server.dns_names = {"plc7"};
  server.ip_addresses = {"127.0.0.1"};
  auto make = [&](auto change) {
    crypto::CertificateRequest r = server;
    change(r);
    return crypto::make_certificate(r);
  };
  const auto ca = make([](auto& r) {
    r.common_name = "plant CA";
    r.application_uri.clear();
    r.authority = true;
  });
  const auto intermediate = make([&](auto& r) {
    r.common_name = "line CA";
    r.application_uri.clear();
    r.authority = true;
    r.issuer = &ca;
  });
  const auto plain = make([](auto&) {});
  const auto trusted = make([](auto&) {});
  const auto revoked = make([&](auto& r) { r.issuer = &ca; });
  const auto pinned_revoked = make([&](auto& r) { r.issuer = &ca; });
  const auto sha1_pinned = make([](auto& r) { r.digest = "SHA1"; });
  const auto no_crl_ca = make([](auto& r) {
    r.common_name = "CA without CRL";
    r.application_uri.clear();
    r.authority = true;
  });
  for (const auto* c : {&trusted, &ca, &pinned_revoked, &sha1_pinned, &no_crl_ca}) pki.trust(c->certificate);
  std::ofstream(dir + "/trusted/crl/plant.crl", std::ios::binary)
      << crypto::make_crl(ca, {revoked.certificate, pinned_revoked.certificate});
  std::ofstream(dir + "/issuers/crl/line.crl", std::ios::binary) << crypto::make_crl(intermediate, {});
  struct Case {
    const char* label;
    crypto::MadeCertificate made;
    std::string host;
    StatusCode expected;  // 0: trusted
    const char* application_uri = "urn:server";
  };
  const Case cases[] = {
      {"unknown self-signed", plain, "plc7", status::BadCertificateUntrusted},
      {"trusted self-signed, other host", trusted, "10.0.0.9", 0},
      {"expired", make([](auto& r) { r.days = -1; }), "plc7", status::BadCertificateTimeInvalid},
      {"not yet valid", make([](auto& r) { r.valid_from = 86400; }), "plc7", status::BadCertificateTimeInvalid},
      {"another application", make([](auto& r) { r.application_uri = "urn:other"; }), "plc7",
       status::BadCertificateUriInvalid},
      {"1024-bit key", make([](auto& r) { r.key_bits = 1024; }), "plc7", status::BadCertificateInvalid},
      {"issued by the trusted CA", make([&](auto& r) { r.issuer = &ca; }), "plc7", 0},
      {"issued by the CA, reached by address", make([&](auto& r) { r.issuer = &ca; }), "127.0.0.1", 0},
      {"issued by the CA for another host", make([&](auto& r) { r.issuer = &ca; }), "plc8",
       status::BadCertificateHostNameInvalid},
      {"through an intermediate sent along", make([&](auto& r) { r.issuer = &intermediate; }), "plc7", 0},
      {"revoked by the CA's CRL", revoked, "plc7", status::BadCertificateRevoked},
      {"pinned, and revoked by its CA", pinned_revoked, "plc7", status::BadCertificateRevoked},
      {"pinned, signed with SHA-1", sha1_pinned, "plc7", status::BadCertificatePolicyCheckFailed},
      {"issued by the CA with SHA-1", make([&](auto& r) {
         r.issuer = &ca;
         r.digest = "SHA1";
       }),
       "plc7", status::BadCertificatePolicyCheckFailed},
      {"issued by a CA that has no CRL", make([&](auto& r) { r.issuer = &no_crl_ca; }), "plc7",
       status::BadCertificateRevocationUnknown},
      {"pinned, the server's ApplicationUri empty", trusted, "plc7", status::BadCertificateUriInvalid, ""},
  };
  std::vector<std::string> notes;
  const auto previous_sink = set_log_sink([&](const std::string& line) { notes.push_back(line); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string chain = c.made.certificate.der();
    if (std::string(c.label).find("intermediate") != std::string::npos) chain += intermediate.certificate.der();
    const auto verdict = pki.check_server(chain, c.host, c.application_uri);
    EXPECT_EQ(verdict ? verdict->code : 0u, c.expected) << (verdict ? verdict->message : "trusted");
  }
  // The pinned certificate reached under another host is accepted, and that is said once.
  pki.check_server(trusted.certificate.der(), "10.0.0.9", "urn:server");
  set_log_sink(previous_sink);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("does not name the host 10.0.0.9"), std::string::npos) << notes[0];
  // An intermediate the server does not send is found in issuers/certs.
  const auto via_issuers = make([&](auto& r) { r.issuer = &intermediate; });
  EXPECT_EQ(pki.check_server(via_issuers.certificate.der(), "plc7", "urn:server")->code, status::BadCertificateUntrusted);
  std::ofstream(dir + "/issuers/certs/line.der", std::ios::binary) << intermediate.certificate.der();
  EXPECT_FALSE(pki.check_server(via_issuers.certificate.der(), "plc7", "urn:server"));
  // A missing CRL is named with the CA and the folder it belongs in.
  const auto unknown_revocation =
      pki.check_server(make([&](auto& r) { r.issuer = &no_crl_ca; }).certificate.der(), "plc7", "urn:server");
  ASSERT_TRUE(unknown_revocation);
  EXPECT_NE(unknown_revocation->message.find("CN=CA without CRL"), std::string::npos) << unknown_revocation->message;
  EXPECT_NE(unknown_revocation->message.find(dir + "/trusted/crl/"), std::string::npos);
  // The unknown ones wait in rejected/certs, named by its subject and thumbprint, and is trusted from there.
  const auto rejected = pki.rejected();
  ASSERT_EQ(rejected.size(), 2u);
  EXPECT_NE(std::find(rejected.begin(), rejected.end(), plain.certificate), rejected.end());
  pki.trust(plain.certificate);
  EXPECT_FALSE(pki.check_server(plain.certificate.der(), "plc7", "urn:server"));
  EXPECT_EQ(pki.rejected().size(), 1u);
  std::filesystem::remove_all(dir);
}

// No file of the store is written through a link planted at a temporary name, and a store that
// others may change, or a key others may read, is refused with the command that mends it.
TEST(UaSecurity, TheStoreWritesThroughNoLinkAndRefusesWhatOthersMayChange) {
  const std::string dir = temp_folder();
  const std::string store = dir + "/pki", victim = dir + "/victim";
  std::ofstream(victim) << "precious";
  Pki pki(store);
  crypto::CertificateRequest request;
  request.common_name = "server";
  request.application_uri = "urn:server";
  const auto trusted = crypto::make_certificate(request);
  const auto unknown = crypto::make_certificate(request);
  for (const std::string& name : std::vector<std::string>{"own/private/vexa32.pem", "own/certs/vexa32.der",
                                  "trusted/certs/" + Pki::file_name(trusted.certificate),
                                  "rejected/certs/" + Pki::file_name(unknown.certificate)})
    std::filesystem::create_symlink(victim, store + "/" + name + ".tmp");
  const auto own = pki.own();
  pki.trust(trusted.certificate);
  pki.check_server(unknown.certificate.der(), "plc7", "urn:server");
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
  EXPECT_EQ(pki.rejected().size(), 1u);
  EXPECT_EQ(pki.trusted().size(), 1u);

  struct Row {
    const char* label;
    std::string path;
    mode_t mode;  // 0: chown to nobody instead
    const char* in_message;
  };
  const Row rows[] = {
      {"store folder 0777", store, 0777, "chmod 700"},
      {"own/private 0755", store + "/own/private", 0755, "chmod 700"},
      {"key 0644", own.key_path, 0644, "chmod 600"},
      {"store owned by another user", store, 0, "chown"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    struct stat before {};
    ASSERT_EQ(::stat(row.path.c_str(), &before), 0);
    if (row.mode) {
      ::chmod(row.path.c_str(), row.mode);
    } else if (::geteuid() != 0 || ::chown(row.path.c_str(), 65534, 65534) != 0) {
      continue;  // only root can give a folder away
    }
    try {
      Pki(store).own();
      ADD_FAILURE() << "the store was taken";
    } catch (const crypto::CryptoError& e) {
      EXPECT_NE(std::string(e.what()).find(row.path), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(row.in_message), std::string::npos) << e.what();
    }
    ::chmod(row.path.c_str(), before.st_mode & 07777);
    if (!row.mode) {
      ASSERT_EQ(::chown(row.path.c_str(), before.st_uid, before.st_gid), 0);
    }
  }
  EXPECT_EQ(Pki(store).own().certificate, own.certificate);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexa32::testing
