// vexa32_ua_load URL N SECONDS [SERVER_PID]: 60 x N items ("ns=1;s=Load.V<n>") at 100 ms on a UA
// server (the test server started with --load), in groups of at most 600 (servers limit the
// subscriptions of a session, often to 10), for SECONDS. Prints the
// notifications delivered a second, the Publish sequence gaps, and this process's CPU time
// against the server's (from /proc when its pid is given).

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench/process_cpu.h"
#include "platform/apartment/apartment.h"
#include "platform/automation/convert.h"
#include "platform/opcda/automation.h"
#include "platform/opcua/da/ua_server.h"

int main(int argc, char** argv) {
  using namespace vexa32;
  using bench::own_cpu_seconds;
  using bench::process_cpu_seconds;
  if (argc < 4) {
    std::fprintf(stderr, "usage: vexa32_ua_load URL N SECONDS [SERVER_PID]\n");
    return 2;
  }
  const std::string url = argv[1], pid = argc > 4 ? argv[4] : "";
  const int total = 60 * std::stoi(argv[2]);
  const int per_group = 600;
  const int groups = (total + per_group - 1) / per_group;
  const double seconds = std::stod(argv[3]);
  Apartment apartment;
  opcua::install_opcua(opcda::ServerRegistry::instance());
  try {
    auto server = opcda::create_opc_server();
    server->Connect(url);
    long entries = 0;
    std::vector<std::shared_ptr<opcda::OPCGroup>> held;
    for (int g = 0; g < groups; ++g) {
      auto group = server->get_OPCGroups()->Add(Variant("Load" + std::to_string(g)));
      group->put_UpdateRate(100);
      group->put_IsSubscribed(true);
      group->DataChange().connect([&entries](std::int32_t, std::int32_t n, const Variant&, const Variant&,
                                             const Variant&, const Variant&) { entries += n; });
      std::vector<Variant> ids, handles;
      for (int i = g * per_group; i < std::min(total, (g + 1) * per_group); ++i) {
        ids.emplace_back("ns=1;s=Load.V" + std::to_string(i));
        handles.emplace_back(i);
      }
      Variant server_handles, errors;
      group->get_OPCItems()->AddItems(static_cast<std::int32_t>(ids.size()), make_array(VT_BSTR, ids),
                                      make_array(VT_I4, handles), server_handles, errors);
      for (const auto& e : errors.array().elements()) {
        if (e.i4() != 0) {
          std::fprintf(stderr, "an item was refused: start the server with --load %d or more\n", total);
          return 3;
        }
      }
      held.push_back(group);
    }
    // Let the first full callbacks pass, then measure.
    apartment.run_for(std::chrono::milliseconds(1500));
    const long entries0 = entries;
    const auto totals0 = opcua::Client::publish_totals();
    const double own0 = own_cpu_seconds(), server0 = pid.empty() ? -1 : process_cpu_seconds(pid);
    apartment.run_for(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    const double own = own_cpu_seconds() - own0;
    const double server_cpu = pid.empty() ? -1 : process_cpu_seconds(pid) - server0;
    const auto totals = opcua::Client::publish_totals();
    const double expected = total * 10.0;  // every item changes every 100 ms
    std::printf(
        "items %d, notifications/s %.0f (the server changes %.0f/s), publish answers %llu, sequence gaps %llu\n", total,
        static_cast<double>(entries - entries0) / seconds, expected,
        static_cast<unsigned long long>(totals.answers - totals0.answers),
        static_cast<unsigned long long>(totals.sequence_gaps - totals0.sequence_gaps));
    if (server_cpu >= 0) {
      std::printf("CPU: this process %.2f s, server %.2f s, ratio %.3f\n", own, server_cpu, own / server_cpu);
    } else {
      std::printf("CPU: this process %.2f s\n", own);
    }
    server->Disconnect();
  } catch (const AutomationError& e) {
    std::fprintf(stderr, "vexa32_ua_load: %s\n", e.what());
    return 1;
  }
  return 0;
}
