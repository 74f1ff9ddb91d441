// A Publish response of 1,000 data-change notifications, decoded and delivered to a connected
// control's slots, against copying the same 1,000 values.

#include <benchmark/benchmark.h>

#include "control/vexa.h"
#include "platform/apartment/apartment.h"
#include "platform/opcda/simulation.h"
#include "platform/opcua/da/ua_p.h"
#include "platform/opcua/secure_channel.h"

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

// A control connected to a simulation whose group "Group1" takes what a UA group delivers: the
// group's items monitored under the handles the answer names.
struct Delivery {
  Delivery() {
    control.InitProperties();
    control.put_svrname("Vexa.Bench.Ua.1");
    control.cnnec();
    control.events().advise([this](DISPID, const std::vector<Variant>&) { ++events; });
    for (int i = 0; i < kSlots; ++i) {
      opcua::UaItem item;
      item.server_handle = i;
      item.client_handle = i;
      group.items.push_back(item);
    }
    group.data_change.connect([this](std::int32_t, std::int32_t n, const Variant& h, const Variant& v, const Variant& q,
                                     const Variant& t) { sim->raise_data_change("Group1", n, h, v, q, t); });
  }
  ~Delivery() { control.discnn(); }
  // Decoded, turned into one DataChange of the group (values, qualities, time stamps as the
  // control gets them) as the connection does, and stored in the control's slots.
  void deliver(std::string_view message) {
    opcua::Reader r(message);
    opcua::read_service_type(r);
    opcua::PublishResponse response;
    opcua::decode(r, response);
    opcua::collect_changes(group, response);
    group.changes.raise(group.data_change);
  }
  void check(benchmark::State& state) {
    if (events != static_cast<std::int64_t>(state.iterations()) || control.GetVl(59) != Variant(959 * 0.25))
      state.SkipWithError("one datChange per answer, the last value in each slot, expected");
    state.SetItemsProcessed(state.iterations() * kNotifications);
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Apartment apartment{clock};
  opcda::ScopedSimulation sim{"Vexa.Bench.Ua.1"};
  vexa control;
  opcua::UaGroupState group;
  std::int64_t events = 0;
};

void BM_UaPublishToSlots(benchmark::State& state) {
  Delivery d;
  for (auto _ : state) d.deliver(body());
  d.check(state);
}
BENCHMARK(BM_UaPublishToSlots);

// The same answer as it comes off the wire: its chunks opened (under SignAndEncrypt checked and
// decrypted first), put together and delivered.
struct Channels {
  explicit Channels(opcua::crypto::SecurityMode mode) {
    using namespace opcua;
    crypto::CertificateRequest request;
    request.common_name = "bench client";
    request.application_uri = "urn:bench:client";
    const auto client_pair = crypto::make_certificate(request);
    request.common_name = "bench server";
    request.application_uri = "urn:bench:server";
    const auto server_pair = crypto::make_certificate(request);
    auto side = [mode](const crypto::MadeCertificate& own, const crypto::MadeCertificate& peer) {
      ChannelSecurity s;
      if (mode != crypto::SecurityMode::None) s.policy = crypto::find_policy("Basic256Sha256");
      s.mode = mode;
      s.own_certificate = own.certificate;
      s.own_key = own.key;
      s.server_certificate = peer.certificate.der();
      return s;
    };
    client = std::make_unique<SecureChannel>(side(client_pair, server_pair));
    // The server's side: this side's channel with the roles turned round.
    server = std::make_unique<SecureChannel>(side(server_pair, client_pair));
    const std::string client_nonce = client->new_client_nonce(), server_nonce = server->new_client_nonce();
    client->install_token(1, server_nonce);
    server->set_client_nonce(server_nonce);
    server->install_token(1, client_nonce);
    std::uint32_t sequence = 0;
    chunks = server->split("MSG", 1, 5, sequence, body(), opcua::BufferLimits{});
  }
  std::unique_ptr<opcua::SecureChannel> client, server;
  std::vector<std::string> chunks;
};

void publish_from_chunks(benchmark::State& state, opcua::crypto::SecurityMode mode) {
  Delivery d;
  Channels channels(mode);
  for (auto _ : state) {
    opcua::MessageAssembler assembler(opcua::BufferLimits{});
    assembler.set_channel(1);
    assembler.expect(5);
    for (const std::string& chunk : channels.chunks) {
      if (auto message = assembler.feed(channels.client->open(chunk))) d.deliver(message->body);
    }
  }
  d.check(state);
}
void BM_UaPublishChunksNone(benchmark::State& state) { publish_from_chunks(state, opcua::crypto::SecurityMode::None); }
BENCHMARK(BM_UaPublishChunksNone);
void BM_UaPublishChunksSignAndEncrypt(benchmark::State& state) {
  publish_from_chunks(state, opcua::crypto::SecurityMode::SignAndEncrypt);
}
BENCHMARK(BM_UaPublishChunksSignAndEncrypt);

}  // namespace
}  // namespace vexa32
