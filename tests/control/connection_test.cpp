// Connecting, data changes, writes and disconnecting, against the simulation server.

#include "control_fixture.h"
#include "platform/automation/convert.h"
#include "test_names.h"

namespace vexa32::testing {
namespace {

using opcda::DataChangeEntry;

class Connection : public ControlTest {
 protected:
  void connect_with(std::initializer_list<std::pair<int, const char*>> tags) {
    for (auto [slot, tag] : tags) control->SetItmName(static_cast<std::int16_t>(slot), tag);
    EXPECT_EQ(control->cnnec(), VARIANT_TRUE);
  }
};

TEST_F(Connection, AnUnknownServerLeavesTheControlDisconnectedWithoutAnError) {
  control->put_svrname("No.Such.Server");
  EXPECT_EQ(control->call("cnnec"), Variant(true));
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
  EXPECT_EQ(control->opcWrt(0, Variant(1)), VARIANT_FALSE);
  EXPECT_EQ(control->call("discnn"), Variant(true));  // cleans up what the failed connect left
}

TEST_F(Connection, AnUnreachableNodeLeavesTheControlDisconnected) {
  control->put_nodname("far-away-plant");
  control->cnnec();
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Connection, AllSixtySlotsAreAddedAndOnlyNamedOnesReceiveData) {
  connect_with({{0, "SimulatePLC.Setpoint"}, {5, "SimulatePLC.Text"}});
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  EXPECT_EQ(sim->call_count("OPCItems.AddItems"), 1);
  EXPECT_EQ(sim->last_item_count("OPCItems.AddItems"), 60);
  EXPECT_EQ(sim->item_count(), 2u);  // 58 empty names refused by the server
  EXPECT_EQ(sim->group_names(), std::vector<std::string>{"Group1"});
  EXPECT_EQ(dat_changes, 0);  // the first values come later, never inside cnnec
  pump();
  EXPECT_EQ(dat_changes, 1);
  EXPECT_EQ(control->GetVl(0), Variant(50.0));
  EXPECT_EQ(control->GetVl(5), Variant("hello"));
  EXPECT_EQ(control->GetQuality(0), Variant("Good"));
  EXPECT_GT(control->GetTimeStamp(0), 46000.0);
  for (std::int16_t n : {1, 2, 4, 6, 59}) EXPECT_EQ(control->GetVl(n), Variant()) << n;
  EXPECT_EQ(control->get("vl5"), Variant("hello"));

  control->discnn();
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
  EXPECT_EQ(sim->item_count(), 0u);
  EXPECT_EQ(sim->connection_count(), 0u);
  // Only the two handles the server gave were removed, in one call.
  EXPECT_EQ(sim->call_count("OPCItems.Remove"), 1);
  EXPECT_EQ(sim->last_item_count("OPCItems.Remove"), 2);
}

TEST_F(Connection, TheGroupGetsTheControlsSettings) {
  control->put_UpdateRate(Variant(-5));
  connect_with({{0, "SimulatePLC.Sine"}});
  EXPECT_EQ(sim->group_names(), std::vector<std::string>{"Group1"});
  // A negative rate reaches the server, which revises it to its fastest.
  pump(100);
  EXPECT_GE(dat_changes, 10);
}

struct QualityCase {
  const char* label;
  std::int32_t quality;
  Variant stored;
};

class Qualities : public Connection, public ::testing::WithParamInterface<QualityCase> {};

TEST_P(Qualities, LowByteDecidesGoodOrTheCode) {
  connect_with({});
  sim->push_data_change({{7, Variant(1.5), GetParam().quality, 2.0}});
  pump();
  EXPECT_EQ(control->GetQuality(7), GetParam().stored);
  EXPECT_EQ(control->GetVl(7), Variant(1.5));
  EXPECT_EQ(control->GetTimeStamp(7), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, Qualities,
                         ::testing::Values(QualityCase{"good", 0xC0, Variant("Good")},
                                           QualityCase{"uncertain", 0x40, Variant("Good")},
                                           QualityCase{"comm failure", 0x18, Variant(24)},
                                           QualityCase{"high bits only", 0x1C0, Variant("Good")},
                                           QualityCase{"range 80 to BF", 0x80, Variant("Good")},
                                           QualityCase{"bad with limit bits", 0x103, Variant(0x103)},
                                           QualityCase{"bad", 0x00, Variant(0)}),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(Connection, OneDatChangePerCallbackAfterAllEntries) {
  connect_with({});
  std::vector<Variant> seen;
  on_dat_change = [&] { seen = {control->GetVl(1), control->GetVl(2), control->GetVl(3)}; };
  sim->push_data_change({{1, Variant(10)}, {2, Variant(20)}, {3, Variant(30)}});
  pump();
  EXPECT_EQ(dat_changes, 1);
  EXPECT_EQ(seen, (std::vector<Variant>{Variant(10), Variant(20), Variant(30)}));
  sim->push_data_change({});
  pump();
  EXPECT_EQ(dat_changes, 2);  // zero entries still raise once
  EXPECT_EQ(control->GetVl(1), Variant(10));
}

TEST_F(Connection, HandlesOutsideTheSlotsAreSkippedAndTheRestStored) {
  connect_with({});
  sim->push_data_change({{-1, Variant(1)}, {60, Variant(2)}, {4, Variant(3)}, {2147483647, Variant(4)}});
  pump();
  EXPECT_EQ(dat_changes, 1);
  EXPECT_EQ(control->GetVl(4), Variant(3));
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) {
    if (n != 4) {
      EXPECT_EQ(control->GetVl(n), Variant()) << n;
    }
  }
}

TEST_F(Connection, TheConnectSequenceAsTheServerSeesIt) {
  control->put_UpdateRate(Variant(250));
  sim->reset_call_counts();
  connect_with({{0, "SimulatePLC.Sine"}, {59, "SimulatePLC.Ramp"}});
  EXPECT_EQ(std::vector<std::string>(sim->call_log().begin(), sim->call_log().end()),
            (std::vector<std::string>{"OPCServer.Connect", "OPCServer.OPCGroups", "OPCGroups.put_DefaultGroupIsActive",
                                      "OPCGroups.put_DefaultGroupDeadband", "OPCGroups.Add", "OPCGroup.put_UpdateRate",
                                      "OPCGroup.put_IsSubscribed", "OPCGroup.get_OPCItems", "OPCItems.put_DefaultIsActive",
                                      "OPCItems.AddItems"}));
  const auto groups = sim->groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].name, "Group1");
  EXPECT_TRUE(groups[0].active && groups[0].subscribed && groups[0].items_default_active);
  EXPECT_EQ(groups[0].update_rate, 250);
  EXPECT_EQ(groups[0].deadband, 0.0f);
  EXPECT_EQ(groups[0].item_count, 2u);
  const SafeArray& ids = sim->last_argument("OPCItems.AddItems.ItemIDs").array();
  const SafeArray& handles = sim->last_argument("OPCItems.AddItems.ClientHandles").array();
  ASSERT_EQ(ids.lower_bound(), 1);
  ASSERT_EQ(ids.size(), 60u);
  ASSERT_EQ(handles.size(), 60u);
  for (std::int32_t k = 1; k <= 60; ++k) {
    EXPECT_EQ(handles.at(k), Variant(k - 1)) << k;
    EXPECT_EQ(ids.at(k), Variant(k == 1 ? "SimulatePLC.Sine" : k == 60 ? "SimulatePLC.Ramp" : "")) << k;
  }
}

struct RawEntries {
  const char* label;
  std::int32_t count;
  std::vector<Variant> handles, values, qualities, stamps;
  std::vector<std::pair<std::int16_t, Variant>> stored;  // slot, value
};

class RawDataChange : public Connection, public ::testing::WithParamInterface<RawEntries> {};

// What a server that does not send the usual types, or announces more than it sends, gets.
TEST_P(RawDataChange, StoresTheEntriesThatAreReallyThere) {
  connect_with({});
  const RawEntries& c = GetParam();
  sim->raise_data_change("Group1", c.count, make_array(VT_VARIANT, c.handles), make_array(VT_VARIANT, c.values),
                         make_array(VT_VARIANT, c.qualities), make_array(VT_VARIANT, c.stamps));
  EXPECT_EQ(dat_changes, 1);
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) {
    Variant expected;
    for (const auto& [slot, value] : c.stored) {
      if (slot == n) expected = value;
    }
    EXPECT_EQ(control->GetVl(n), expected) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RawDataChange,
    ::testing::Values(
        RawEntries{"other integer types",
                   2,
                   {Variant(std::int16_t{3}), Variant(std::uint8_t{4})},
                   {Variant(1), Variant(2)},
                   {Variant(std::int16_t{0xC0}), Variant(std::uint16_t{0x18})},
                   {Variant(2.0), Variant(std::int32_t{3})},
                   {{3, Variant(1)}, {4, Variant(2)}}},
        RawEntries{"text and empty entries",
                   3,
                   {Variant("5"), Variant(), Variant("x")},
                   {Variant(1), Variant(2), Variant(3)},
                   {Variant(0xC0), Variant(0xC0), Variant(0xC0)},
                   {Variant(1.0), Variant(1.0), Variant(1.0)},
                   {{5, Variant(1)}, {0, Variant(2)}}},
        RawEntries{"count larger than the arrays", 1000, {Variant(6)}, {Variant(7)}, {Variant(0xC0)}, {Variant(1.0)},
                   {{6, Variant(7)}}},
        RawEntries{"arrays of different lengths",
                   2,
                   {Variant(8), Variant(9)},
                   {Variant(1)},
                   {Variant(0xC0), Variant(0xC0)},
                   {Variant(1.0), Variant(1.0)},
                   {{8, Variant(1)}}},
        RawEntries{"negative count", -1, {Variant(1)}, {Variant(1)}, {Variant(0xC0)}, {Variant(1.0)}, {}}),
    LabelName());

TEST_F(Connection, DiscnnAfterAConnectThatStoppedBeforeTheGroupExistedDisconnects) {
  // Also after a working connection: its group belongs to the server object the new connect replaced.
  for (bool connected_before : {false, true}) {
    for (const char* step :
         {"OPCGroups.put_DefaultGroupIsActive", "OPCGroups.put_DefaultGroupDeadband", "OPCGroups.Add"}) {
      if (connected_before) connect_with({{0, "SimulatePLC.Sine"}});
      sim->fail_next(step, hr::E_FAIL);
      control->cnnec();
      EXPECT_EQ(control->IsConnect, connected_before ? VARIANT_TRUE : VARIANT_FALSE) << step;
      sim->reset_call_counts();
      EXPECT_EQ(control->call("discnn"), Variant(true)) << step;
      EXPECT_EQ(sim->call_count("OPCGroups.Remove"), 0) << step;
      EXPECT_EQ(sim->connection_count(), 0u) << step;
      EXPECT_EQ(control->IsConnect, VARIANT_FALSE) << step;
    }
  }
}

TEST_F(Connection, TheHostMayConnectAgainFromItsHandler) {
  connect_with({{0, "SimulatePLC.Sine"}});
  on_dat_change = [&] {
    if (dat_changes == 1) control->call("cnnec");
  };
  pump(500);
  EXPECT_GE(dat_changes, 3);  // data flows on the new connection
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  EXPECT_EQ(sim->connection_count(), 1u);
  control->discnn();
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Connection, AFailingHandlerDoesNotStopTheOtherSinksOrTheLoop) {
  connect_with({{0, "SimulatePLC.Setpoint"}});
  std::vector<std::string> failures;
  set_sink_failure_hook([&](std::exception_ptr f) { failures.push_back(describe_failure(f)); });
  // First a discnn whose group removal fails, then a plain exception, from the host's handler.
  Cookie failing = control->events().advise([&](DISPID, const std::vector<Variant>&) {
    if (failures.empty()) {
      sim->fail_next("OPCGroups.Remove", hr::E_FAIL);
      control->call("discnn");
    }
    throw std::runtime_error("the host's handler failed");
  });
  int after = 0;
  control->events().advise([&](DISPID, const std::vector<Variant>&) { ++after; });
  pump();
  sim->push_data_change({{1, Variant(5)}});
  pump();
  set_sink_failure_hook(nullptr);
  control->events().unadvise(failing);
  EXPECT_EQ(after, 2);
  EXPECT_EQ(control->GetVl(1), Variant(5));
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_NE(failures[0].find("run-time error"), std::string::npos) << failures[0];
  EXPECT_EQ(failures[1], "the host's handler failed");
  EXPECT_EQ(control->call("discnn"), Variant(true));
}

TEST_F(Connection, TheHostMayDisconnectFromItsHandler) {
  connect_with({{0, "SimulatePLC.Sine"}});
  on_dat_change = [&] { control->call("discnn"); };
  pump(1000);
  EXPECT_EQ(dat_changes, 1);
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
  EXPECT_EQ(sim->connection_count(), 0u);
  EXPECT_NE(control->GetVl(0), Variant());  // values stay after the disconnect
}

TEST_F(Connection, TheHostMayDestroyTheControlFromItsHandler) {
  connect_with({{0, "SimulatePLC.Sine"}});
  on_dat_change = [&] { control.reset(); };
  pump(500);
  EXPECT_EQ(dat_changes, 1);
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Connection, AfterDiscnnValuesStayAndNoMoreEventsArrive) {
  connect_with({{0, "SimulatePLC.Sine"}});
  pump(300);
  int before = dat_changes;
  Variant last = control->GetVl(0);
  control->discnn();
  pump(1000);
  EXPECT_EQ(dat_changes, before);
  EXPECT_EQ(control->GetVl(0), last);
}

TEST_F(Connection, WritesGoThroughSyncWriteAndShowLater) {
  connect_with({{3, "SimulatePLC.Setpoint"}, {4, "SimulatePLC.ReadOnly"}});
  pump();
  EXPECT_EQ(control->call("opcWrt", {Variant(3), Variant("75")}), Variant(true));
  EXPECT_EQ(sim->last_item_count("OPCGroup.SyncWrite"), 1);
  EXPECT_EQ(control->GetVl(3), Variant(50.0));  // the tables are not touched by a write
  pump(100);
  EXPECT_EQ(control->GetVl(3), Variant(75.0));
  // The server's per-item refusal is not examined: the call itself was accepted.
  EXPECT_EQ(control->opcWrt(4, Variant(1)), VARIANT_TRUE);
  EXPECT_EQ(control->opcWrt(60, Variant(1)), VARIANT_FALSE);
  EXPECT_EQ(control->opcWrt(-1, Variant(1)), VARIANT_FALSE);
  EXPECT_EQ(control->opcWrt(32767, Variant(1)), VARIANT_FALSE);
  sim->fail_next("OPCGroup.SyncWrite", hr::E_FAIL);
  EXPECT_EQ(control->opcWrt(3, Variant(1)), VARIANT_FALSE);
}

TEST_F(Connection, ConnectingTwiceLeavesOneWorkingConnection) {
  connect_with({{0, "SimulatePLC.Sine"}});
  control->cnnec();
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  EXPECT_EQ(sim->connection_count(), 1u);  // the first was released and so disconnected
  EXPECT_EQ(sim->group_count(), 1u);
  pump(500);
  EXPECT_GE(dat_changes, 5);
  control->discnn();
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Connection, DestroyingAConnectedControlLeavesNothingOnTheServer) {
  connect_with({{0, "SimulatePLC.Sine"}, {1, "SimulatePLC.Ramp"}});
  pump();
  control.reset();
  EXPECT_EQ(sim->connection_count(), 0u);
  EXPECT_EQ(sim->group_count(), 0u);
  pump(500);  // no event reaches the destroyed control
}

TEST_F(Connection, AFailedGroupRemovalReachesTheDiscnnCaller) {
  connect_with({{0, "SimulatePLC.Sine"}});
  sim->fail_next("OPCGroups.Remove", hr::E_FAIL);
  try {
    control->call("discnn");
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::E_FAIL);
  }
  // Items released, group and server kept, flag unchanged.
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  EXPECT_EQ(sim->item_count(), 0u);
  EXPECT_EQ(sim->group_count(), 1u);
  EXPECT_EQ(control->call("discnn"), Variant(true));  // a second try finishes the job
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Connection, TheDisconnButtonSwallowsAFailedGroupRemovalAndStillDisconnects) {
  connect_with({{0, "SimulatePLC.Sine"}});
  sim->fail_next("OPCGroups.Remove", hr::E_FAIL);
  control->Command2_Click();
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
  EXPECT_EQ(sim->connection_count(), 0u);
  control->Command1_Click();  // and the control stays usable
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
}

TEST_F(Connection, DestructionSwallowsAFailedGroupRemoval) {
  connect_with({{0, "SimulatePLC.Sine"}});
  sim->fail_next("OPCGroups.Remove", hr::E_FAIL);
  EXPECT_NO_THROW(control.reset());
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Connection, AFailureInsideTheSequenceLeavesIsConnectUnsetAndDiscnnCleansUp) {
  sim->fail_next("OPCItems.AddItems", hr::E_OUTOFMEMORY);
  connect_with({{0, "SimulatePLC.Sine"}});
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
  EXPECT_EQ(sim->group_count(), 1u);  // the group stands until a disconnect
  control->discnn();
  EXPECT_EQ(sim->last_item_count("OPCItems.Remove"), 0);  // no handle table: nothing collected, still called
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Connection, SettingsChangedWhileConnectedWaitForTheNextConnect) {
  connect_with({{0, "SimulatePLC.Setpoint"}});
  pump();
  control->SetItmName(0, "SimulatePLC.Text");
  control->put_UpdateRate(Variant(1000));
  pump(200);
  EXPECT_EQ(control->GetVl(0), Variant(50.0));
  control->cnnec();
  pump();
  EXPECT_EQ(control->GetVl(0), Variant("hello"));
}

TEST_F(Connection, ButtonsRunTheSequences) {
  control->SetItmName(0, "SimulatePLC.Sine");
  control->Command1_Click();
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  control->Command2_Click();
  EXPECT_EQ(control->IsConnect, VARIANT_FALSE);
}

TEST_F(Connection, ExampleProgIdConnectsToTheSimulation) {
  control->put_svrname(opcda::kExampleProgId);
  control->SetItmName(0, "test1.cpu.SignalTags.Signal_0001B");
  control->cnnec();
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  pump();
  EXPECT_EQ(control->GetVl(0).vt(), VT_BOOL);
  control->discnn();
}

}  // namespace
}  // namespace vexa32::testing
