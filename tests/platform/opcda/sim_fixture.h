#pragma once
// A fresh simulation server per test, on a loop driven by a manual clock.

#include <gtest/gtest.h>

#include "manual_loop.h"
#include "platform/automation/convert.h"
#include "platform/opcda/simulation.h"

namespace vexa32::opcda::testing {

struct Callback {
  std::vector<std::int32_t> handles;
  std::vector<Variant> values;
  std::vector<std::int32_t> qualities;
  std::vector<DATE> stamps;
};

inline std::vector<std::int32_t> ints(const Variant& array) {
  std::vector<std::int32_t> out;
  for (const auto& v : array.array().elements()) out.push_back(to_i4(v));
  return out;
}

inline std::vector<std::string> texts(const Variant& array) {
  std::vector<std::string> out;
  for (const auto& v : array.array().elements()) out.push_back(to_bstr(v));
  return out;
}

inline Variant one_based(VarType type, std::vector<Variant> values) { return make_array(type, values, 1); }

class SimTest : public ::testing::Test, protected vexa32::testing::ManualLoop {
 protected:
  std::shared_ptr<OPCServer> connect(const std::string& prog_id = kSimulationProgId) {
    auto server = create_opc_server();
    server->Connect(prog_id, Variant(""));
    return server;
  }

  // Records every DataChange of a group.
  void record(OPCGroup& group) {
    group.DataChange().connect(
        [this](std::int32_t, std::int32_t n, const Variant& h, const Variant& v, const Variant& q, const Variant& t) {
          Callback cb;
          for (std::int32_t i = 1; i <= n; ++i) {
            cb.handles.push_back(to_i4(h.array().at(i)));
            cb.values.push_back(v.array().at(i));
            cb.qualities.push_back(to_i4(q.array().at(i)));
            cb.stamps.push_back(to_date(t.array().at(i)));
          }
          callbacks.push_back(std::move(cb));
        });
  }

  ScopedSimulation sim{kSimulationProgId};
  std::vector<Callback> callbacks;
};

}  // namespace vexa32::opcda::testing
