// A Publish response of 1,000 data-change notifications, decoded and delivered to a connected
// control's slots, against copying the same 1,000 values.

#include <benchmark/benchmark.h>

#include "control/vexa.h"
#include "platform/apartment/apartment.h"
#include "platform/opcda/simulation.h"
#include "platform/opcua/da/ua_p.h"

namespace vexa32 {
namespace {

constexpr int kNotifications = 1000;
constexpr int kSlots = 60;

// The answer as a server sends it (after the message's type): one DataChangeNotification of
// Double values, Good, with a source time stamp, for handles cycling through the 60 slots.
std::string publish_body() {
  using namespace opcua;
  Writer data;
  data.i32(kNotifications);
  for (int i = 0; i < kNotifications; ++i) {
    data.u32(static_cast<std::uint32_t>(i % kSlots));
    DataValue v;
    v.has_value = true;
    v.value = UaVariant(BuiltinType::Double, i * 0.25);
    v.status = 0;
    v.source_time = 133486382450000000LL + i;
    encode(data, v);
  }
  data.i32(0);  // diagnostics
  Writer w;
  encode(w, NodeId(0, encoding_id::PublishResponse));
  w.i64(0);  // response header: time, handle, result, diagnostics, string table, extension
  w.u32(1);
  w.u32(0);
  w.u8(0);
  w.i32(0);
  encode(w, ExtensionObject{});
  w.u32(7);  // subscription
  w.i32(0);  // available sequence numbers
  w.boolean(false);
  w.u32(1);  // sequence number
  w.i64(0);
  w.i32(1);
  encode(w, ExtensionObject{NodeId(0, encoding_id::DataChangeNotification), 1, data.take()});
  w.i32(0);  // results
  w.i32(0);  // diagnostics
  return w.take();
}

const std::string& body() {
  static const std::string b = publish_body();
  return b;
}

// The floor: the 1,000 values copied, as they would be from any decoded list.
void BM_CopyThousandValues(benchmark::State& state) {
  std::vector<Variant> source, target(kNotifications);
  for (int i = 0; i < kNotifications; ++i) source.emplace_back(i * 0.25);
  for (auto _ : state) {
    for (int i = 0; i < kNotifications; ++i) target[static_cast<std::size_t>(i)] = source[static_cast<std::size_t>(i)];
    benchmark::DoNotOptimize(target);
  }
  state.SetItemsProcessed(state.iterations() * kNotifications);
}
BENCHMARK(BM_CopyThousandValues);

// Decoded, turned into one DataChange of a UA group (values, qualities, time stamps as the
// control gets them) as the connection does, and stored in the slots of a control, which raises
// datChange once.
void BM_UaPublishToSlots(benchmark::State& state) {
  auto clock = std::make_shared<ManualClock>();
  Apartment apartment(clock);
  opcda::ScopedSimulation sim("Vexa.Bench.Ua.1");
  vexa control;
  control.InitProperties();
  control.put_svrname("Vexa.Bench.Ua.1");
  control.cnnec();
  std::int64_t events = 0;
  control.events().advise([&](DISPID, const std::vector<Variant>&) { ++events; });
  // The group's items monitored under the handles the answer names; its DataChange goes to the
  // control's group as it is.
  opcua::UaGroupState group;
  for (int i = 0; i < kSlots; ++i) {
    opcua::UaItem item;
    item.server_handle = i;
    item.client_handle = i;
    group.items.push_back(item);
  }
  group.data_change.connect([&](std::int32_t, std::int32_t n, const Variant& h, const Variant& v, const Variant& q,
                                const Variant& t) { sim->raise_data_change("Group1", n, h, v, q, t); });
  for (auto _ : state) {
    opcua::Reader r(body());
    opcua::read_service_type(r);
    opcua::PublishResponse response;
    opcua::decode(r, response);
    opcua::collect_changes(group, response.data_changes);
    group.changes.raise(group.data_change);
  }
  if (events != static_cast<std::int64_t>(state.iterations()) || control.GetVl(59) != Variant(959 * 0.25))
    state.SkipWithError("one datChange per answer, the last value in each slot, expected");
  state.SetItemsProcessed(state.iterations() * kNotifications);
  control.discnn();
}
BENCHMARK(BM_UaPublishToSlots);

}  // namespace
}  // namespace vexa32
