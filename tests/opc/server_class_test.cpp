// The server wrapper.

#include <algorithm>

#include "wrapper_fixture.h"

namespace vexa32::testing {
namespace {

class ServerWrapper : public WrapperTest {};

TEST_F(ServerWrapper, ListsServersWithoutConnectingAndDroppingTouchesNoServer) {
  Variant list;
  server->GetOPCServerList(list, Variant(""));
  ASSERT_TRUE(list.is_array());
  auto ids = list.array().elements();
  EXPECT_NE(std::find(ids.begin(), ids.end(), Variant(opcda::kSimulationProgId)), ids.end());
  server.reset();
  EXPECT_EQ(sim->connection_count(), 0u);
  EXPECT_EQ(sim->call_count("OPCGroups.RemoveAll"), 0);
  EXPECT_EQ(sim->call_count("OPCServer.Connect"), 0);
}

TEST_F(ServerWrapper, AFailedListingLeavesTheListAsItWas) {
  Variant list("untouched");
  server->GetOPCServerList(list, Variant("unreachable-node"));
  EXPECT_EQ(list, Variant("untouched"));
}

TEST_F(ServerWrapper, ConnectStoresWhatItWasGivenEvenOnFailure) {
  EXPECT_EQ(server->ConnectOPCServer("No.Such.Server", "Server 7", 7, Variant()), Variant(false));
  EXPECT_EQ(server->GetOPCServerKey(), Variant("Server 7"));
  EXPECT_EQ(server->GetOPCServerIndex(), Variant(std::int16_t{7}));
  std::string name;
  EXPECT_EQ(server->GetServerName(name), Variant(true));
  EXPECT_EQ(name, "No.Such.Server");
}

TEST_F(ServerWrapper, DefaultGroupOperationsFailBeforeAConnect) {
  bool active = true;
  std::int32_t rate = 7;
  float deadband = 3;
  EXPECT_EQ(server->SetDefaultGroupIsActive(true), Variant(false));
  EXPECT_EQ(server->SetDefaultGroupUpdateRate(100), Variant(false));
  EXPECT_EQ(server->SetDefaultGroupDeadBand(0), Variant(false));
  EXPECT_EQ(server->GetDefaultGroupIsActive(active), Variant(false));
  EXPECT_EQ(server->GetDefaultGroupUpdateRate(rate), Variant(false));
  EXPECT_EQ(server->GetDefaultGroupDeadBand(deadband), Variant(false));
  EXPECT_EQ(rate, 7);  // out-arguments keep their values
  EXPECT_EQ(deadband, 3);
}

TEST_F(ServerWrapper, ConnectSetsTheGroupDefaults) {
  ASSERT_EQ(server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant("")), Variant(true));
  bool active = false;
  std::int32_t rate = 0;
  float deadband = 9;
  EXPECT_EQ(server->GetDefaultGroupIsActive(active), Variant(true));
  EXPECT_EQ(server->GetDefaultGroupUpdateRate(rate), Variant(true));
  EXPECT_EQ(server->GetDefaultGroupDeadBand(deadband), Variant(true));
  EXPECT_TRUE(active);
  EXPECT_EQ(rate, 100);
  EXPECT_EQ(deadband, 0);
}

TEST_F(ServerWrapper, StatusGettersFillOutArgumentsOrLeaveThem) {
  DATE start = -1;
  std::string vendor = "before";
  std::int32_t state = -1;
  EXPECT_EQ(server->GetStartTime(start), Variant(false));
  EXPECT_EQ(server->GetVendorInfo(vendor), Variant(false));
  EXPECT_EQ(start, -1);
  EXPECT_EQ(vendor, "before");
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant(""));
  EXPECT_EQ(server->GetStartTime(start), Variant(true));
  EXPECT_EQ(server->GetVendorInfo(vendor), Variant(true));
  EXPECT_EQ(server->GetServerState(state), Variant(true));
  EXPECT_GT(start, 46000.0);
  EXPECT_EQ(state, opcda::OPCRunning);
  std::int16_t major = 0, minor = -1, build = 0;
  DATE now = 0, last = -1;
  EXPECT_EQ(server->GetMajorVersion(major), Variant(true));
  EXPECT_EQ(server->GetMinorVersion(minor), Variant(true));
  EXPECT_EQ(server->GetBuildNumber(build), Variant(true));
  EXPECT_EQ(server->GetCurrentTime(now), Variant(true));
  EXPECT_EQ(server->GetLastUpdateTime(last), Variant(true));
  EXPECT_GE(major, 1);
  EXPECT_GE(now, start);
}

TEST_F(ServerWrapper, GroupKeysAndIndexReuse) {
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant(""));
  std::vector<std::string> keys;
  for (int i = 0; i < 3; ++i) {
    std::string name = "G" + std::to_string(i), key;
    ASSERT_EQ(server->AddOPCGroup(name, 100, 0, true, key), Variant(true));
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"Group 1 0", "Group 2 0", "Group 3 0"}));
  EXPECT_EQ(server->RemoveOPCGroup("Group 2 0"), Variant(true));
  EXPECT_EQ(sim->group_names(), (std::vector<std::string>{"G0", "G2"}));
  std::string name = "again", key;
  server->AddOPCGroup(name, 100, 0, true, key);
  EXPECT_EQ(key, "Group 2 0");
  EXPECT_EQ(server->GetOPCServerGroupCollection().item(key)->GetGroupIndex(), Variant(std::int16_t{2}));
  name = "fourth";
  server->AddOPCGroup(name, 100, 0, true, key);
  EXPECT_EQ(key, "Group 4 0");
  EXPECT_EQ(server->RemoveOPCGroup("Group 9 0"), Variant(false));
  EXPECT_EQ(sim->group_count(), 4u);
}

TEST_F(ServerWrapper, KeysCarryTheServerIndexInSignedDecimalForm) {
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 3", 3, Variant(""));
  std::string name = "G", key;
  server->AddOPCGroup(name, 100, 0, true, key);
  EXPECT_EQ(key, "Group 1 3");
  OPCServerClass negative;
  negative.ConnectOPCServer(opcda::kSimulationProgId, "S", -2, Variant(""));
  name = "H";
  negative.AddOPCGroup(name, 100, 0, true, key);
  EXPECT_EQ(key, "Group 1-2");
}

TEST_F(ServerWrapper, AnEmptyGroupNameComesBackAsTheServersChoice) {
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant(""));
  std::string name, key;
  ASSERT_EQ(server->AddOPCGroup(name, 250, 0, false, key), Variant(true));
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(sim->group_names(), std::vector<std::string>{name});
  auto& g = *server->GetOPCServerGroupCollection().item(key);
  EXPECT_EQ(g.GetGroupName(), Variant(name));
  bool active = true;
  std::int32_t rate = 0;
  g.GetGroupActiveState(active);
  g.GetGroupUpdateRate(rate);
  EXPECT_FALSE(active);  // the defaults given with the add
  EXPECT_EQ(rate, 250);
}

TEST_F(ServerWrapper, AFailureAfterTheAddLeavesTheGroupOnTheServer) {
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant(""));
  sim->fail_next("OPCGroup.put_IsSubscribed", hr::E_FAIL);
  std::string name = "G", key = "none";
  EXPECT_EQ(server->AddOPCGroup(name, 100, 0, true, key), Variant(false));
  EXPECT_EQ(sim->group_count(), 1u);
  EXPECT_EQ(server->GetOPCServerGroupCollection().count(), 0u);
}

TEST_F(ServerWrapper, BrowseObjectIsNothingOnAServerThatCannotBrowse) {
  opcda::ScopedSimulation nobrowse(opcda::kNoBrowseSimulationProgId,
                                   opcda::SimulationOptions{opcda::OPCHierarchical, false, "x"});
  server->ConnectOPCServer(opcda::kNoBrowseSimulationProgId, "Server 0", 0, Variant(""));
  auto browser = std::make_shared<OPCBrowserClass>();
  EXPECT_EQ(server->GetServerBrowseObject(browser), Variant(true));
  EXPECT_EQ(browser, nullptr);
  OPCServerClass other;
  other.ConnectOPCServer(opcda::kSimulationProgId, "Server 1", 1, Variant(""));
  EXPECT_EQ(other.GetServerBrowseObject(browser), Variant(true));
  EXPECT_NE(browser, nullptr);
  OPCServerClass unconnected;
  auto kept = browser;
  EXPECT_EQ(unconnected.GetServerBrowseObject(browser), Variant(false));
  EXPECT_EQ(browser, kept);
}

TEST_F(ServerWrapper, ShutdownCarriesTheKeyGivenAtConnect) {
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 5", 5, Variant(""));
  std::vector<std::string> keys;
  server->ServerShuttingDown.connect([&](const std::string& k) { keys.push_back(k); });
  sim->shut_down("going down for maintenance");
  pump();
  EXPECT_EQ(keys, std::vector<std::string>{"Server 5"});
}

TEST_F(ServerWrapper, DisconnectKeepsTheStoredValues) {
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant(""));
  EXPECT_EQ(server->DisconnectOPCServer(), Variant(true));
  EXPECT_EQ(server->DisconnectOPCServer(), Variant(false));
  EXPECT_EQ(server->GetOPCServerKey(), Variant("Server 0"));
  EXPECT_EQ(sim->connection_count(), 0u);
}

TEST_F(ServerWrapper, DestructionRemovesTheGroupsWithoutDisconnecting) {
  connect_group();
  std::string name = "second", key;
  server->AddOPCGroup(name, 100, 0, true, key);
  server.reset();
  EXPECT_EQ(sim->call_count("OPCGroups.RemoveAll"), 1);
  EXPECT_EQ(sim->call_count("OPCServer.Disconnect"), 0);
}

TEST_F(ServerWrapper, DestructionCallsRemoveAllOnlyWhenGroupsExist) {
  server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant(""));
  server.reset();
  EXPECT_EQ(sim->call_count("OPCGroups.RemoveAll"), 0);
}

}  // namespace
}  // namespace vexa32::testing
