#pragma once
// A control on a site, against a fresh simulation server on a loop with a manual clock.

#include <gtest/gtest.h>

#include "control/vexa.h"
#include "manual_loop.h"
#include "platform/opcda/simulation.h"

namespace vexa32::testing {

class ControlTest : public ::testing::Test, protected ManualLoop {
 protected:
  ControlTest() {
    control = std::make_unique<vexa>();
    control->SetClientSite(&site);
    control->InitProperties();
    control->put_svrname(opcda::kSimulationProgId);
    control->put_UpdateRate(Variant(std::int16_t{100}));
    control->events().advise([this](DISPID, const std::vector<Variant>&) {
      ++dat_changes;
      if (on_dat_change) on_dat_change();
    });
    site.changes.clear();
  }

  opcda::ScopedSimulation sim{opcda::kSimulationProgId};
  RecordingSite site{true};
  std::unique_ptr<vexa> control;
  int dat_changes = 0;
  std::function<void()> on_dat_change;
};

}  // namespace vexa32::testing
