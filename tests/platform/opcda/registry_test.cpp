#include "platform/opcda/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "sim_fixture.h"

namespace vexa32::opcda::testing {
namespace {

class Registry : public SimTest {};

TEST_F(Registry, ListsTheEmbeddedServersOnEveryNameOfTheLocalNode) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  auto server = create_opc_server();  // listing needs no connection
  for (const Variant& node :
       {Variant::missing(), Variant(""), Variant("localhost"), Variant("127.0.0.1"), Variant(host)}) {
    auto ids = texts(server->GetOPCServers(node));
    for (const char* expected : {kSimulationProgId, kExampleProgId, kFlatSimulationProgId, kNoBrowseSimulationProgId}) {
      EXPECT_NE(std::find(ids.begin(), ids.end(), expected), ids.end()) << expected;
    }
    EXPECT_EQ(server->GetOPCServers(node).array().lower_bound(), 1);
  }
}

TEST_F(Registry, AnotherNodeFailsAsAnUnreachableMachine) {
  auto server = create_opc_server();
  for (auto call : {0, 1}) {
    try {
      if (call == 0) {
        server->GetOPCServers(Variant("plant-floor-7"));
      } else {
        server->Connect(kSimulationProgId, Variant("plant-floor-7"));
      }
      FAIL();
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.hresult(), hr::RPC_S_SERVER_UNAVAILABLE);
    }
  }
}

TEST_F(Registry, AnUnregisteredProgIdIsNotConnected) {
  auto server = create_opc_server();
  try {
    server->Connect("No.Such.Server", Variant());
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.hresult(), hr::REGDB_E_CLASSNOTREG);
  }
  EXPECT_THROW(server->get_OPCGroups(), AutomationError);
  EXPECT_THROW(server->Disconnect(), AutomationError);
}

TEST_F(Registry, ProgIdsMatchWithoutRegardToCaseAndTheExampleProgIdIsTheSimulation) {
  auto server = create_opc_server();
  server->Connect("vexa.simulation.1");
  EXPECT_EQ(sim->connection_count(), 1u);
  auto example = create_opc_server();
  example->Connect(kExampleProgId);
  EXPECT_NE(example->get_VendorInfo().find("simulation"), std::string::npos);
}

TEST_F(Registry, ScopedRegistrationPutsThePreviousServerBack) {
  auto before = ServerRegistry::instance().registered(kSimulationProgId);
  {
    ScopedSimulation other(kSimulationProgId);
    EXPECT_EQ(ServerRegistry::instance().registered(kSimulationProgId), other.shared());
  }
  EXPECT_EQ(ServerRegistry::instance().registered(kSimulationProgId), before);
}

}  // namespace
}  // namespace vexa32::opcda::testing
