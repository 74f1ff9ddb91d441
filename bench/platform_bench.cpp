// Late binding against a direct call, and the simulation server's data-change delivery against a
// plain build of the same arrays.

#include <benchmark/benchmark.h>

#include "platform/apartment/apartment.h"
#include "platform/automation/convert.h"
#include "platform/automation/typeinfo.h"
#include "platform/opcda/simulation.h"

namespace vexa32 {
namespace {

class Counter : public Dispatch {
 public:
  const TypeInfo& type_info() const override {
    static const TypeInfo ti =
        TypeInfoBuilder<Counter>("Counter")
            .get("UpdateRate", 1, VT_VARIANT, [](Counter& c) { return Variant(c.rate); })
            .put("UpdateRate", 1, VT_VARIANT, [](Counter& c, const Variant& v) { c.put_UpdateRate(v); })
            .method("GetVl", 2, {{"index", VT_I2}}, VT_VARIANT,
                    [](Counter& c, InvokeArgs a) { return c.GetVl(a[0].i2()); })
            .build();
    return ti;
  }
  void put_UpdateRate(const Variant& v) { rate = to_i2(v); }
  Variant GetVl(std::int16_t index) { return index >= 0 && index < 60 ? values[index] : Variant::null(); }

  std::int16_t rate = 0;
  Variant values[60];
};

void BM_DirectCall(benchmark::State& state) {
  Counter c;
  std::int16_t i = 0;
  for (auto _ : state) {
    c.put_UpdateRate(Variant(std::int16_t{250}));
    benchmark::DoNotOptimize(c.GetVl(static_cast<std::int16_t>(i++ % 60)));
  }
}
BENCHMARK(BM_DirectCall);

void BM_InvokeByDispid(benchmark::State& state) {
  Counter c;
  Dispatch& d = c;
  std::int16_t i = 0;
  std::vector<Variant> put_args(1), get_args(1);
  for (auto _ : state) {
    put_args[0] = Variant(std::int16_t{250});
    d.Invoke(1, InvokeKind::PropertyPut, put_args);
    get_args[0] = Variant(static_cast<std::int16_t>(i++ % 60));
    benchmark::DoNotOptimize(d.Invoke(2, InvokeKind::Method, get_args));
  }
}
BENCHMARK(BM_InvokeByDispid);

void BM_InvokeByName(benchmark::State& state) {
  Counter c;
  Dispatch& d = c;
  std::int16_t i = 0;
  for (auto _ : state) {
    d.put("UpdateRate", Variant(std::int16_t{250}));
    benchmark::DoNotOptimize(d.call("GetVl", {Variant(static_cast<std::int16_t>(i++ % 60))}));
  }
}
BENCHMARK(BM_InvokeByName);

constexpr int kItems = 60;

// Baseline: building the four one-based arrays of a 60-entry callback and handing them on.
void BM_BuildCallbackArrays(benchmark::State& state) {
  double t = 0;
  for (auto _ : state) {
    SafeArray h(VT_I4, 1, kItems), v(VT_VARIANT, 1, kItems), q(VT_I4, 1, kItems), s(VT_DATE, 1, kItems);
    for (std::size_t i = 0; i < kItems; ++i) {
      h.raw_elements()[i] = Variant(static_cast<std::int32_t>(i));
      v.raw_elements()[i] = Variant(t + static_cast<double>(i));
      q.raw_elements()[i] = Variant(0xC0);
      s.raw_elements()[i] = Variant::date(46000.0 + t);
    }
    t += 1;
    Variant a(std::move(h)), b(std::move(v)), c(std::move(q)), d(std::move(s));
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(d);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_BuildCallbackArrays);

// The server's own delivery: 60 changing items sampled, compared, packed and raised per tick.
void BM_SimulationDataChange(benchmark::State& state) {
  auto space = std::make_unique<opcda::AddressSpace>();
  for (int i = 0; i < kItems; ++i) {
    opcda::ItemDef d;
    d.leaf_name = "S" + std::to_string(i);
    d.canonical = VT_R8;
    d.signal = opcda::Signal::Ramp;
    d.period = 1000.0;
    space->add({"Bench"}, std::move(d));
  }
  auto clock = std::make_shared<ManualClock>();
  Apartment apartment(clock);
  auto sim = opcda::SimulationServer::create({}, std::move(space));
  opcda::ScopedRegistration reg("Vexa.Bench.1", sim);
  auto server = opcda::create_opc_server();
  server->Connect("Vexa.Bench.1");
  auto group = server->get_OPCGroups()->Add(Variant("G"));
  std::vector<Variant> ids, handles;
  for (int i = 0; i < kItems; ++i) {
    ids.emplace_back("Bench.S" + std::to_string(i));
    handles.emplace_back(i);
  }
  Variant sh, err;
  group->get_OPCItems()->AddItems(kItems, make_array(VT_BSTR, ids), make_array(VT_I4, handles), sh, err);
  std::int64_t entries = 0;
  group->DataChange().connect([&](std::int32_t, std::int32_t n, const Variant&, const Variant&, const Variant&,
                                  const Variant&) { entries += n; });
  group->put_UpdateRate(10);
  group->put_IsSubscribed(true);
  apartment.run_until_idle();
  for (auto _ : state) {
    clock->advance(std::chrono::milliseconds(10));
    apartment.run_until_idle();
  }
  state.SetItemsProcessed(entries);
  if (entries < state.iterations() * kItems) state.SkipWithError("not every tick delivered every item");
}
BENCHMARK(BM_SimulationDataChange);

}  // namespace
}  // namespace vexa32
