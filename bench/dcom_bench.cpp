// The DCOM client's costs: decoding an answer of 1,000 item states with their VARIANTs into
// automation values (against copying the same values), and a call's round trip on loopback at
// packet privacy (against packet integrity) when a DCOM test server is given.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/dcom/da/opc_types.h"
#include "platform/dcom/dcom_node.h"
#include "platform/dcom/ndr.h"
#include "platform/dcom/oaut.h"

namespace vexa32 {
namespace {

constexpr int kItems = 1000;

Variant value_of(int i) {
  switch (i % 4) {
    case 0: return Variant(i * 0.25);
    case 1: return Variant(static_cast<std::int32_t>(i));
    case 2: return Variant(i % 8 == 2);
    default: return Variant("item text " + std::to_string(i));
  }
}

// What IOPCSyncIO::Read answers for 1,000 items: a pointer to the array of OPCITEMSTATE (client
// handle, FILETIME, quality, reserved, the VARIANT's pointer), the VARIANTs deferred behind it,
// then an HRESULT per item and the call's.
dcom::da::ReadAnswer item_states() {
  dcom::da::ReadAnswer answer;
  for (int i = 0; i < kItems; ++i)
    answer.states.push_back(
        {static_cast<std::uint32_t>(i), 133000000000000000ull + static_cast<std::uint64_t>(i), 0xC0, value_of(i)});
  answer.errors.assign(kItems, 0);
  return answer;
}

void BM_DcomCopyThousandItemStates(benchmark::State& state) {
  const std::vector<dcom::da::ItemState> source = item_states().states;
  std::vector<dcom::da::ItemState> target(kItems);
  for (auto _ : state) {
    for (std::size_t i = 0; i < source.size(); ++i) target[i] = source[i];
    benchmark::DoNotOptimize(target);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_DcomCopyThousandItemStates);

void BM_DcomDecodeThousandItemStates(benchmark::State& state) {
  dcom::NdrWriter w;
  dcom::da::write_item_states_answer(w, item_states());
  const std::string stub = w.take();
  for (auto _ : state) {
    dcom::NdrReader r(stub);
    benchmark::DoNotOptimize(dcom::da::read_item_states_answer(r, kItems));
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_DcomDecodeThousandItemStates);

// IOPCServer::GetStatus on the DCOM test server whose state folder VEXA32_DCOM_STATE names
// (tests/opcda/dcom-server/fixture.sh start DIR); skipped without one.
void get_status_round_trip(benchmark::State& state, dcom::rpc::AuthLevel level) {
  const char* dir = std::getenv("VEXA32_DCOM_STATE");
  std::uint16_t port = 0;
  if (dir) {
    std::ifstream ports(std::string(dir) + "/ports");
    for (std::string line; std::getline(ports, line);) {
      if (line.rfind("activation=", 0) == 0) port = static_cast<std::uint16_t>(std::stoi(line.substr(11)));
    }
  }
  if (!port) {
    state.SkipWithError("no DCOM test server: set VEXA32_DCOM_STATE to a started fixture's folder");
    return;
  }
  static const dcom::InterfaceInfo server{"IOPCServer",
                                          dcom::guid("39C13A4D-011E-11D0-9675-0020AFD8ADB3"),
                                          0,
                                          0,
                                          3,
                                          {"AddGroup", "GetErrorString", "GetGroupByName", "GetStatus"}};
  dcom::DcomOptions options;
  options.rpc.level = level;
  dcom::DcomNode node("127.0.0.1", port, {"VEXATEST", "tester", "Vexa-Test-1", "BENCH"}, options);
  const auto object = node.create_instance(dcom::guid("7B3C5E20-9A41-4D6B-8E2F-5A1C0D3B9E47"), server.iid);
  for (auto _ : state) benchmark::DoNotOptimize(node.call(object, server, 6, ""));
  node.release(object);
}
void BM_DcomGetStatusIntegrity(benchmark::State& state) {
  get_status_round_trip(state, dcom::rpc::AuthLevel::Integrity);
}
BENCHMARK(BM_DcomGetStatusIntegrity)->Unit(benchmark::kMicrosecond);
void BM_DcomGetStatusPrivacy(benchmark::State& state) { get_status_round_trip(state, dcom::rpc::AuthLevel::Privacy); }
BENCHMARK(BM_DcomGetStatusPrivacy)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vexa32
