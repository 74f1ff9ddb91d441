// A real OPC UA server (node-opcua) through the OPC DA objects, the wrappers and the control.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include "control/vexa.h"
#include "opc/browser_class.h"
#include "opc/server_class.h"
#include "platform/automation/convert.h"
#include "platform/container/password_file.h"
#include "platform/container/services.h"
#include "platform/container/site.h"
#include "platform/opcda/simulation.h"
#include "platform/opcua/decisions.h"
#include "platform/opcua/log.h"
#include "platform/opcua/pki/pki.h"
#include "ua_fixture.h"

namespace vexa32::testing {
namespace {

using namespace std::chrono_literals;

class UaServer : public ::testing::Test {
 protected:
  void SetUp() override { opcua::install_opcua(opcda::ServerRegistry::instance()); }
  void TearDown() override { opcua::uninstall_opcua(opcda::ServerRegistry::instance()); }

  std::shared_ptr<opcda::OPCServer> connect(const std::string& url) {
    auto s = opcda::create_opc_server();
    s->Connect(url);
    return s;
  }

  // Adds items to a new group; the per-item errors in errors, the server handles returned.
  std::vector<std::int32_t> add(opcda::OPCServer& s, const std::vector<std::string>& ids,
                                std::vector<HRESULT>& errors) {
    group = s.get_OPCGroups()->Add(Variant());
    items = group->get_OPCItems();
    std::vector<Variant> id_list(ids.begin(), ids.end()), handles;
    for (std::size_t i = 0; i < ids.size(); ++i) handles.emplace_back(static_cast<std::int32_t>(i));
    Variant server_handles, errs;
    items->AddItems(static_cast<std::int32_t>(ids.size()), make_array(VT_BSTR, id_list), make_array(VT_I4, handles),
                    server_handles, errs);
    std::vector<std::int32_t> out;
    errors.clear();
    for (const auto& h : server_handles.array().elements()) out.push_back(h.i4());
    for (const auto& e : errs.array().elements()) errors.push_back(e.i4());
    return out;
  }

  // Waits on the real clock for work the I/O thread posts.
  void pump_until(const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < end) {
      apartment.run_until_idle();
      std::this_thread::sleep_for(5ms);
    }
  }

  Apartment apartment;
  std::shared_ptr<opcda::OPCGroup> group;
  std::shared_ptr<opcda::OPCItems> items;
};

TEST_F(UaServer, ConnectsAndReportsTheServersStatus) {
  VEXA32_REQUIRE_UA_SERVER(url);
  auto s = connect(url);
  EXPECT_EQ(s->get_ServerState(), opcda::OPCRunning);
  EXPECT_GT(s->get_StartTime(), 45000.0);
  EXPECT_GE(s->get_CurrentTime(), s->get_StartTime());
  EXPECT_EQ(s->get_VendorInfo(), "VEXA32 tests VEXA32 test server");
  EXPECT_EQ(s->get_MajorVersion(), 2);
  EXPECT_EQ(s->get_MinorVersion(), 182);
  EXPECT_EQ(s->get_BuildNumber(), 7);
  EXPECT_EQ(s->get_ServerName(), url);
  s->Disconnect();
  EXPECT_THROW(s->get_ServerState(), AutomationError);
}

TEST_F(UaServer, ABrowseWalkFindsEveryLeafAndEachLeafAddsToAGroup) {
  VEXA32_REQUIRE_UA_SERVER(url);
  ScopedServices services{std::make_shared<RecordingMessageBox>()};
  OPCServerClass wrapper;
  ASSERT_EQ(wrapper.ConnectOPCServer(url, "Server 0", 0, Variant("")), Variant(true));
  std::shared_ptr<OPCBrowserClass> b;
  ASSERT_EQ(wrapper.GetServerBrowseObject(b), Variant(true));
  std::vector<std::string> ids;
  std::set<std::string> branches_seen;
  std::function<void(std::vector<std::string>)> walk = [&](std::vector<std::string> path) {
    ASSERT_EQ(b->MoveToRoot(), Variant(true));
    for (const auto& p : path) ASSERT_EQ(b->MoveDown(p), Variant(true)) << p;
    b->ShowBranches();
    std::vector<std::string> branches;
    for (std::int32_t i = 1, n = to_i4(b->GetItemCount()); i <= n; ++i) {
      std::string name;
      b->GetItemName(name, Variant(i));
      branches.push_back(name);
      branches_seen.insert(name);
    }
    b->ShowLeafs();
    for (std::int32_t i = 1, n = to_i4(b->GetItemCount()); i <= n; ++i) {
      std::string name;
      b->GetItemName(name, Variant(i));
      ids.push_back(b->GetItemID(name).bstr());
    }
    for (const auto& branch : branches) {
      auto child = path;
      child.push_back(branch);
      walk(child);
    }
  };
  walk({});
  for (const char* branch : {"Branch With Blanks", "Dotted.Branch", "X", "Many", "Server"})
    EXPECT_TRUE(branches_seen.count(branch)) << branch;
  for (const char* id : {"ns=1;s=Simulation.Sine", "ns=1;s=Deep.Leaf", "ns=1;s=Many.V1199", "i=2256"})
    EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id;
  EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const std::string& id) { return id.starts_with("ns=1;s=Many."); }),
            1200);

  auto s = connect(url);
  std::vector<HRESULT> errors;
  add(*s, ids, errors);
  for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(errors[i], hr::S_OK) << ids[i];

  // Flat below a branch, and the filters as the simulation applies them.
  auto browser = s->CreateBrowser();
  browser->MoveDown("Many");
  browser->ShowLeafs(Variant(true));
  EXPECT_EQ(browser->get_Count(), 1200);
  browser->MoveToRoot();
  browser->MoveDown("Types");
  browser->put_DataType(VT_R8);
  browser->ShowLeafs();
  ASSERT_EQ(browser->get_Count(), 1);
  EXPECT_EQ(browser->Item(Variant(1)), "Double");
  browser->put_DataType(VT_EMPTY);
  browser->put_Filter("*Array");
  browser->ShowLeafs();
  EXPECT_EQ(browser->get_Count(), 4);
  browser->put_Filter("");
  browser->MoveToRoot();
  browser->MoveDown("Access");
  browser->put_AccessRights(opcda::OPC_WRITEABLE);
  browser->ShowLeafs();
  ASSERT_EQ(browser->get_Count(), 1);
  EXPECT_EQ(browser->Item(Variant(1)), "WriteOnly");
  EXPECT_THROW(browser->MoveDown("No such branch"), AutomationError);
  browser->MoveToRoot();
  EXPECT_THROW(browser->MoveUp(), AutomationError);
}

TEST_F(UaServer, ReadsDeliverEveryTypeWithItsVt) {
  VEXA32_REQUIRE_UA_SERVER(url);
  const struct {
    const char* id;
    VarType vt;
    const char* value;  // the value as text; nullptr: not compared
    std::int32_t quality;
  } table[] = {
      {"ns=1;s=Types.Boolean", VT_BOOL, "True", 0xC0},
      {"ns=1;s=Types.SByte", VT_I1, "-5", 0xC0},
      {"ns=1;s=Types.Byte", VT_UI1, "200", 0xC0},
      {"ns=1;s=Types.Int16", VT_I2, "-1234", 0xC0},
      {"ns=1;s=Types.UInt16", VT_UI2, "54321", 0xC0},
      {"ns=1;s=Types.Int32", VT_I4, nullptr, 0xC0},
      {"ns=1;s=Types.UInt32", VT_UI4, "3000000000", 0xC0},
      {"ns=1;s=Types.Int64", VT_I8, "4294967296", 0xC0},
      {"ns=1;s=Types.UInt64", VT_UI8, "8589934597", 0xC0},
      {"ns=1;s=Types.Float", VT_R4, "1.5", 0xC0},
      {"ns=1;s=Types.Double", VT_R8, nullptr, 0xC0},
      {"ns=1;s=Types.String", VT_BSTR, nullptr, 0xC0},
      {"ns=1;s=Types.LocalizedText", VT_BSTR, "text", 0xC0},
      {"ns=1;s=Types.DateTime", VT_DATE, "1/2/2024 3:04:05 AM", 0xC0},
      {"ns=1;s=Types.BooleanArray", VT_ARRAY | VT_BOOL, nullptr, 0xC0},
      {"ns=1;s=Types.Int32Array", VT_ARRAY | VT_I4, nullptr, 0xC0},
      {"ns=1;s=Types.DoubleArray", VT_ARRAY | VT_R8, nullptr, 0xC0},
      {"ns=1;s=Types.StringArray", VT_ARRAY | VT_BSTR, nullptr, 0xC0},
      {"ns=1;s=Simulation.Counter", VT_UI4, nullptr, 0xC0},
      {"ns=1;s=Quality.Uncertain", VT_R8, "1.25", 0x44},
      {"ns=1;s=Quality.Bad", VT_R8, nullptr, 0x10},
  };
  auto s = connect(url);
  std::vector<std::string> ids;
  for (const auto& row : table) ids.push_back(row.id);
  std::vector<HRESULT> errors;
  auto handles = add(*s, ids, errors);
  for (std::size_t i = 0; i < std::size(table); ++i) {
    SCOPED_TRACE(table[i].id);
    ASSERT_EQ(errors[i], hr::S_OK);
    auto item = items->GetOPCItem(handles[i]);
    EXPECT_EQ(item->get_CanonicalDataType(), static_cast<std::int16_t>(table[i].vt));
    Variant v = item->get_Value();
    EXPECT_EQ(v.vt(), table[i].vt);
    if (table[i].value) {
      EXPECT_EQ(to_bstr(v), table[i].value);
    }
    EXPECT_EQ(item->get_Quality(), table[i].quality);
    EXPECT_GT(item->get_TimeStamp(), 45000.0);
  }
  auto arrays = items->GetOPCItem(handles[16])->get_Value();
  EXPECT_EQ(arrays.array().lower_bound(), 1);
  EXPECT_EQ(arrays.array().size(), 2u);
}

TEST_F(UaServer, WritesTakeEachNodesTypeAndReadBack) {
  VEXA32_REQUIRE_UA_SERVER(url);
  const struct {
    const char* id;
    Variant written;
    Variant read_back;
    HRESULT error;
  } table[] = {
      {"ns=1;s=Writable.Boolean", Variant(false), Variant(false), hr::S_OK},
      {"ns=1;s=Writable.SByte", Variant("-100"), Variant(std::int8_t{-100}), hr::S_OK},
      {"ns=1;s=Writable.Byte", Variant(7), Variant(std::uint8_t{7}), hr::S_OK},
      {"ns=1;s=Writable.Int16", Variant(-2), Variant(std::int16_t{-2}), hr::S_OK},
      {"ns=1;s=Writable.UInt16", Variant(65535), Variant(std::uint16_t{65535}), hr::S_OK},
      {"ns=1;s=Writable.Int32", Variant(42.0), Variant(42), hr::S_OK},
      {"ns=1;s=Writable.UInt32", Variant(4000000000.0), Variant(std::uint32_t{4000000000u}), hr::S_OK},
      {"ns=1;s=Writable.Int64", Variant(-5), Variant(-5LL), hr::S_OK},
      {"ns=1;s=Writable.UInt64", Variant(5), Variant(5ULL), hr::S_OK},
      {"ns=1;s=Writable.Float", Variant("0.25"), Variant(0.25f), hr::S_OK},
      {"ns=1;s=Writable.Double", Variant(-6.5), Variant(-6.5), hr::S_OK},
      {"ns=1;s=Writable.String", Variant(12), Variant("12"), hr::S_OK},
      {"ns=1;s=Writable.LocalizedText", Variant("neu"), Variant("neu"), hr::S_OK},
      {"ns=1;s=Writable.DateTime", Variant::date(45000.5), Variant::date(45000.5), hr::S_OK},
      {"ns=1;s=Writable.Int32Array", make_array(VT_I4, {Variant(9), Variant(8)}),
       make_array(VT_I4, {Variant(9), Variant(8)}), hr::S_OK},
      {"ns=1;s=Writable.Double", Variant("abc"), Variant(), hr::OPC_E_BADTYPE},
      {"ns=1;s=Writable.Byte", Variant(300), Variant(), hr::OPC_E_RANGE},
      {"ns=1;s=Writable.Int32Array", Variant(1), Variant(), hr::OPC_E_BADTYPE},
      {"ns=1;s=Access.ReadOnly", Variant(1), Variant(), hr::OPC_E_BADRIGHTS},
  };
  auto s = connect(url);
  std::vector<std::string> ids;
  for (const auto& row : table) ids.push_back(row.id);
  std::vector<HRESULT> errors;
  auto handles = add(*s, ids, errors);
  std::vector<Variant> h(handles.begin(), handles.end()), values;
  for (const auto& row : table) values.push_back(row.written);
  Variant errs;
  group->SyncWrite(static_cast<std::int32_t>(h.size()), make_array(VT_I4, h), make_array(VT_VARIANT, values), errs);
  for (std::size_t i = 0; i < std::size(table); ++i) {
    SCOPED_TRACE(std::string(table[i].id) + " <- " + table[i].written.debug_string());
    EXPECT_EQ(errs.array().at(static_cast<std::int32_t>(i + 1)).i4(), table[i].error);
    if (table[i].error == hr::S_OK) {
      EXPECT_EQ(items->GetOPCItem(handles[i])->get_Value(), table[i].read_back);
    }
  }

  // An asynchronous write completes on the apartment, after the call.
  int completions = 0;
  Variant results;
  group->AsyncWriteComplete().connect([&](std::int32_t id, std::int32_t n, const Variant&, const Variant& e) {
    ++completions;
    EXPECT_EQ(id, 77);
    EXPECT_EQ(n, 2);
    results = e;
  });
  std::int32_t cancel = 0;
  group->AsyncWrite(3, make_array(VT_I4, {h[5], h[18], h[15]}),
                    make_array(VT_VARIANT, {Variant(5), Variant(1), Variant("x")}), errs, 77, cancel);
  EXPECT_EQ(errs.array().at(3).i4(), hr::OPC_E_BADTYPE);
  EXPECT_EQ(completions, 0);
  pump_until([&] { return completions > 0; });
  ASSERT_EQ(completions, 1);
  EXPECT_EQ(results.array().at(1).i4(), hr::S_OK);
  EXPECT_EQ(results.array().at(2).i4(), hr::OPC_E_BADRIGHTS);
  EXPECT_EQ(items->GetOPCItem(handles[5])->get_Value(), Variant(5));
}

TEST_F(UaServer, ItemIdsThatNameNoVariableAreRefusedPerItem) {
  VEXA32_REQUIRE_UA_SERVER(url);
  auto s = connect(url);
  // The server's own namespace (index 1) by its URI, as the server lists it.
  std::vector<HRESULT> errors;
  auto array = add(*s, {"i=2255"}, errors);
  std::string own_namespace = to_bstr(items->GetOPCItem(array[0])->get_Value().array().at(2));
  std::string by_uri = "nsu=" + own_namespace + ";s=Simulation.Sine";
  const std::pair<const char*, HRESULT> table[] = {
      {"i=2258", hr::S_OK},
      {by_uri.c_str(), hr::S_OK},
      {"ns=1;s=No.Such.Node", hr::OPC_E_UNKNOWNITEMID},
      {"ns=1;s=Simulation", hr::OPC_E_UNKNOWNITEMID},  // a folder
      {"nsu=urn:no:such:namespace;s=x", hr::OPC_E_UNKNOWNITEMID},
      {"ns=99;i=1", hr::OPC_E_UNKNOWNITEMID},
      {"Simulation.Sine", hr::OPC_E_INVALIDITEMID},
      {"ns=1;x=1", hr::OPC_E_INVALIDITEMID},
  };
  std::vector<std::string> ids;
  for (const auto& [id, e] : table) ids.push_back(id);
  add(*s, ids, errors);
  Variant validated;
  std::vector<Variant> id_list(ids.begin(), ids.end());
  items->Validate(static_cast<std::int32_t>(ids.size()), make_array(VT_BSTR, id_list), validated);
  for (std::size_t i = 0; i < std::size(table); ++i) {
    SCOPED_TRACE(table[i].first);
    EXPECT_EQ(errors[i], table[i].second);
    EXPECT_EQ(validated.array().at(static_cast<std::int32_t>(i + 1)).i4(), table[i].second);
  }
  EXPECT_EQ(items->AddItem("ns=1;s=No.Such.Node", 1), nullptr);
  EXPECT_EQ(items->get_Count(), 2);
}

TEST_F(UaServer, TheServerListOfANodeNamesTheServersThatAnswerThere) {
  VEXA32_REQUIRE_UA_SERVER(url);
  opcua::UaModuleOptions options;
  options.discovery_ports = {port_of(url)};
  opcua::install_opcua(opcda::ServerRegistry::instance(), options);
  auto s = opcda::create_opc_server();
  for (const char* node : {"", "127.0.0.1"}) {
    Variant list = s->GetOPCServers(Variant(node));
    auto ids = list.array().elements();
    EXPECT_NE(std::find(ids.begin(), ids.end(), Variant(url)), ids.end()) << node;
    EXPECT_NE(std::find(ids.begin(), ids.end(), Variant(opcda::kSimulationProgId)), ids.end()) << node;
  }
  // Nothing listening on the local node is no error; on another node it is an unreachable node.
  TcpProxy unused(1);
  options.discovery_ports = {unused.port() + 1};
  opcua::install_opcua(opcda::ServerRegistry::instance(), options);
  EXPECT_NO_THROW(s->GetOPCServers(Variant("")));
  try {
    s->GetOPCServers(Variant("no-such-host.invalid"));
    ADD_FAILURE() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::RPC_S_SERVER_UNAVAILABLE);
  }
}

TEST_F(UaServer, ALostConnectionFailsEveryLaterCallClearly) {
  VEXA32_REQUIRE_UA_SERVER(url);
  TcpProxy proxy(port_of(url));
  auto s = connect(proxy.url());
  std::vector<HRESULT> errors;
  auto handles = add(*s, {"ns=1;s=Types.Int32"}, errors);
  ASSERT_EQ(errors[0], hr::S_OK);
  proxy.cut();
  std::this_thread::sleep_for(200ms);
  for (int i = 0; i < 2; ++i) {
    try {
      items->GetOPCItem(handles[0])->get_Value();
      ADD_FAILURE() << "no error";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.hresult(), hr::RPC_E_DISCONNECTED);
      EXPECT_NE(std::string(e.what()).find("lost"), std::string::npos) << e.what();
    }
  }
  pump_until([&] { return s->get_ServerState() == opcda::OPCFailed; });
  EXPECT_EQ(s->get_ServerState(), opcda::OPCFailed);  // while the connection is being restored
  EXPECT_NO_THROW(s->Disconnect());
  EXPECT_THROW(opcda::create_opc_server()->Connect("opc.tcp://127.0.0.1:1"), AutomationError);
}

TEST_F(UaServer, TheChannelRenewsItsTokenAndAServiceFaultFailsItsCall) {
  VEXA32_REQUIRE_UA_SERVER(url);
  opcua::ClientOptions options;
  options.channel_lifetime_ms = 1000;
  auto client = opcua::Client::open(url, options);
  client->create_session();
  opcua::ReadRequest read;
  read.nodes.push_back({opcua::NodeId(0, 2258), opcua::attribute::Value});
  // The server may revise the lifetime up; a renewal comes at three quarters of what it grants.
  auto end = std::chrono::steady_clock::now() + 5s;
  while (client->renewals() < 1 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
  EXPECT_GE(client->renewals(), 1);
  EXPECT_EQ(client->read(read).results.size(), 1u);
  try {
    client->read(opcua::ReadRequest{});  // nothing to read: the server answers with a fault
    ADD_FAILURE() << "no error";
  } catch (const opcua::UaError& e) {
    EXPECT_EQ(e.code(), opcua::status::BadNothingToDo);
  }
  EXPECT_EQ(client->failure(), "");
  client->close();
  EXPECT_THROW(client->read(read), opcua::UaError);
}

TEST_F(UaServer, TheControlConnectsAndWritesToAUaServer) {
  VEXA32_REQUIRE_UA_SERVER(url);
  ScopedServices services{std::make_shared<RecordingMessageBox>()};
  RecordingSite site(true);
  vexa control;
  control.SetClientSite(&site);
  control.put_svrname(url);
  control.put_itm(0, "ns=1;s=Simulation.Sine");
  control.put_itm(1, "ns=1;s=Scratch.Control");
  control.cnnec();
  ASSERT_TRUE(control.IsConnect);
  EXPECT_NE(control.opcWrt(1, Variant(33)), 0);
  control.discnn();
  EXPECT_FALSE(control.IsConnect);
  auto s = connect(url);
  std::vector<HRESULT> errors;
  auto handles = add(*s, {"ns=1;s=Scratch.Control"}, errors);
  EXPECT_EQ(items->GetOPCItem(handles[0])->get_Value(), Variant(std::int16_t{33}));
}

}  // namespace
}  // namespace vexa32::testing

namespace vexa32::testing {
namespace {

class UaSubscription : public UaServer {
 protected:
  // A control on the server with the given slots, counting its datChange events.
  void connect_control(const std::string& url, const std::vector<std::pair<int, std::string>>& slots,
                       const char* rate = "100") {
    control.SetClientSite(&site);
    control.put_svrname(url);
    control.put_UpdateRate(Variant(rate));
    for (const auto& [slot, id] : slots) control.put_itm(slot, id);
    control.events().advise([this](DISPID, const std::vector<Variant>&) { ++events; });
    control.cnnec();
    ASSERT_TRUE(control.IsConnect);
  }

  ScopedServices services{std::make_shared<RecordingMessageBox>()};
  RecordingSite site{true};
  vexa control;
  int events = 0;
};

TEST_F(UaSubscription, DataChangesReachTheSlotsAndAWriteIsSeenInTheNext) {
  VEXA32_REQUIRE_UA_SERVER(url);
  connect_control(url, {{0, "ns=1;s=Simulation.Sine"},
                        {1, "ns=1;s=Simulation.Counter"},
                        {2, "ns=1;s=Scratch.Subscribed"},
                        {3, "ns=1;s=Quality.Bad"}});
  pump_until([&] { return events >= 3; });
  ASSERT_GE(events, 3);
  EXPECT_EQ(control.GetVl(0).vt(), VT_R8);
  EXPECT_EQ(control.GetVl(1).vt(), VT_UI4);
  EXPECT_EQ(control.GetQuality(0), Variant("Good"));
  EXPECT_EQ(control.GetQuality(3), Variant(0x10));  // the first callback holds every item
  EXPECT_GT(control.GetTimeStamp(0), 45000.0);
  Variant counter = control.GetVl(1);
  pump_until([&] { return control.GetVl(1) != counter; });
  EXPECT_NE(control.GetVl(1), counter);

  double written = 1000.0 + events;
  EXPECT_NE(control.opcWrt(2, Variant(written)), 0);
  pump_until([&] { return control.GetVl(2) == Variant(written); });
  EXPECT_EQ(control.GetVl(2), Variant(written));
  control.discnn();
}

TEST_F(UaSubscription, SixtySlotsOfWhichTwentyAreUnknownDeliverTheOtherForty) {
  VEXA32_REQUIRE_UA_SERVER(url);
  std::vector<std::pair<int, std::string>> slots;
  for (int i = 0; i < 60; ++i) {
    char id[32];
    std::snprintf(id, sizeof id, i % 3 == 2 ? "ns=1;s=Nowhere.%d" : "ns=1;s=Many.V%04d", i);
    slots.emplace_back(i, id);
  }
  connect_control(url, slots);
  pump_until([&] { return !control.GetVl(58).is_empty(); });
  for (int i = 0; i < 60; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(control.GetVl(static_cast<std::int16_t>(i)).is_empty(), i % 3 == 2);
    if (i % 3 != 2) {
      EXPECT_EQ(control.GetVl(static_cast<std::int16_t>(i)), Variant(i));
    }
  }
}

TEST_F(UaSubscription, ActivationRateAndDeadbandReachTheMonitoredItems) {
  VEXA32_REQUIRE_UA_SERVER(url);
  auto s = connect(url);
  group = s->get_OPCGroups()->Add(Variant("G"));
  group->put_IsSubscribed(true);
  group->put_UpdateRate(1000);
  // Per callback, the handles it holds; the counter's (7) time stamps.
  std::vector<std::vector<std::int32_t>> calls;
  std::vector<DATE> stamps;
  group->DataChange().connect(
      [&](std::int32_t, std::int32_t n, const Variant& h, const Variant&, const Variant&, const Variant& t) {
        calls.emplace_back();
        for (std::int32_t i = 1; i <= n; ++i) {
          calls.back().push_back(h.array().at(i).i4());
          if (calls.back().back() == 7) stamps.push_back(t.array().at(i).date_value());
        }
      });
  auto seen = [&](std::size_t from, std::int32_t handle) {
    for (std::size_t c = from; c < calls.size(); ++c) {
      if (std::count(calls[c].begin(), calls[c].end(), handle)) return true;
    }
    return false;
  };
  Variant handles, errs;
  // The counter changes every 100 ms; Types.Double (8) never does.
  group->get_OPCItems()->AddItems(
      2, make_array(VT_BSTR, {Variant("ns=1;s=Simulation.Counter"), Variant("ns=1;s=Types.Double")}),
      make_array(VT_I4, {Variant(7), Variant(8)}), handles, errs);
  pump_until([&] { return stamps.size() >= 2 && seen(0, 8); });
  ASSERT_TRUE(seen(0, 8));

  // A new rate with items in: they sample at it too, so the counter comes four times a second.
  group->put_UpdateRate(250);
  EXPECT_EQ(group->get_UpdateRate(), 250);
  const std::size_t from = stamps.size() + 1;
  pump_until([&] { return stamps.size() >= from + 5; });
  ASSERT_GE(stamps.size(), from + 5);
  double seconds = (stamps.back() - stamps[from]) * 86400.0 / static_cast<double>(stamps.size() - 1 - from);
  EXPECT_GT(seconds, 0.15);
  EXPECT_LT(seconds, 0.6);
  // A deadband where the node has no EU range does not apply, and costs the item nothing.
  group->put_DeadBand(10.0f);
  std::size_t mark = stamps.size();
  pump_until([&] { return stamps.size() >= mark + 2; });
  EXPECT_GE(stamps.size(), mark + 2);

  // An item switched off and on again: the server reports it again, unchanged as it is.
  auto item8 = group->get_OPCItems()->GetOPCItem(handles.array().at(2).i4());
  item8->put_IsActive(false);
  mark = calls.size();
  item8->put_IsActive(true);
  pump_until([&] { return seen(mark, 8); });
  EXPECT_TRUE(seen(mark, 8));

  // An inactive group raises nothing; activated, it reports every item again.
  group->put_IsActive(false);
  apartment.run_until_idle();
  mark = calls.size();
  auto end = std::chrono::steady_clock::now() + 1200ms;
  while (std::chrono::steady_clock::now() < end) {
    apartment.run_until_idle();
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(calls.size(), mark);
  group->put_IsActive(true);
  pump_until([&] { return seen(mark, 7) && seen(mark, 8); });
  EXPECT_TRUE(seen(mark, 8));
}

}  // namespace
}  // namespace vexa32::testing

namespace vexa32::testing {
namespace {

// What the process holds: open descriptors, threads and resident memory (KiB).
struct Holdings {
  int fds = 0, threads = 0;
  long rss_kib = 0;
};
Holdings holdings() {
  Holdings h;
  auto count = [](const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
      while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
      ::closedir(d);
    }
    return n;
  };
  h.fds = count("/proc/self/fd");
  h.threads = count("/proc/self/task");
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  h.rss_kib = resident * (::sysconf(_SC_PAGESIZE) / 1024);
  return h;
}

// How many cuts or restarts: the suite's count, or the soak script's from the environment.
int soak_count(const char* variable, int normal) {
  const char* v = std::getenv(variable);
  return v ? std::max(1, std::atoi(v)) : normal;
}

class UaHealing : public UaSubscription {
 protected:
  void SetUp() override {
    opcua::UaModuleOptions options;
    options.first_retry = 100ms;  // the tests' own pace; a host keeps the default 1 s
    opcua::install_opcua(opcda::ServerRegistry::instance(), options);
  }

  // The slots go to quality 24 (no communication), then back to good, changing values.
  void lose_and_heal(const char* what, int round) {
    SCOPED_TRACE(std::string(what) + " " + std::to_string(round));
    pump_until([&] { return control.GetQuality(0) == Variant(24); });
    ASSERT_EQ(control.GetQuality(0), Variant(24));
    ASSERT_EQ(control.GetQuality(1), Variant(24));
    pump_until([&] { return control.GetQuality(0) == Variant("Good") && control.GetQuality(1) == Variant("Good"); });
    ASSERT_EQ(control.GetQuality(0), Variant("Good"));
    Variant counter = control.GetVl(1);
    pump_until([&] { return control.GetVl(1) != counter; });
    ASSERT_NE(control.GetVl(1), counter);
  }

  // The connected control through the proxy: cut (half of the time in the middle of a message) and
  // healed many times, holding no more descriptors, threads or memory at the end than after the first.
  void cut_and_heal(TcpProxy& proxy) {
    pump_until([&] { return control.GetQuality(1) == Variant("Good"); });
    Holdings first;
    const int cuts = soak_count("VEXA32_UA_CUTS", 100);
    for (int round = 1; round <= cuts; ++round) {
      if (round % 2) {
        proxy.cut();
      } else {
        proxy.cut_mid_message();
      }
      lose_and_heal("cut", round);
      if (HasFatalFailure()) return;
      if (round == 1) first = holdings();
    }
    Holdings last = holdings();
    EXPECT_LE(last.fds, first.fds);
    EXPECT_LE(last.threads, first.threads);
#if !defined(__SANITIZE_ADDRESS__)
    // Under ASan freed memory waits in its quarantine, so only the normal build compares it;
    // ASan's leak check covers that build.
    EXPECT_LE(last.rss_kib, first.rss_kib + 2048) << "first " << first.rss_kib << " KiB, last " << last.rss_kib;
#endif
    std::printf("after cut 1: %d fds, %d threads, %ld KiB; after cut %d: %d fds, %d threads, %ld KiB\n", first.fds,
                first.threads, first.rss_kib, cuts, last.fds, last.threads, last.rss_kib);
    control.discnn();
  }
};

TEST_F(UaHealing, AHundredCutsCostNothingButAStretchOfBadQuality) {
  VEXA32_REQUIRE_UA_SERVER(url);
  TcpProxy proxy(port_of(url));
  connect_control(proxy.url(), {{0, "ns=1;s=Simulation.Sine"}, {1, "ns=1;s=Simulation.Counter"}});
  cut_and_heal(proxy);
}

TEST_F(UaHealing, DisconnectDuringTheRetriesEndsThem) {
  VEXA32_REQUIRE_UA_SERVER(url);
  TcpProxy proxy(port_of(url));
  connect_control(proxy.url(), {{1, "ns=1;s=Simulation.Counter"}});
  pump_until([&] { return control.GetQuality(1) == Variant("Good"); });
  const int connected = proxy.attempts();
  proxy.refuse(true);
  proxy.cut();
  // Removing the group on the way needs no server: the lost connection cannot stop a disconnect.
  pump_until([&] { return control.GetQuality(1) == Variant(24) && proxy.attempts() > connected; });
  ASSERT_GT(proxy.attempts(), connected);
  auto start = std::chrono::steady_clock::now();
  control.discnn();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(control.IsConnect);
  // The server is reachable again, but nothing tries it: the next retry was due within 2 s.
  const int attempts = proxy.attempts();
  proxy.refuse(false);
  auto end = std::chrono::steady_clock::now() + 2500ms;
  while (std::chrono::steady_clock::now() < end) {
    apartment.run_until_idle();
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(proxy.attempts(), attempts);
}

TEST_F(UaHealing, AServerThatRestartsFiveTimesIsFollowed) {
  VEXA32_REQUIRE_UA_SERVER(shared_url);
  const std::string fixture = std::string(VEXA32_SOURCE_DIR) + "/tests/opcua/server/fixture.sh";
  char dir_template[] = "/tmp/vexa32-ua-restart-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string state = dir_template;
  ASSERT_EQ(std::system((fixture + " start " + state).c_str()), 0);
  std::string url;
  std::ifstream(state + "/url") >> url;
  const std::string port = std::to_string(port_of(url));
  connect_control(url, {{0, "ns=1;s=Simulation.Sine"}, {1, "ns=1;s=Simulation.Counter"}});
  pump_until([&] { return control.GetQuality(1) == Variant("Good"); });
  const int restarts = soak_count("VEXA32_UA_RESTARTS", 5);
  Holdings first;
  for (int round = 1; round <= restarts && !HasFatalFailure(); ++round) {
    ASSERT_EQ(std::system((fixture + " stop " + state).c_str()), 0);
    pump_until([&] { return control.GetQuality(0) == Variant(24); });
    EXPECT_EQ(control.GetQuality(0), Variant(24));
    ASSERT_EQ(std::system((fixture + " start " + state + " " + port).c_str()), 0);
    lose_and_heal("restart", round);
    if (round == 1) first = holdings();
  }
  Holdings last = holdings();
  std::printf("after restart 1: %d fds, %d threads, %ld KiB; after restart %d: %d fds, %d threads, %ld KiB\n",
              first.fds, first.threads, first.rss_kib, restarts, last.fds, last.threads, last.rss_kib);
  control.discnn();
  std::system((fixture + " stop " + state).c_str());
  std::system(("rm -rf " + state).c_str());
}

TEST_F(UaHealing, AServerThatAnnouncesItsShutdownRaisesServerShutDownWithTheReason) {
  VEXA32_REQUIRE_UA_SERVER(shared_url);
  const std::string fixture = std::string(VEXA32_SOURCE_DIR) + "/tests/opcua/server/fixture.sh";
  char dir_template[] = "/tmp/vexa32-ua-shutdown-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string state = dir_template;
  // Announced 2 s ahead, well inside the 10 s between keep-alives: the status is watched.
  ASSERT_EQ(std::system((fixture + " start " + state + " '' --shutdown-delay 2000").c_str()), 0);
  std::string url, pid;
  std::ifstream(state + "/url") >> url;
  std::ifstream(state + "/pid") >> pid;
  auto s = connect(url);
  std::vector<std::string> reasons;
  std::vector<std::int32_t> states;
  s->ServerShutDown().connect([&](const std::string& reason) {
    reasons.push_back(reason);
    states.push_back(s->get_ServerState());  // still answering: the event came before the end
  });
  ASSERT_EQ(std::system(("kill -USR1 " + pid).c_str()), 0);
  pump_until([&] { return !reasons.empty(); });
  EXPECT_EQ(reasons, std::vector<std::string>{"maintenance"});
  EXPECT_EQ(states, std::vector<std::int32_t>{opcda::OPCSuspended});
  s->Disconnect();
  std::system((fixture + " stop " + state).c_str());
  std::system(("rm -rf " + state).c_str());
}

// The server in its secure mode, with a certificate store and a password file of the test's own.
class UaSecure : public UaHealing {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/vexa32-ua-secure-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    dir = folder;
    options.pki_folder = dir + "/pki";
    options.password_file = dir + "/uapass";
    password("secret-42");
    options.first_retry = 100ms;
    opcua::install_opcua(opcda::ServerRegistry::instance(), options);
  }
  void TearDown() override {
    UaHealing::TearDown();
    std::system(("rm -rf " + dir).c_str());
  }
  void password(const std::string& p) {
    std::ofstream(options.password_file) << "127.0.0.1:*:operator:" << p << "\n";
    ::chmod(options.password_file.c_str(), 0600);
  }
  // opc.tcp://operator@host:port?query
  static std::string address(const std::string& url, const std::string& query, const std::string& user = "operator") {
    std::string a = url;
    if (!user.empty()) a.insert(std::string("opc.tcp://").size(), user + "@");
    return query.empty() ? a : a + "?" + query;
  }
  // The first connection finds the server's certificate unknown; the user trusts what was rejected.
  void trust_server(const std::string& url) {
    try {
      connect(address(url, ""));
      ADD_FAILURE() << "an unknown certificate was accepted";
    } catch (const AutomationError& e) {
      EXPECT_NE(std::string(e.what()).find("is not trusted"), std::string::npos) << e.what();
    }
    opcua::Pki pki(options.pki_folder);
    ASSERT_EQ(pki.rejected().size(), 1u);
    pki.trust(pki.rejected().front());
  }

  std::string dir;
  opcua::UaModuleOptions options;
};

TEST_F(UaSecure, EveryPolicyAndModeCarriesReadsWritesAndDataChanges) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  trust_server(url);
  for (const char* policy : {"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"}) {
    for (const char* mode : {"Sign", "SignAndEncrypt"}) {
      SCOPED_TRACE(std::string(policy) + "/" + mode);
      vexa c;
      c.SetClientSite(&site);
      c.put_svrname(address(url, std::string("security=") + mode + "&policy=" + policy));
      c.put_UpdateRate(Variant("100"));
      c.put_itm(0, "ns=1;s=Simulation.Counter");
      c.put_itm(1, "ns=1;s=Scratch.Subscribed");
      c.cnnec();
      ASSERT_TRUE(c.IsConnect) << c.last_connect_failure();
      pump_until([&] { return c.GetQuality(0) == Variant("Good"); });
      const Variant counter = c.GetVl(0);
      const double written = 500.0 + counter.unsigned_payload() % 100;
      EXPECT_NE(c.opcWrt(1, Variant(written)), 0);
      pump_until([&] { return c.GetVl(0) != counter && c.GetVl(1) == Variant(written); });
      EXPECT_NE(c.GetVl(0), counter);
      EXPECT_EQ(c.GetVl(1), Variant(written));
      c.discnn();
    }
  }
}

TEST_F(UaSecure, LoginsTheDefaultEndpointRenewalAndTheirRefusals) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  trust_server(url);
  // Without a query: the endpoint of highest SecurityLevel.
  auto discovery = opcua::Client::open(url);
  const auto endpoints = discovery->get_endpoints();
  discovery->close();
  const auto best = std::max_element(endpoints.begin(), endpoints.end(), [](const auto& a, const auto& b) {
    return a.security_level < b.security_level;
  });
  auto module = options;
  module.client.channel_lifetime_ms = 1000;
  auto client = opcua::connect_session(address(url, ""), module);
  EXPECT_EQ(client->options().security.policy->uri, best->security_policy_uri);
  EXPECT_EQ(static_cast<int>(client->options().security.mode), best->security_mode);
  // A renewal under SignAndEncrypt: fresh keys, and the session goes on.
  auto end = std::chrono::steady_clock::now() + 5s;
  while (client->renewals() < 1 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
  EXPECT_GE(client->renewals(), 1);
  opcua::ReadRequest read;
  read.nodes.push_back({opcua::NodeId(0, 2258), opcua::attribute::Value});
  EXPECT_EQ(client->read(read).results.size(), 1u);
  client->close();

  // A user with a certificate in the store logs in with it, signed as the standard says.
  opcua::crypto::CertificateRequest request;
  request.common_name = "machine";
  request.application_uri = "urn:vexa32:user:machine";
  const auto machine = opcua::crypto::make_certificate(request);
  std::filesystem::create_directories(options.pki_folder + "/user/certs");
  std::filesystem::create_directories(options.pki_folder + "/user/private");
  std::ofstream(options.pki_folder + "/user/certs/machine.der", std::ios::binary) << machine.certificate.der();
  std::ofstream(options.pki_folder + "/user/private/machine.pem") << machine.key.private_pem();
  ::chmod((options.pki_folder + "/user/private/machine.pem").c_str(), 0600);
  auto as_machine = opcua::connect_session(address(url, "security=SignAndEncrypt", "machine"), options);
  EXPECT_EQ(as_machine->options().user.kind(), 2);
  EXPECT_EQ(as_machine->read(read).results.size(), 1u);
  as_machine->close();

  struct Case {
    const char* label;
    std::string address;
    const char* password;
    const char* in_message;
  };
  const Case cases[] = {
      {"wrong password", address(url, "security=Sign"), "wrong", "BadUserAccessDenied"},
      {"no user", address(url, "", ""), "secret-42", "takes no anonymous login"},
      {"no None endpoint", address(url, "security=None"), "secret-42", "Basic256Sha256/Sign"},
      {"a user without a password", address(url, "", "nobody"), "secret-42", "no password for nobody"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    password(c.password);
    try {
      connect(c.address);
      ADD_FAILURE() << "connected";
    } catch (const AutomationError& e) {
      EXPECT_NE(std::string(e.what()).find(c.in_message), std::string::npos) << e.what();
    }
  }
}

// A host that answers from a script and records what it was asked.
struct ScriptedDecisions final : opcua::DecisionService {
  opcua::TrustAnswer untrusted_server(const opcua::UntrustedServer& server) override {
    servers.push_back(server);
    return take(trust, opcua::TrustAnswer::Refuse);
  }
  std::optional<opcua::LoginAnswer> login(const opcua::LoginQuestion& question) override {
    questions.push_back(question);
    return take(logins, std::optional<opcua::LoginAnswer>());
  }
  template <class T>
  static T take(std::vector<T>& answers, T otherwise) {
    if (answers.empty()) return otherwise;
    T a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  std::vector<opcua::TrustAnswer> trust;
  std::vector<std::optional<opcua::LoginAnswer>> logins;
  std::vector<opcua::UntrustedServer> servers;
  std::vector<opcua::LoginQuestion> questions;
};

TEST_F(UaSecure, TheHostDecidesOnAnUntrustedServerAndOnALogin) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  auto host = std::make_shared<ScriptedDecisions>();
  opcua::set_decision_service(host);
  struct Restore {
    ~Restore() { opcua::set_decision_service(nullptr); }
  } restore;
  std::filesystem::remove(options.password_file);  // no password on file: the host is asked
  const std::string secure = address(url, "security=SignAndEncrypt");
  const std::string trusted_certs = options.pki_folder + "/trusted/certs";
  const auto count = [](const std::string& folder) {
    return std::filesystem::exists(folder) ? std::distance(std::filesystem::directory_iterator(folder), {}) : 0;
  };
  using opcua::TrustAnswer;
  const opcua::LoginAnswer wrong{"operator", "wrong", false}, right{"operator", "secret-42", true};
  // Refused: it fails as without a host, and no password was asked for an unknown server.
  EXPECT_THROW(opcua::connect_session(secure, options), opcua::UaError);
  ASSERT_EQ(host->servers.size(), 1u);
  EXPECT_TRUE(host->servers[0].can_trust);
  EXPECT_EQ(host->servers[0].problem, opcua::status::BadCertificateUntrusted);
  EXPECT_EQ(host->servers[0].url, secure);
  EXPECT_TRUE(host->questions.empty());
  // Trusted and stored; a wrong password is asked again with the server's refusal, and the right
  // one remembered in a file readable by its owner only.
  host->trust = {TrustAnswer::Trust};
  host->logins = {wrong, right};
  opcua::connect_session(secure, options)->close();
  EXPECT_EQ(count(trusted_certs), 1);
  ASSERT_EQ(host->questions.size(), 2u);
  EXPECT_EQ(host->questions[0].user, "operator");
  EXPECT_EQ(host->questions[1].attempt, 2);
  EXPECT_NE(host->questions[1].refusal.find("BadUserAccessDenied"), std::string::npos) << host->questions[1].refusal;
  struct stat st {};
  ASSERT_EQ(::stat(options.password_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(find_password(options.password_file, "127.0.0.1", url.substr(url.rfind(':') + 1), "operator")
                  .password.value_or("") == "secret-42");
  // Trusted for this session only: nothing stored, and the next connection asks nothing.
  std::filesystem::remove_all(trusted_certs);
  host->trust = {TrustAnswer::TrustForSession};
  opcua::connect_session(secure, options)->close();
  opcua::connect_session(secure, options)->close();
  EXPECT_EQ(count(trusted_certs), 0);
  EXPECT_EQ(host->servers.size(), 3u);
  EXPECT_EQ(host->questions.size(), 2u);
  // A user the address does not name is asked for; three wrong passwords end it.
  host->logins = {wrong, wrong, wrong, right};
  EXPECT_THROW(opcua::connect_session(address(url, "security=Sign", ""), options), opcua::UaError);
  ASSERT_EQ(host->questions.size(), 5u);
  EXPECT_EQ(host->questions[2].user, "");
  EXPECT_EQ(host->questions[4].attempt, 3);
}

TEST_F(UaSecure, AChangedByteEndsTheConnectionAndItHeals) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  trust_server(url);
  TcpProxy proxy(port_of(url));
  for (const char* mode : {"Sign", "SignAndEncrypt"}) {
    SCOPED_TRACE(mode);
    vexa c;
    c.SetClientSite(&site);
    c.put_svrname(address(proxy.url(), std::string("security=") + mode));
    c.put_UpdateRate(Variant("100"));
    c.put_itm(0, "ns=1;s=Simulation.Counter");
    c.cnnec();
    ASSERT_TRUE(c.IsConnect) << c.last_connect_failure();
    pump_until([&] { return c.GetQuality(0) == Variant("Good"); });
    proxy.flip_next();
    pump_until([&] { return c.GetQuality(0) == Variant(24); });
    EXPECT_EQ(c.GetQuality(0), Variant(24));
    pump_until([&] { return c.GetQuality(0) == Variant("Good"); });
    EXPECT_EQ(c.GetQuality(0), Variant("Good"));
    c.discnn();
  }
}

// The store is asked again at every reconnection: a certificate taken out of it while the server
// was away is not connected to again, and the log says why.
TEST_F(UaSecure, ACertificateUntrustedWhileTheServerIsAwayIsNotReconnectedTo) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  trust_server(url);
  TcpProxy proxy(port_of(url));
  std::vector<std::string> notes;
  const auto previous_sink = opcua::set_log_sink([&](const std::string& line) { notes.push_back(line); });
  vexa c;
  c.SetClientSite(&site);
  c.put_svrname(address(proxy.url(), "security=SignAndEncrypt"));
  c.put_UpdateRate(Variant("100"));
  c.put_itm(0, "ns=1;s=Simulation.Counter");
  c.cnnec();
  ASSERT_TRUE(c.IsConnect) << c.last_connect_failure();
  pump_until([&] { return c.GetQuality(0) == Variant("Good"); });
  proxy.refuse(true);
  proxy.cut();
  pump_until([&] { return c.GetQuality(0) == Variant(24); });
  opcua::Pki pki(options.pki_folder);
  ASSERT_EQ(pki.untrust(pki.trusted().front()), 1);
  const int before = proxy.connections();
  proxy.refuse(false);
  pump_until([&] { return proxy.connections() >= before + 2; });
  EXPECT_GE(proxy.connections(), before + 2);
  EXPECT_EQ(c.GetQuality(0), Variant(24));
  opcua::set_log_sink(previous_sink);
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& n) {
    return n.find("cannot be restored") != std::string::npos && n.find("is not trusted") != std::string::npos;
  })) << (notes.empty() ? std::string("no note") : notes.back());
  c.discnn();
}

TEST_F(UaSecure, AHundredCutsUnderSignAndEncryptHealAsWithout) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(url);
  trust_server(url);
  TcpProxy proxy(port_of(url));
  connect_control(address(proxy.url(), "security=SignAndEncrypt"),
                  {{0, "ns=1;s=Simulation.Sine"}, {1, "ns=1;s=Simulation.Counter"}});
  cut_and_heal(proxy);
}

TEST_F(UaSecure, AServerThatDoesNotTrustUsIsToldAboutOurCertificate) {
  VEXA32_REQUIRE_UA_SECURE_SERVER(shared_url);
  const std::string fixture = std::string(VEXA32_SOURCE_DIR) + "/tests/opcua/server/fixture.sh";
  const std::string state = dir + "/distrusting";
  ASSERT_EQ(std::system((fixture + " start " + state + " '' --secure --distrust-clients").c_str()), 0);
  std::string url;
  std::ifstream(state + "/url") >> url;
  trust_server(url);
  try {
    connect(address(url, "security=SignAndEncrypt"));
    ADD_FAILURE() << "connected";
  } catch (const AutomationError& e) {
    const auto own = opcua::Pki(options.pki_folder).own();
    const std::string text = e.what();
    EXPECT_NE(text.find(own.certificate_path), std::string::npos) << text;
    EXPECT_NE(text.find(own.certificate.thumbprint_hex()), std::string::npos) << text;
    EXPECT_NE(text.find("administrator must trust it"), std::string::npos) << text;
  }
  std::system((fixture + " stop " + state).c_str());
}

}  // namespace
}  // namespace vexa32::testing
