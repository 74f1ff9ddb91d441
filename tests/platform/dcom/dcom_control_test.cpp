// An OPC DA server on a node, over DCOM, through the automation objects and the control: the DCOM
// test server stands in for a Windows machine.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "control/vexa.h"
#include "platform/apartment/apartment.h"
#include "platform/automation/convert.h"
#include "platform/container/services.h"
#include "platform/container/site.h"
#include "platform/dcom/da/dcom_server.h"
#include "platform/opcda/registry.h"
#include "test_server.h"

namespace vexa32::dcom {
namespace {

using namespace std::chrono_literals;

class DcomControl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.activation()) GTEST_SKIP() << server.why();
    node = "127.0.0.1:" + std::to_string(server.activation());
    da::DcomModuleOptions options;
    options.password_file = passwords.path();
    da::install_dcom(opcda::ServerRegistry::instance(), options);
  }
  void TearDown() override { da::uninstall_dcom(opcda::ServerRegistry::instance()); }

  void pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
      apartment.run_until_idle();
      std::this_thread::sleep_for(5ms);
    }
  }

  // A subscribed group at 100 ms with the counter (client handle 7); its qualities are collected.
  static bool watch_counter(opcda::OPCServer& s, std::vector<std::int32_t>& qualities) {
    auto group = s.get_OPCGroups()->Add(Variant("g"));
    group->put_IsSubscribed(true);
    group->put_UpdateRate(100);
    group->DataChange().connect([&](std::int32_t, std::int32_t, const Variant&, const Variant&, const Variant& q,
                                    const Variant&) { qualities.push_back(to_i4(q.array().at(1))); });
    return group->get_OPCItems()->AddItem("SimulatePLC.Counter", 7) != nullptr;
  }

  TestServer server{"--many-items 60"};
  PasswordFile passwords{"127.0.0.1:*:VEXATEST\\\\tester:Vexa-Test-1\n"};
  std::string node;
  Apartment apartment;
};

// Pushed by the server where it can call us back (its log shows the calls, nothing is polled),
// polled where it cannot (a firewall, a wrong address, or calls we cannot check: the probe times
// out and polls take over); the slots see no difference.
TEST_F(DcomControl, SixtySlotsConnectChangeWriteAndEveryObjectGoesBack) {
  da::DcomModuleOptions options;
  options.password_file = passwords.path();
  options.least_probe_wait = 1s;  // the test's own pace; a host waits 5 s at least
  da::install_dcom(opcda::ServerRegistry::instance(), options);
  const struct {
    const char* flags;
    bool pushed;
  } rows[] = {
      {"", true},
      {"--refuse-callbacks", false},
      {"--callback-address 192.0.2.1", false},  // where nothing answers
      {"--callback-unknown-ipid", false},       // calls to an object we never exported
      // Signed or sealed calls back are checked with our login's keys: taken under that login,
      // refused under the server's own account or with a password that is not our login's.
      {"--callback-level privacy --callback-as client", true},
      {"--callback-level integrity --callback-as client", true},
      {"--callback-level integrity", false},
      {"--callback-level privacy --callback-as client-wrong-password", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.flags);
    TestServer row_server(std::string("--many-items 60 ") + row.flags);
    ScopedServices services{std::make_shared<RecordingMessageBox>()};
    RecordingSite site(true);
    int events = 0;
    const da::PollTotals before = da::poll_totals();
    {
      vexa control;
      control.SetClientSite(&site);
      control.put_svrname("Vexa.DcomTest.1");
      control.put_nodname("127.0.0.1:" + std::to_string(row_server.activation()));
      control.put_UpdateRate(Variant("100"));
      for (int i = 0; i < 58; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "SimulatePLC.Many.Item%05d", i + 1);
        control.put_itm(static_cast<std::int16_t>(i), id);
      }
      control.put_itm(58, "SimulatePLC.Setpoint");
      control.put_itm(59, "SimulatePLC.ReadOnly");
      control.events().advise([&](DISPID, const std::vector<Variant>&) { ++events; });
      control.cnnec();
      ASSERT_TRUE(control.IsConnect);
      pump_until([&] { return !control.GetVl(59).is_empty(); });
      for (std::int16_t i = 0; i < 60; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(control.GetVl(i).is_empty());
        EXPECT_EQ(control.GetQuality(i), Variant("Good"));
        EXPECT_GT(control.GetTimeStamp(i), 45000.0);
      }
      EXPECT_EQ(control.GetVl(59), Variant(std::int16_t{42}));
      // The counters step every second: a later data change carries their new values.
      const Variant counter = control.GetVl(0);
      pump_until([&] { return control.GetVl(0) != counter; }, 3s);
      EXPECT_NE(control.GetVl(0), counter);
      EXPECT_GE(events, 2);

      EXPECT_NE(control.opcWrt(58, Variant(77.5)), 0);
      pump_until([&] { return control.GetVl(58) == Variant(77.5); });
      EXPECT_EQ(control.GetVl(58), Variant(77.5));
      control.discnn();
      EXPECT_FALSE(control.IsConnect);
    }
    const da::PollTotals after = da::poll_totals();
    if (row.pushed) {
      EXPECT_EQ(after.polls, before.polls);
      EXPECT_GT(after.callbacks, before.callbacks);
      EXPECT_NE(row_server.file("log").find("callback OnDataChange"), std::string::npos);
    } else {
      EXPECT_GT(after.polls, before.polls);
      EXPECT_EQ(after.callbacks, before.callbacks);
    }
    // Every object and reference went back to the server.
    const std::string state = row_server.file("state.json");
    EXPECT_NE(state.find("\"refs\": 0"), std::string::npos) << state;
    EXPECT_NE(state.find("\"oids\": 0"), std::string::npos) << state;
  }
}

// A server that stops calling back while it still answers: on DA 3 the missed keep-alive gives
// it away, on DA 2 the silence is asked about with a refresh, which goes unanswered; either way
// polls take over, and the counter never stands still for longer than that window, the check's
// step and one of its own steps.
TEST_F(DcomControl, CallbacksThatStopGiveWayToPollingWithinTheKeepAliveWindow) {
  const struct {
    const char* flags;
    std::chrono::milliseconds silence, longest_gap;
    const char* note;
  } rows[] = {
      {"--callbacks-stop-after 3", 60s, 3000ms, "no keep-alive in 1000 ms"},
      {"--callbacks-stop-after 3 --refuse-iid IOPCGroupStateMgt2", 1s, 4500ms, "could not call back"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.flags);
    da::DcomModuleOptions options;
    options.password_file = passwords.path();
    options.least_probe_wait = 1s;
    options.keep_alive = 1s;
    options.callback_silence = row.silence;
    options.status_period = 300ms;
    da::install_dcom(opcda::ServerRegistry::instance(), options);
    TestServer quiet(row.flags);
    const da::PollTotals before = da::poll_totals();
    auto s = opcda::create_opc_server();
    s->Connect("Vexa.DcomTest.1", Variant("127.0.0.1:" + std::to_string(quiet.activation())));
    auto group = s->get_OPCGroups()->Add(Variant("g"));
    group->put_IsSubscribed(true);
    group->put_UpdateRate(100);
    std::vector<std::pair<std::chrono::steady_clock::time_point, Variant>> changes;
    group->DataChange().connect(
        [&](std::int32_t, std::int32_t, const Variant&, const Variant& values, const Variant&, const Variant&) {
          const Variant v = values.array().at(1);
          if (changes.empty() || changes.back().second != v) changes.emplace_back(std::chrono::steady_clock::now(), v);
        });
    ASSERT_TRUE(group->get_OPCItems()->AddItem("SimulatePLC.Counter", 7));
    pump_until([] { return false; }, 8s);
    const da::PollTotals after = da::poll_totals();
    EXPECT_GE(after.callbacks - before.callbacks, 3);
    EXPECT_GT(after.polls, before.polls);
    EXPECT_NE(s->data_mode_note().find(row.note), std::string::npos) << s->data_mode_note();
    ASSERT_GE(changes.size(), 5u);
    auto longest = std::chrono::steady_clock::duration::zero();
    for (std::size_t i = 1; i < changes.size(); ++i)
      longest = std::max(longest, changes[i].first - changes[i - 1].first);
    EXPECT_LT(longest, row.longest_gap);
    // in the XML report (--gtest_output=xml:FILE), for the figures
    RecordProperty(row.silence == 60s ? "longest_gap_ms_da3" : "longest_gap_ms_da2",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
    s->Disconnect();
  }
}

// A server that says it shuts down (IOPCShutdown::ShutdownRequest): ServerShutDown once, with
// its reason, then healing as for a lost connection.
TEST_F(DcomControl, AShutdownNoticeRaisesServerShutDownOnceAndTheConnectionHeals) {
  da::DcomModuleOptions options;
  options.password_file = passwords.path();
  options.first_retry = 200ms;
  da::install_dcom(opcda::ServerRegistry::instance(), options);
  TestServer stopping("--shutdown-after 1 --shutdown-reason maintenance-window");
  auto s = opcda::create_opc_server();
  std::vector<std::string> reasons;
  s->ServerShutDown().connect([&](const std::string& reason) { reasons.push_back(reason); });
  s->Connect("Vexa.DcomTest.1", Variant("127.0.0.1:" + std::to_string(stopping.activation())));
  std::vector<std::int32_t> qualities;
  ASSERT_TRUE(watch_counter(*s, qualities));
  pump_until([&] { return !reasons.empty(); }, 5s);
  EXPECT_EQ(reasons, std::vector<std::string>{"maintenance-window"});
  pump_until([&] { return std::count(qualities.begin(), qualities.end(), 24) > 0; }, 3s);
  const auto lost_at = std::find(qualities.begin(), qualities.end(), 24) - qualities.begin();
  pump_until([&] { return qualities.back() == opcda::OPC_QUALITY_GOOD && qualities.size() > std::size_t(lost_at) + 1; },
             5s);
  EXPECT_EQ(qualities.back(), opcda::OPC_QUALITY_GOOD);
  EXPECT_EQ(reasons.size(), 1u);
  EXPECT_NE(stopping.file("log").find("callback ShutdownRequest 'maintenance-window'"), std::string::npos);
  s->Disconnect();
}

TEST_F(DcomControl, RefusedWritesGiveTheServersErrorAndTheStatusComesFromIt) {
  auto s = opcda::create_opc_server();
  s->Connect("Vexa.DcomTest.1", Variant(node));
  EXPECT_EQ(s->get_VendorInfo(), "VEXA32 DCOM test server on impacket");
  EXPECT_EQ(s->get_ServerState(), opcda::OPCRunning);
  EXPECT_GE(s->get_CurrentTime(), s->get_StartTime());
  EXPECT_EQ(s->get_MajorVersion(), 1);
  EXPECT_EQ(s->get_BuildNumber(), 7);
  auto group = s->get_OPCGroups()->Add(Variant("writes"));
  Variant handles, errors;
  group->get_OPCItems()->AddItems(
      3, make_array(VT_BSTR, {Variant("SimulatePLC.Setpoint"), Variant("SimulatePLC.ReadOnly"), Variant("No.Such")}),
      make_array(VT_I4, {Variant(1), Variant(2), Variant(3)}), handles, errors);
  EXPECT_EQ(to_i4(errors.array().at(3)), static_cast<std::int32_t>(hr::OPC_E_UNKNOWNITEMID));
  const struct {
    const char* label;
    int slot;
    Variant value;
    HRESULT error;
  } rows[] = {
      {"a number", 1, Variant(12.25), hr::S_OK},
      {"the read-only item", 2, Variant(1), hr::OPC_E_BADRIGHTS},
      {"text that is no number", 1, Variant("abc"), hr::OPC_E_BADTYPE},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    Variant write_errors;
    group->SyncWrite(1, make_array(VT_I4, {handles.array().at(row.slot)}), make_array(VT_VARIANT, {row.value}),
                     write_errors);
    EXPECT_EQ(to_i4(write_errors.array().at(1)), static_cast<std::int32_t>(row.error));
  }
  EXPECT_EQ(group->get_OPCItems()->GetOPCItem(to_i4(handles.array().at(1)))->get_Value(), Variant(12.25));
  EXPECT_EQ(s->GetOPCServers(Variant(node)).array().elements(), std::vector<Variant>{Variant("Vexa.DcomTest.1")});
  s->Disconnect();
  EXPECT_THROW(s->get_VendorInfo(), AutomationError);
  try {
    s->Connect("Vexa.NoSuch.1", Variant(node));
    ADD_FAILURE() << "an unknown ProgID connected";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::REGDB_E_CLASSNOTREG) << e.what();
  }
}

// The DA 2 interface keeps a position on the server; a DA 3-only server is browsed through
// IOPCBrowse by item ID, in pages of continuation points (1200 items are more than one page).
TEST_F(DcomControl, TheAddressSpaceBrowsesByBranchLeafFilterAndFlat) {
  TestServer da3("--many-items 1200 --refuse-iid IOPCBrowseServerAddressSpace");
  const struct {
    std::uint16_t port;
    std::int32_t many;
  } variants[] = {{server.activation(), 60}, {da3.activation(), 1200}};
  for (const auto& variant : variants) {
    SCOPED_TRACE(variant.many);
    auto s = opcda::create_opc_server();
    s->Connect("Vexa.DcomTest.1", Variant("127.0.0.1:" + std::to_string(variant.port)));
    auto b = s->CreateBrowser();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->get_Organization(), opcda::OPCHierarchical);
    auto names = [&] {
      std::vector<std::string> out;
      for (std::int32_t i = 1; i <= b->get_Count(); ++i) out.push_back(b->Item(Variant(i)));
      return out;
    };
    auto has = [](const std::vector<std::string>& list, const std::string& name) {
      return std::find(list.begin(), list.end(), name) != list.end();
    };
    b->ShowBranches();
    EXPECT_TRUE(has(names(), "SimulatePLC"));
    b->MoveDown("SimulatePLC");
    EXPECT_EQ(b->get_CurrentPosition(), "SimulatePLC");
    b->ShowLeafs();
    EXPECT_TRUE(has(names(), "Setpoint"));
    EXPECT_FALSE(has(names(), "Heartbeat"));  // a leaf of the root
    b->put_Filter("S*");
    b->ShowLeafs();
    EXPECT_EQ(names(), (std::vector<std::string>{"Sine", "Square", "Setpoint"}));  // in the server's order
    b->put_Filter("");
    b->put_DataType(VT_BOOL);
    b->ShowLeafs();
    EXPECT_EQ(names(), std::vector<std::string>{"Square"});
    b->put_DataType(VT_EMPTY);
    b->put_AccessRights(opcda::OPC_WRITEABLE);
    b->ShowLeafs(Variant(true));
    EXPECT_TRUE(has(names(), "SimulatePLC.Arrays.LongArray"));
    EXPECT_FALSE(has(names(), "SimulatePLC.Arrays.ByteArray"));  // read-only
    b->put_AccessRights(0);
    EXPECT_EQ(b->GetItemID("Setpoint"), "SimulatePLC.Setpoint");
    b->MoveDown("Many");
    b->ShowLeafs();
    EXPECT_EQ(b->get_Count(), variant.many);
    b->MoveUp();
    b->MoveUp();
    EXPECT_EQ(b->get_CurrentPosition(), "");
    EXPECT_THROW(b->MoveUp(), AutomationError);
    EXPECT_THROW(b->MoveDown("No such branch"), AutomationError);
    b->MoveDown("Line 1.Area B");  // a branch whose name has the separator in it
    EXPECT_EQ(b->GetItemID("Temperature"), "Line 1.Area B.Temperature");
    b->MoveToRoot();
    // A second browser keeps its own place: the first goes on where it was.
    b->MoveDown("SimulatePLC");
    auto other = s->CreateBrowser();
    other->MoveDown("K");
    b->ShowLeafs();
    EXPECT_TRUE(has(names(), "Setpoint"));
  }
  // A server that cannot browse either way gives no browser.
  TestServer blind("--refuse-iid IOPCBrowseServerAddressSpace --refuse-iid IOPCBrowse");
  auto other_server = opcda::create_opc_server();
  other_server->Connect("Vexa.DcomTest.1", Variant("127.0.0.1:" + std::to_string(blind.activation())));
  EXPECT_EQ(other_server->CreateBrowser(), nullptr);
}

Variant array_of(VarType type, std::vector<Variant> values) {
  SafeArray a(type, 0, 0);
  a.raw_elements() = std::move(values);
  return Variant(std::move(a));
}

// Every type the server serves goes there in a write and comes back in a read as the same value.
TEST_F(DcomControl, EveryTypeGoesThereAndComesBackTheSame) {
  auto s = opcda::create_opc_server();
  s->Connect("Vexa.DcomTest.1", Variant(node));
  auto group = s->get_OPCGroups()->Add(Variant("types"));
  const struct {
    const char* item;
    Variant value;
  } rows[] = {
      {"Types.Boolean", Variant(true)},
      {"Types.Char", Variant(std::int8_t{-5})},
      {"Types.Byte", Variant(std::uint8_t{200})},
      {"Types.Short", Variant(std::int16_t{-300})},
      {"Types.Word", Variant(std::uint16_t{60000})},
      {"Types.Long", Variant(std::int32_t{-70000})},
      {"Types.DWord", Variant(std::uint32_t{4000000000u})},
      {"Types.Float", Variant(1.5f)},
      {"Types.Double", Variant(-2.25)},
      {"Types.String", Variant("Grüße, 東京")},
      {"Types.Date", Variant::date(45000.5)},
      {"Arrays.LongArray", array_of(VT_I4, {Variant(4), Variant(5), Variant(-6)})},
      {"Arrays.DoubleArray", array_of(VT_R8, {Variant(0.25)})},
      {"Arrays.StringArray", array_of(VT_BSTR, {Variant("x"), Variant("")})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.item);
    auto item = group->get_OPCItems()->AddItem(std::string("SimulatePLC.") + row.item, 1);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->get_CanonicalDataType(), static_cast<std::int16_t>(row.value.vt()));
    Variant errors;
    group->SyncWrite(1, make_array(VT_I4, {Variant(item->get_ServerHandle())}), make_array(VT_VARIANT, {row.value}),
                     errors);
    EXPECT_EQ(to_i4(errors.array().at(1)), 0);
    const Variant back = item->get_Value();
    EXPECT_EQ(back.vt(), row.value.vt());
    EXPECT_EQ(back, row.value);
  }
  // A requested type is the server's to convert to, from the next read on; one it cannot give is
  // refused at once and the item keeps its type.
  auto setpoint = group->get_OPCItems()->AddItem("SimulatePLC.Setpoint", 2);
  ASSERT_TRUE(setpoint);
  setpoint->put_RequestedDataType(VT_BSTR);
  EXPECT_EQ(setpoint->get_Value().vt(), VT_BSTR);
  EXPECT_THROW(setpoint->put_RequestedDataType(static_cast<std::int16_t>(VT_ARRAY | VT_I4)), AutomationError);
  EXPECT_EQ(setpoint->get_RequestedDataType(), VT_BSTR);
  // Validation asks the server and adds nothing.
  const std::int32_t count = group->get_OPCItems()->get_Count();
  Variant errors;
  group->get_OPCItems()->Validate(
      3, make_array(VT_BSTR, {Variant("SimulatePLC.Setpoint"), Variant("No.Such.Item"), Variant("SimulatePLC.Sine")}),
      errors,
      make_array(VT_I2, {Variant(std::int16_t{VT_R8}), Variant(std::int16_t{VT_R8}),
                         Variant(static_cast<std::int16_t>(VT_ARRAY | VT_I4))}));
  EXPECT_EQ(errors.array().elements(),
            (std::vector<Variant>{Variant(0), Variant(static_cast<std::int32_t>(0xC0040007u)),
                                  Variant(static_cast<std::int32_t>(0xC0040004u))}));
  EXPECT_EQ(group->get_OPCItems()->get_Count(), count);
}

// What the process holds: descriptors and threads.
std::pair<int, int> holdings() {
  auto count = [](const char* dir) {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
    return n;
  };
  return {count("/proc/self/fd"), count("/proc/self/task")};
}

TEST_F(DcomControl, AServerThatGoesAndComesBackHealsAndAWrongPasswordStaysBadWithoutATightLoop) {
  da::DcomModuleOptions options;
  options.password_file = passwords.path();
  options.first_retry = 200ms;  // the test's own pace; a host keeps the default 1 s
  options.last_retry = 800ms;
  options.status_period = 300ms;
  options.node.rpc.call_timeout = 1500ms;  // a stalled server is given up on sooner than 15 s
  da::install_dcom(opcda::ServerRegistry::instance(), options);
  ScopedServices services{std::make_shared<RecordingMessageBox>()};
  RecordingSite site(true);
  vexa control;
  control.SetClientSite(&site);
  control.put_svrname("Vexa.DcomTest.1");
  control.put_nodname(node);
  control.put_UpdateRate(Variant("100"));
  control.put_itm(0, "SimulatePLC.Counter");
  control.put_itm(1, "SimulatePLC.Setpoint");
  control.cnnec();
  ASSERT_TRUE(control.IsConnect);
  auto good = [&] { return control.GetQuality(0) == Variant("Good") && control.GetQuality(1) == Variant("Good"); };
  auto lost = [&] { return control.GetQuality(0) == Variant(24) && control.GetQuality(1) == Variant(24); };
  pump_until(good);
  std::pair<int, int> first;
  const char* restarts = std::getenv("VEXA32_DCOM_RESTARTS");
  const int rounds = restarts ? std::atoi(restarts) : 3;
  for (int round = 1; round <= rounds; ++round) {
    SCOPED_TRACE(round);
    server.stop();
    pump_until(lost);
    ASSERT_TRUE(lost());
    server.restart("--many-items 60");
    pump_until(good);
    ASSERT_TRUE(good());
    const Variant counter = control.GetVl(0);
    pump_until([&] { return control.GetVl(0) != counter; });
    ASSERT_NE(control.GetVl(0), counter);
    if (round == 1) first = holdings();
  }
  const auto last = holdings();
  EXPECT_LE(last.first, first.first);
  EXPECT_LE(last.second, first.second);
  std::printf("after restart 1: %d fds, %d threads; after restart %d: %d fds, %d threads\n", first.first, first.second,
              rounds, last.first, last.second);

  // A server that stops answering after a while, and one that sends garbage where a bind's answer
  // ends: bad while it lasts, at the pace of the retries, and good again once the server is sound.
  const struct {
    const char* flags;
    bool answers_first;  // good values flow before the fault strikes
    const char* logged;
  } faults[] = {{"--stall-after 40", true, "stalled, no answer"},
                {"--garbage-after-bind exporter", false, "garbage after"}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.flags);
    server.stop();
    pump_until(lost);
    server.restart(std::string("--many-items 60 ") + fault.flags);
    if (fault.answers_first) {
      pump_until(good);
      EXPECT_TRUE(good());
      pump_until(lost);
      // Reconnections wait out the stalled server off the loop, which keeps turning meanwhile.
      auto longest = std::chrono::steady_clock::duration::zero();
      for (const auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;) {
        const auto start = std::chrono::steady_clock::now();
        apartment.run_until_idle();
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        std::this_thread::sleep_for(5ms);
      }
      EXPECT_LT(longest, 1000ms) << "a turn of the loop waited for the stalled server";
    } else {
      pump_until([] { return false; }, 2s);
    }
    EXPECT_TRUE(lost());
    const std::string log = server.file("log");
    std::size_t seen = 0;
    for (auto at = log.find(fault.logged); at != std::string::npos; at = log.find(fault.logged, at + 1)) ++seen;
    EXPECT_GE(seen, 1u);
    EXPECT_LE(seen, 12u);
    server.stop();
    server.restart("--many-items 60");
    pump_until(good);
    EXPECT_TRUE(good());
  }

  // Back with another password: the slots stay bad, and the node is asked again only at the pace
  // of the retries (at most every 0.8 s here), never in a tight loop.
  server.stop();
  pump_until(lost);
  server.restart("--password Another-1");
  pump_until([] { return false; }, 3s);
  EXPECT_TRUE(lost());
  std::string log = server.file("log");
  int refused = 0;
  for (auto at = log.find("auth3 refused"); at != std::string::npos; at = log.find("auth3 refused", at + 1)) ++refused;
  EXPECT_GE(refused, 1);
  EXPECT_LE(refused, 6);
  control.discnn();
}

// The server list of a node through either list of OpcEnum, and a server that lets our objects go
// (it collects them after missed pings) is a lost connection that heals.
TEST_F(DcomControl, EitherServerListListsAndCollectedObjectsHeal) {
  for (const char* refused : {"IOPCServerList", "IOPCServerList2"}) {
    SCOPED_TRACE(refused);
    TestServer variant(std::string("--refuse-iid ") + refused);
    auto s = opcda::create_opc_server();
    EXPECT_EQ(s->GetOPCServers(Variant("127.0.0.1:" + std::to_string(variant.activation()))).array().elements(),
              std::vector<Variant>{Variant("Vexa.DcomTest.1")});
  }
  TestServer collecting("--ping-period 0.3 --ping-count 2");
  da::DcomModuleOptions options;
  options.password_file = passwords.path();
  options.first_retry = 200ms;
  options.status_period = 300ms;
  options.node.ping_period = 60s;  // far too seldom for this server: it collects our objects
  da::install_dcom(opcda::ServerRegistry::instance(), options);
  auto s = opcda::create_opc_server();
  s->Connect("Vexa.DcomTest.1", Variant("127.0.0.1:" + std::to_string(collecting.activation())));
  std::vector<std::int32_t> qualities;
  ASSERT_TRUE(watch_counter(*s, qualities));
  pump_until([&] { return std::count(qualities.begin(), qualities.end(), 24) > 0; }, 5s);
  ASSERT_GT(std::count(qualities.begin(), qualities.end(), 24), 0) << "the collection went unnoticed";
  const auto lost_at = std::find(qualities.begin(), qualities.end(), 24) - qualities.begin();
  pump_until([&] { return qualities.back() == opcda::OPC_QUALITY_GOOD && qualities.size() > std::size_t(lost_at) + 1; },
             5s);
  EXPECT_EQ(qualities.back(), opcda::OPC_QUALITY_GOOD);
}

}  // namespace
}  // namespace vexa32::dcom
