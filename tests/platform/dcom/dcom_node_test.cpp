// The DCOM runtime against the DCOM test server: activation, an interface found by
// RemQueryInterface, a call, a clean release, each way it fails, and pinging. Servers with a
// fault or a short collection time are started here; the plain one is the fixture's.

#include "platform/dcom/dcom_node.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "platform/container/login_service.h"
#include "platform/dcom/da/opc_ids.h"
#include "platform/dcom/da/server_list.h"
#include "platform/dcom/errors.h"
#include "platform/dcom/ndr.h"
#include "platform/dcom/node_login.h"
#include "test_server.h"

namespace vexa32::dcom {
namespace {

using namespace std::chrono_literals;

const NtlmCredentials kTester{"VEXATEST", "tester", "Vexa-Test-1", "LINUX"};
const NtlmCredentials kWrong{"VEXATEST", "tester", "not-it", "LINUX"};
const Guid kServerClsid = guid("7B3C5E20-9A41-4D6B-8E2F-5A1C0D3B9E47");
const Guid kIOPCServer = guid("39C13A4D-011E-11D0-9675-0020AFD8ADB3");
const Guid kIOPCCommon = guid("F31DFDE2-07B6-11D2-B2D8-0060083BA1FB");
const Guid kIOPCItemIO = guid("85C0B427-2893-4CBC-BD78-E5FC5146F08F");  // DA 3, which the server lacks

// The OPC interface the test calls, declared here: the runtime knows no OPC.
const InterfaceInfo& opc_server() {
  static const InterfaceInfo info{
      "IOPCServer", kIOPCServer, 0, 0, 3, {"AddGroup", "GetErrorString", "GetGroupByName", "GetStatus", "RemoveGroup"}};
  return info;
}

struct Status {
  std::uint32_t state = 0;
  std::string vendor;
};
Status get_status(DcomNode& node, const RemoteInterface& server) {
  const std::string answer = node.call(server, opc_server(), 6, "");
  NdrReader r(answer);
  Status s;
  if (!r.unique()) throw NdrError("GetStatus answered no status");
  for (int i = 0; i < 3; ++i) r.filetime();
  s.state = r.u32();
  r.u32();  // groups
  r.u32();  // band width
  for (int i = 0; i < 4; ++i) r.u16();
  if (r.unique()) s.vendor = r.wide_string();
  r.align(4);
  if (const std::uint32_t hr = r.hresult()) throw DcomError(hr, "GetStatus failed");
  return s;
}

TEST(DcomNode, ActivatesCallsAndReleasesEverythingItHeld) {
  TestServer server;
  if (!server.activation()) GTEST_SKIP() << server.why();
  const std::string port = std::to_string(server.activation());
  const PasswordFile passwords("127.0.0.1:" + port + ":VEXATEST\\\\tester:Vexa-Test-1\n");
  {
    const auto connected = connect_node("127.0.0.1:" + port, passwords.path());
    DcomNode& node = *connected;
    EXPECT_EQ(da::server_clsid(node, "Vexa.DcomTest.1"), kServerClsid);
    EXPECT_EQ(da::server_clsid(node, format_guid(kServerClsid)), kServerClsid);
    try {
      da::server_clsid(node, "Vexa.NoSuchServer.1");
      ADD_FAILURE() << "an unknown ProgID was found";
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), status::REGDB_E_CLASSNOTREG) << e.what();
      EXPECT_NE(std::string(e.what()).find("\"Vexa.NoSuchServer.1\""), std::string::npos) << e.what();
    }
    // The object as IUnknown, then its IOPCServer asked for, as an OPC client does.
    const RemoteInterface unknown = node.create_instance(kServerClsid, guid("00000000-0000-0000-C000-000000000046"));
    const RemoteInterface opc = node.query_interface(unknown, kIOPCServer);
    const Status status = get_status(node, opc);
    EXPECT_EQ(status.vendor, "VEXA32 DCOM test server on impacket");
    EXPECT_EQ(status.state, 1u);  // running
    const RemoteInterface common = node.query_interface(opc, kIOPCCommon);
    EXPECT_EQ(common.oid, opc.oid);
    try {
      node.query_interface(opc, kIOPCItemIO);
      ADD_FAILURE() << "an interface the server lacks was given";
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), status::E_NOINTERFACE) << e.what();
    }
    try {
      node.create_instance(guid("00000000-1111-2222-3333-444444444444"), kIOPCServer);
      ADD_FAILURE() << "an unknown class was made";
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), status::REGDB_E_CLASSNOTREG) << e.what();
    }
  }
  // Every reference went back, and the object left the ping set.
  const std::string state = server.file("state.json");
  EXPECT_NE(state.find("\"refs\": 0"), std::string::npos) << state;
  EXPECT_NE(state.find("\"oids\": 0"), std::string::npos) << state;
  const std::string log = server.file("log");
  EXPECT_NE(log.find("RemRelease"), std::string::npos);
  EXPECT_NE(log.find("del=["), std::string::npos);
}

TEST(DcomNode, AFaultIsNamedAndAnObjectLivesExactlyWhileItIsPinged) {
  TestServer faulting("--fault IOPCServer:GetStatus:0x80010108");
  if (!faulting.activation()) GTEST_SKIP() << faulting.why();
  {
    DcomNode node("127.0.0.1", faulting.activation(), kTester);
    const RemoteInterface opc = node.create_instance(kServerClsid, kIOPCServer);
    try {
      get_status(node, opc);
      ADD_FAILURE() << "no fault";
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), status::RPC_E_DISCONNECTED) << e.what();
      EXPECT_NE(std::string(e.what()).find("RPC_E_DISCONNECTED"), std::string::npos) << e.what();
    }
  }
  // The server collects after four missed periods of 0.5 s: pinged every 0.2 s an object lives
  // on for 3 s; pinged every 60 s it is gone by then.
  TestServer collecting("--ping-period 0.5 --ping-count 4");
  if (!collecting.activation()) GTEST_SKIP() << collecting.why();
  for (auto period : {200ms, 60000ms}) {
    SCOPED_TRACE(period.count());
    DcomOptions options;
    options.ping_period = period;
    DcomNode node("127.0.0.1", collecting.activation(), kTester, options);
    const RemoteInterface opc = node.create_instance(kServerClsid, kIOPCServer);
    std::this_thread::sleep_for(3s);
    if (period == 200ms) {
      EXPECT_NO_THROW(get_status(node, opc));
      EXPECT_GE(node.pings(), 6);
    } else {
      EXPECT_THROW(get_status(node, opc), DcomError);
    }
  }
}

// The login window's answers, in turn; the questions it was asked.
struct ScriptedLogins final : LoginService {
  std::optional<LoginAnswer> login(const LoginQuestion& question) override {
    questions.push_back(question);
    if (answers.empty()) return std::nullopt;
    auto next = answers.front();
    answers.erase(answers.begin());
    return next;
  }
  std::vector<std::optional<LoginAnswer>> answers;
  std::vector<LoginQuestion> questions;
};

TEST(DcomNode, ALoginThePasswordFileLacksIsAskedOfTheHost) {
  TestServer server;
  if (!server.activation()) GTEST_SKIP() << server.why();
  const std::string node = "127.0.0.1:" + std::to_string(server.activation());
  const std::string line = "127.0.0.1:" + std::to_string(server.activation()) + ":VEXATEST\\\\tester:";
  const LoginAnswer right{"VEXATEST\\tester", "Vexa-Test-1", true}, wrong{"VEXATEST\\tester", "not-it", false};
  const struct {
    const char* label;
    std::string file;  // the password file before
    std::vector<std::optional<LoginAnswer>> answers;
    std::uint32_t hresult;                   // S_OK: connected
    std::size_t questions;                   // how many the host was asked
    std::string in_message;                  // of the refusal, or of the last question
    std::string file_after;                  // part of the password file after
    const NtlmCredentials* known = nullptr;  // a reconnection's login
  } rows[] = {
      {"no line, no host", "", {}, status::E_ACCESSDENIED, 1, "no password for " + node, ""},
      {"no line, the host remembers", "", {right}, status::S_OK, 1, "", line + "Vexa-Test-1"},
      {"wrong, then right", "", {wrong, right}, status::S_OK, 2, "access denied to VEXATEST\\tester", line},
      {"the file's password refused, the host's taken",
       line + "stale\n",
       {right},
       status::S_OK,
       1,
       "the password came from the password file",
       line + "Vexa-Test-1"},
      {"refused three times",
       "",
       {wrong, wrong, wrong, right},
       status::E_ACCESSDENIED,
       3,
       "the password came from the login window",
       ""},
      {"a reconnection takes the login of before and asks nobody", "", {right}, status::S_OK, 0, "", "", &kTester},
      {"a reconnection refused asks nobody",
       "",
       {right},
       status::E_ACCESSDENIED,
       0,
       "the password came from the login given before",
       "",
       &kWrong},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    const PasswordFile passwords(row.file);
    auto host = std::make_shared<ScriptedLogins>();
    host->answers = row.answers;
    set_login_service(host);
    std::string message;
    try {
      connect_node(node, passwords.path(), {}, row.known);
      EXPECT_EQ(row.hresult, status::S_OK);
    } catch (const DcomError& e) {
      EXPECT_EQ(e.hresult(), row.hresult) << e.what();
      message = e.what();
    }
    set_login_service(nullptr);
    ASSERT_EQ(host->questions.size(), row.questions);
    if (row.questions) {
      EXPECT_TRUE(host->questions.front().windows_user);
      EXPECT_EQ(host->questions.front().port, std::to_string(server.activation()));
      if (row.hresult == status::S_OK) message = host->questions.back().refusal;
    }
    EXPECT_NE(message.find(row.in_message), std::string::npos) << message;
    EXPECT_NE(passwords.text().find(row.file_after), std::string::npos) << passwords.text();
  }
}

// The one table of operation numbers against the IDL's method order (wire numbers, IUnknown's
// three first), so that a client and a server of the same hand cannot agree on a wrong one.
TEST(DcomNode, OperationNumbersAreTheIdls) {
  da::install_opc_interfaces();
  const struct {
    const char *interface, *method;
    std::uint16_t opnum;
  } rows[] = {
      {"IObjectExporter", "ServerAlive2", 5},
      {"IRemoteSCMActivator", "RemoteCreateInstance", 4},
      {"IRemUnknown2", "RemQueryInterface2", 6},
      {"IOPCServer", "GetStatus", 6},
      {"IOPCServer", "CreateGroupEnumerator", 8},
      {"IOPCCommon", "SetClientName", 7},
      {"IOPCItemMgt", "CreateEnumerator", 9},
      {"IOPCGroupStateMgt2", "GetKeepAlive", 8},
      {"IOPCSyncIO", "Write", 4},
      {"IOPCAsyncIO2", "GetEnable", 8},
      {"IOPCBrowseServerAddressSpace", "BrowseAccessPaths", 7},
      {"IOPCItemProperties", "LookupItemIDs", 5},
      {"IOPCBrowse", "Browse", 4},
      {"IOPCServerList2", "CLSIDFromProgID", 5},
      {"IEnumString", "Next", 3},
      {"IConnectionPoint", "EnumConnections", 7},
      {"IOPCDataCallback", "OnCancelComplete", 6},
      {"IOPCShutdown", "ShutdownRequest", 3},
  };
  for (const auto& row : rows)
    EXPECT_EQ(opnum(row.interface, row.method), row.opnum) << row.interface << "::" << row.method;
  EXPECT_EQ(format_guid(interface_info("IOPCServerList2").iid), "{9DD0B56C-AD9E-43EE-8305-487F3188BF7A}");
}

}  // namespace
}  // namespace vexa32::dcom
