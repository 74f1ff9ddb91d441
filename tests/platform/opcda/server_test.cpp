// The server object and the groups collection.

#include <thread>

#include "sim_fixture.h"

namespace vexa32::opcda::testing {
namespace {

class Server : public SimTest {};

TEST_F(Server, ReleasingTheLastReferenceDisconnects) {
  {
    auto server = connect();
    auto groups = server->get_OPCGroups();
    auto group = groups->Add(Variant("G"));
    EXPECT_EQ(sim->connection_count(), 1u);
    EXPECT_EQ(sim->group_count(), 1u);
    server.reset();
    groups.reset();
    // The group still holds its server, as a COM child holds its parent.
    EXPECT_EQ(sim->connection_count(), 1u);
  }
  EXPECT_EQ(sim->connection_count(), 0u);
  EXPECT_EQ(sim->group_count(), 0u);
}

TEST_F(Server, ConnectingTwiceOnOneObjectFails) {
  auto server = connect();
  EXPECT_THROW(server->Connect(kSimulationProgId), AutomationError);
  EXPECT_EQ(sim->connection_count(), 1u);
}

TEST_F(Server, DisconnectRemovesTheGroupsAndLaterCallsFail) {
  auto server = connect();
  auto group = server->get_OPCGroups()->Add(Variant("G"));
  server->Disconnect();
  EXPECT_EQ(sim->group_count(), 0u);
  EXPECT_THROW(group->get_Name(), AutomationError);
  EXPECT_THROW(server->get_ServerState(), AutomationError);
  // A disconnected object may connect again.
  server->Connect(kSimulationProgId);
  EXPECT_EQ(server->get_OPCGroups()->get_Count(), 0);
}

TEST_F(Server, ReportsARealStatus) {
  auto server = connect();
  EXPECT_EQ(server->get_ServerState(), OPCRunning);
  EXPECT_EQ(server->get_ServerName(), kSimulationProgId);
  DATE start = server->get_StartTime();
  EXPECT_GT(start, 46000.0);  // the manual clock starts in 2026
  pump(60000);
  EXPECT_NEAR(server->get_CurrentTime() - start, 60.0 / 86400.0, 1e-9);
  EXPECT_EQ(server->get_LastUpdateTime(), 0.0);
  EXPECT_GE(server->get_MajorVersion(), 1);
  EXPECT_FALSE(server->get_VendorInfo().empty());
}

TEST_F(Server, GroupNamesAreUniqueAndTheServerChoosesForAnEmptyName) {
  auto server = connect();
  auto groups = server->get_OPCGroups();
  auto g1 = groups->Add(Variant("Group1"));
  try {
    groups->Add(Variant("Group1"));
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::OPC_E_DUPLICATENAME);
  }
  auto a = groups->Add(Variant(""));
  auto b = groups->Add();
  EXPECT_FALSE(a->get_Name().empty());
  EXPECT_NE(a->get_Name(), b->get_Name());
  EXPECT_EQ(groups->get_Count(), 3);
  EXPECT_EQ(groups->Item(Variant(1))->get_Name(), "Group1");
  EXPECT_EQ(groups->Item(Variant("Group1"))->get_ServerHandle(), g1->get_ServerHandle());
  EXPECT_EQ(groups->GetOPCGroup(Variant(g1->get_ServerHandle()))->get_Name(), "Group1");
  EXPECT_THROW(g1->put_Name(a->get_Name()), AutomationError);
}

TEST_F(Server, DefaultsApplyToGroupsAddedLater) {
  auto server = connect();
  auto groups = server->get_OPCGroups();
  auto before = groups->Add(Variant("before"));
  groups->put_DefaultGroupIsActive(false);
  groups->put_DefaultGroupUpdateRate(250);
  groups->put_DefaultGroupDeadband(5.0f);
  auto after = groups->Add(Variant("after"));
  EXPECT_TRUE(before->get_IsActive());
  EXPECT_EQ(before->get_UpdateRate(), 1000);
  EXPECT_FALSE(after->get_IsActive());
  EXPECT_EQ(after->get_UpdateRate(), 250);
  EXPECT_FLOAT_EQ(after->get_DeadBand(), 5.0f);
  EXPECT_THROW(groups->put_DefaultGroupDeadband(-1.0f), AutomationError);
}

TEST_F(Server, UpdateRatesBelowTheFastestAreRevised) {
  auto server = connect();
  auto group = server->get_OPCGroups()->Add(Variant("G"));
  for (std::int32_t requested : {0, -5, 3, 9}) {
    group->put_UpdateRate(requested);
    EXPECT_EQ(group->get_UpdateRate(), kMinimumUpdateRate) << requested;
  }
  group->put_UpdateRate(100);
  EXPECT_EQ(group->get_UpdateRate(), 100);
}

TEST_F(Server, RemoveAndRemoveAll) {
  auto server = connect();
  auto groups = server->get_OPCGroups();
  groups->Add(Variant("A"));
  auto b = groups->Add(Variant("B"));
  groups->Add(Variant("C"));
  groups->Remove(Variant("A"));
  groups->Remove(Variant(b->get_ServerHandle()));
  EXPECT_EQ(sim->group_names(), std::vector<std::string>{"C"});
  EXPECT_THROW(groups->Remove(Variant("A")), AutomationError);
  groups->RemoveAll();
  EXPECT_EQ(groups->get_Count(), 0);
}

TEST_F(Server, ShutdownIsAnnouncedLaterAndThenCallsAreRefused) {
  auto server = connect();
  std::vector<std::string> reasons;
  server->ServerShutDown().connect([&](const std::string& r) { reasons.push_back(r); });
  sim->shut_down("maintenance");
  EXPECT_TRUE(reasons.empty());
  pump();
  EXPECT_EQ(reasons, std::vector<std::string>{"maintenance"});
  EXPECT_THROW(server->get_ServerState(), AutomationError);
  EXPECT_THROW(create_opc_server()->Connect(kSimulationProgId), AutomationError);
}

TEST_F(Server, BackDoorFailsTheNamedCallOnceAndCountsCalls) {
  auto server = connect();
  auto groups = server->get_OPCGroups();
  sim->fail_next("OPCGroups.Add", hr::E_OUTOFMEMORY);
  try {
    groups->Add(Variant("G"));
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::E_OUTOFMEMORY);
  }
  EXPECT_NO_THROW(groups->Add(Variant("G")));
  EXPECT_EQ(sim->call_count("OPCGroups.Add"), 2);
  sim->fail_next("OPCServer.Connect", hr::E_FAIL);
  EXPECT_THROW(create_opc_server()->Connect(kSimulationProgId), AutomationError);
}

TEST_F(Server, BrowserIsNothingOnAServerThatCannotBrowse) {
  ScopedSimulation nobrowse(kNoBrowseSimulationProgId, SimulationOptions{OPCHierarchical, false, "x"});
  EXPECT_EQ(connect(kNoBrowseSimulationProgId)->CreateBrowser(), nullptr);
  EXPECT_NE(connect()->CreateBrowser(), nullptr);
}

TEST_F(Server, AGroupReleasedAfterItsLoopEndedDoesNoHarm) {
  std::shared_ptr<OPCGroup> group;
  {
    Apartment inner;  // a loop of its own, ended before the group is released
    auto server = connect();
    group = server->get_OPCGroups()->Add(Variant("G"));
    group->put_IsSubscribed(true);
  }
  group->put_UpdateRate(50);
  group.reset();
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(Server, ConnectNeedsAMessageLoop) {
  std::thread other([] {
    auto server = create_opc_server();
    EXPECT_THROW(server->Connect(kSimulationProgId), AutomationError);
  });
  other.join();
}

}  // namespace
}  // namespace vexa32::opcda::testing
