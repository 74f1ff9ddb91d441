// Connecting, data changes, writes and disconnecting, against the simulation server.

#include "control_fixture.h"
#include "platform/automation/convert.h"

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
