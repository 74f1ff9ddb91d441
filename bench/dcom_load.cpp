// vexa32_dcom_load NODE SECONDS [SERVER_PID] [callbacks]: against the DCOM test server started
// with --many-items 2000 on NODE ("127.0.0.1:PORT", its password in the password file), 60 slots
// at 100 ms and a group of 2,000 items at 250 ms for SECONDS, polled, or pushed by the server with
// "callbacks". Prints the polls made against those due (polling) or the calls back taken, the
// values read and the changes reported, this process's CPU time per value, the server's CPU time
// beside ours (from /proc when its pid is given), and the delay from the server's time stamp of a
// change to its DataChange here (median and worst).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/process_cpu.h"
#include "platform/apartment/apartment.h"
#include "platform/automation/convert.h"
#include "platform/dcom/da/dcom_server.h"
#include "platform/opcda/automation.h"

int main(int argc, char** argv) {
  using namespace vexa32;
  using bench::own_cpu_seconds;
  using bench::process_cpu_seconds;
  if (argc < 3) {
    std::fprintf(stderr, "usage: vexa32_dcom_load NODE SECONDS [SERVER_PID] [callbacks]\n");
    return 2;
  }
  const std::string node = argv[1], pid = argc > 3 ? argv[3] : "";
  const bool pushed = argc > 4 && std::string(argv[4]) == "callbacks";
  const double seconds = std::stod(argv[2]);
  Apartment apartment;
  dcom::da::DcomModuleOptions options;
  options.callbacks = pushed;
  dcom::da::install_dcom(opcda::ServerRegistry::instance(), options);
  try {
    auto server = opcda::create_opc_server();
    server->Connect("Vexa.DcomTest.1", Variant(node));
    const struct { int items, rate; } groups[] = {{60, 100}, {2000, 250}};
    std::vector<std::shared_ptr<opcda::OPCGroup>> held;
    long changes = 0;
    bool measuring = false;
    std::vector<double> delays;  // ms from the server's time stamp to the DataChange here
    auto on_change = [&](std::int32_t, std::int32_t n, const Variant&, const Variant&, const Variant&,
                         const Variant& stamps) {
      changes += n;
      if (!measuring) return;
      const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
      for (const Variant& d : stamps.array().elements())
        delays.push_back((now - (d.date_value() - 25569.0) * 86400.0) * 1e3);
    };
    for (const auto& load : groups) {
      auto group = server->get_OPCGroups()->Add(Variant("Load" + std::to_string(load.items)));
      group->put_UpdateRate(load.rate);
      group->put_IsSubscribed(true);
      group->DataChange().connect(on_change);
      std::vector<Variant> ids, handles;
      for (int i = 1; i <= load.items; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "SimulatePLC.Many.Item%05d", i);
        ids.emplace_back(id);
        handles.emplace_back(i);
      }
      Variant server_handles, errors;
      group->get_OPCItems()->AddItems(load.items, make_array(VT_BSTR, ids), make_array(VT_I4, handles), server_handles,
                                      errors);
      for (const auto& e : errors.array().elements()) {
        if (e.i4() != 0) {
          std::fprintf(stderr, "an item was refused: start the server with --many-items 2000\n");
          return 3;
        }
      }
      held.push_back(group);
    }
    apartment.run_for(std::chrono::milliseconds(1500));
    const auto totals0 = dcom::da::poll_totals();
    const long changes0 = changes;
    const double own0 = own_cpu_seconds(), server0 = pid.empty() ? -1 : process_cpu_seconds(pid);
    // Room for every delay up front: growing the vector while measuring would count as ours.
    delays.reserve(static_cast<std::size_t>(seconds * (60 * 10 + 2000 * 4) * 1.2));
    measuring = true;
    apartment.run_for(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    const double own = own_cpu_seconds() - own0;
    const double server_cpu = pid.empty() ? -1 : process_cpu_seconds(pid) - server0;
    const auto totals = dcom::da::poll_totals();
    const long polls = totals.polls - totals0.polls, values = totals.values - totals0.values;
    const double due = seconds * (1000.0 / 100 + 1000.0 / 250);
    const long reported = changes - changes0;
    if (pushed) {
      std::printf("calls back %ld, polls %ld, changes reported %ld\n", totals.callbacks - totals0.callbacks, polls,
                  reported);
      std::printf("CPU: this process %.2f s, %.2f us a change reported", own, reported ? own * 1e6 / reported : 0.0);
    } else {
      std::printf("polls %ld of %.0f due, values read %ld, changes reported %ld\n", polls, due, values, reported);
      std::printf("CPU: this process %.2f s, %.2f us a value read, %.2f us a change reported", own,
                  values ? own * 1e6 / values : 0.0, reported ? own * 1e6 / reported : 0.0);
    }
    if (server_cpu >= 0)
      std::printf("; the server %.2f s (ours is %.1f%% of the two)", server_cpu, 100.0 * own / (own + server_cpu));
    std::printf("\n");
    if (!delays.empty()) {
      std::sort(delays.begin(), delays.end());
      std::printf("delay from the server's time stamp to DataChange: median %.1f ms, worst %.1f ms\n",
                  delays[delays.size() / 2], delays.back());
    }
    server->Disconnect();
  } catch (const AutomationError& e) {
    std::fprintf(stderr, "vexa32_dcom_load: %s\n", e.what());
    return 1;
  }
  return 0;
}
