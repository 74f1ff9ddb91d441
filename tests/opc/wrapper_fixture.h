#pragma once
// Wrappers against a fresh simulation server on a manual loop.

#include <gtest/gtest.h>

#include "manual_loop.h"
#include "opc/server_class.h"
#include "platform/automation/convert.h"
#include "platform/container/services.h"
#include "platform/opcda/simulation.h"

namespace vexa32::testing {

class WrapperTest : public ::testing::Test, protected ManualLoop {
 protected:
  // A server wrapper connected with index 0 and key "Server 0", and one group wrapper "G".
  void connect_group() {
    ASSERT_EQ(server->ConnectOPCServer(opcda::kSimulationProgId, "Server 0", 0, Variant("")), Variant(true));
    std::string name = "G", key;
    ASSERT_EQ(server->AddOPCGroup(name, 100, 0.0f, true, key), Variant(true));
    group = server->GetOPCServerGroupCollection().item(key).get();
  }

  std::string add_item(const std::string& id, std::int16_t data_type = 0) {
    std::string key;
    EXPECT_EQ(group->AddOPCItem(id, data_type, 1, key), Variant(true)) << id;
    return key;
  }

  std::shared_ptr<RecordingMessageBox> box = std::make_shared<RecordingMessageBox>();
  ScopedServices services{box};
  opcda::ScopedSimulation sim{opcda::kSimulationProgId};
  std::unique_ptr<OPCServerClass> server = std::make_unique<OPCServerClass>();
  OPCGroupClass* group = nullptr;
};

}  // namespace vexa32::testing
