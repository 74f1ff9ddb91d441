// Connection-oriented DCE/RPC with NTLMv2: the PDUs alone, then connections to the DCOM test
// server (Python on impacket, started by a CTest fixture) at both levels and each way they fail.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>

#include "hex.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/rpc_connection.h"

namespace vexa32::dcom {
namespace {

using namespace std::chrono_literals;

using testing::from_hex;

TEST(RpcPdu, WhatBreaksTheProtocolIsRefused) {
  // A response header: version 5.0, type 2, first and last, little-endian, 24 bytes, no auth.
  const std::string good = from_hex("05000203100000001800000007000000") + std::string(8, '\0');
  EXPECT_EQ(rpc::split_pdu(good, 5840).header.call_id, 7u);
  auto changed = [&](std::size_t at, char value, std::size_t cut = 0) {
    std::string bytes = good;
    bytes[at] = value;
    return bytes.substr(0, bytes.size() - cut);
  };
  std::string with_auth = good;
  with_auth[10] = 40;  // an auth value longer than the fragment
  const struct {
    const char* label;
    std::string bytes;
    std::size_t max_fragment;
  } rows[] = {
      {"version 4", changed(0, 4), 5840},
      {"big-endian", changed(4, 0x00), 5840},
      {"shorter than the header says", changed(8, 30), 5840},
      {"a fragment below 16 bytes", changed(8, 12), 5840},
      {"a fragment above the negotiated size", good, 20},
      {"an auth value beyond the fragment", with_auth, 5840},
      {"a truncated header", good.substr(0, 10), 5840},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    try {
      rpc::split_pdu(row.bytes, row.max_fragment);
      ADD_FAILURE() << "taken";
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), status::RPC_S_PROTOCOL_ERROR) << e.what();
    }
  }
  // A bind_ack's body: 5840/5840, group 0x1234, secondary address "135" padded to 4, one result:
  // accepted, NDR 2.0.
  const std::string ack = from_hex(
      "d016d016341200000400313335000000"
      "0100000000000000"
      "045d888aeb1cc9119fe808002b10486002000000");
  const rpc::BindResult result = rpc::parse_bind_ack(ack);
  EXPECT_EQ(result.max_recv, 5840);
  EXPECT_EQ(result.assoc_group, 0x1234u);
  EXPECT_EQ(result.secondary_address, "135");
  EXPECT_EQ(result.result, 0);
  EXPECT_THROW(rpc::parse_bind_ack(ack.substr(0, 20)), DcomError);
}

// The DCOM test server the fixture started; empty, with why, when there is none.
std::map<std::string, std::string> test_server(std::string& why) {
  const char* state = std::getenv("VEXA32_DCOM_STATE");
  if (!state) {
    why = "VEXA32_DCOM_STATE is not set: run the DCOM tests through CTest";
    return {};
  }
  std::map<std::string, std::string> ports;
  std::ifstream in(std::string(state) + "/ports");
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) ports[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (ports.empty()) {
    std::ifstream skip(std::string(state) + "/skip");
    std::getline(skip, why);
    if (why.empty()) why = "the DCOM test server did not start";
  }
  return ports;
}

#define VEXA32_REQUIRE_DCOM_SERVER(ports)    \
  std::map<std::string, std::string> ports;  \
  {                                          \
    std::string why_;                        \
    ports = test_server(why_);               \
    if (ports.empty()) GTEST_SKIP() << why_; \
  }

const NtlmCredentials kTester{"VEXATEST", "tester", "Vexa-Test-1", "LINUX"};

TEST(RpcConnection, CallsGoSignedOrSealedAndTheirAnswersAreChecked) {
  VEXA32_REQUIRE_DCOM_SERVER(ports);
  const auto port = static_cast<std::uint16_t>(std::stoi(ports["activation"]));
  const InterfaceInfo& exporter = interface_info("IObjectExporter");
  for (auto level : {rpc::AuthLevel::Privacy, rpc::AuthLevel::Integrity}) {
    SCOPED_TRACE(static_cast<int>(level));
    RpcOptions options;
    options.level = level;
    RpcConnection connection("127.0.0.1", port, exporter, kTester, options);
    // ServerAlive2 twice: the second proves both sequence numbers moved on together.
    for (int i = 0; i < 2; ++i) {
      const std::string answer = connection.call(exporter, opnum("IObjectExporter", "ServerAlive2"), "");
      ASSERT_GE(answer.size(), 12u);
      EXPECT_EQ(answer.substr(answer.size() - 4), std::string(4, '\0'));  // its error status
    }
    EXPECT_TRUE(connection.usable());
  }
}

TEST(RpcConnection, EachFailureSaysWhatAndWhere) {
  VEXA32_REQUIRE_DCOM_SERVER(ports);
  const auto port = static_cast<std::uint16_t>(std::stoi(ports["activation"]));
  const InterfaceInfo& exporter = interface_info("IObjectExporter");
  // A port that takes connections and never answers, and one where nothing listens.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  socklen_t length = sizeof a;
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&a), &length);
  const auto silent_port = ntohs(a.sin_port);
  const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
  a.sin_port = 0;
  ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::getsockname(closed, reinterpret_cast<sockaddr*>(&a), &length);
  const auto closed_port = ntohs(a.sin_port);
  ::close(closed);

  NtlmCredentials wrong = kTester;
  wrong.password = "not-it";
  const struct {
    const char* label;
    std::uint16_t port;
    NtlmCredentials credentials;
    const char* interface;
    std::uint32_t hresult;
    std::string in_message;
  } rows[] = {
      {"wrong password", port, wrong, "IObjectExporter", status::E_ACCESSDENIED, "access denied to VEXATEST\\tester"},
      {"nothing listening", closed_port, kTester, "IObjectExporter", status::RPC_S_SERVER_UNAVAILABLE,
       "127.0.0.1:" + std::to_string(closed_port)},
      {"a silent port", silent_port, kTester, "IObjectExporter", status::RPC_S_CALL_TIMEOUT,
       "127.0.0.1:" + std::to_string(silent_port)},
      {"an interface not offered there", port, kTester, "IRemUnknown", status::E_NOINTERFACE, "IRemUnknown"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    RpcOptions options;
    options.call_timeout = 1s;
    const auto start = std::chrono::steady_clock::now();
    try {
      RpcConnection connection("127.0.0.1", row.port, interface_info(row.interface), row.credentials, options);
      connection.call(exporter, opnum("IObjectExporter", "ServerAlive2"), "");
      ADD_FAILURE() << "called";
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), row.hresult) << e.what();
      EXPECT_NE(std::string(e.what()).find(row.in_message), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  }
  ::close(silent);
}

// Samba's endpoint mapper is a server written by other hands: our bind, NTLM and sealing must
// satisfy it, and its signed and sealed answers must pass our checks.
TEST(RpcConnection, SambasEndpointMapperAcceptsUsAndWeItsAnswers) {
  const char* dcom_state = std::getenv("VEXA32_DCOM_STATE");
  if (!dcom_state) GTEST_SKIP() << "VEXA32_DCOM_STATE is not set: run the DCOM tests through CTest";
  const std::string state = std::string(dcom_state) + "_samba";  // the Samba fixture's, beside it
  std::ifstream ready(state + "/ready");
  NtlmCredentials user;
  if (!std::getline(ready, user.domain) || !std::getline(ready, user.user) || !std::getline(ready, user.password)) {
    std::string why;
    std::ifstream skip(state + "/skip");
    std::getline(skip, why);
    GTEST_SKIP() << (why.empty() ? std::string("Samba's RPC server did not start") : why);
  }
  const InterfaceInfo epmapper{"epmapper", guid("E1AF8308-5D1F-11C9-91A4-08002B14A0FA"),         3, 0,
                               0,          {"ept_insert", "ept_delete", "ept_lookup", "ept_map"}};
  // ept_map without an object or a tower: a fresh lookup handle, at most one tower.
  std::string stub(8, '\0');
  stub += std::string(20, '\0');
  stub += std::string("\x01\0\0\0", 4);
  for (auto level : {rpc::AuthLevel::Privacy, rpc::AuthLevel::Integrity}) {
    SCOPED_TRACE(static_cast<int>(level));
    RpcOptions options;
    options.level = level;
    RpcConnection connection("127.0.0.1", 135, epmapper, user, options);
    for (int i = 0; i < 2; ++i) {
      const std::string answer = connection.call(epmapper, 3, stub);
      ASSERT_EQ(answer.size(), 40u);
      EXPECT_EQ(answer.substr(36), std::string("\xd6\xa0\xc9\x16", 4));  // EPT_S_NOT_REGISTERED, for no tower
    }
  }
  NtlmCredentials wrong = user;
  wrong.password += "x";
  try {
    RpcConnection("127.0.0.1", 135, epmapper, wrong).call(epmapper, 3, stub);
    ADD_FAILURE() << "a wrong password was taken";
  } catch (const DcomError& e) {
    EXPECT_EQ(e.hresult(), status::E_ACCESSDENIED) << e.what();
  }
  // We never start anything below packet integrity.
  RpcOptions connect_level;
  connect_level.level = rpc::AuthLevel::Connect;
  EXPECT_THROW(RpcConnection("127.0.0.1", 135, epmapper, user, connect_level), DcomError);
}

}  // namespace
}  // namespace vexa32::dcom
