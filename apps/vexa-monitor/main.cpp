// vexa-monitor: the headless host. Loads a form (or takes settings on the command line), connects
// a vexa control and shows its slots after every datChange until the time is up or Ctrl-C.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "monitor.h"
#include "platform/apartment/apartment.h"
#ifdef VEXA32_WITH_DCOM
#include "platform/dcom/da/dcom_server.h"
#endif
#ifdef VEXA32_WITH_OPCUA
#include "platform/opcua/da/ua_server.h"
#include "platform/opcua/pki/pki.h"
#endif

namespace {
std::atomic<bool> g_interrupted{false};
extern "C" void on_signal(int) { g_interrupted = true; }
}  // namespace

int main(int argc, char** argv) {
  using namespace vexa32;
  std::string error;
  monitor::Options options = monitor::parse_options(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!error.empty()) {
    std::cerr << "vexa-monitor: " << error << "\n(vexa-monitor --help shows the usage)\n";
    return 2;
  }
  if (options.help) {
    std::cout << monitor::usage();
    return 0;
  }
#ifdef VEXA32_WITH_OPCUA
  if (options.show_certificate) {
    try {
      opcua::Pki pki;
      const auto own = pki.own();
      std::cout << "this client's certificate: " << own.certificate_path << "\n"
                << opcua::Pki::describe(own.certificate) << "\n";
      return 0;
    } catch (const std::exception& e) {
      std::cerr << "vexa-monitor: " << e.what() << "\n";
      return 3;
    }
  }
#endif
  bool table = options.table || ::isatty(STDOUT_FILENO);

  // A failing event handler is contained by its event source; the monitor says so.
  set_sink_failure_hook([](std::exception_ptr failure) {
    std::cerr << "vexa-monitor: an event handler failed: " << describe_failure(std::move(failure)) << "\n";
  });
  Apartment apartment;
#ifdef VEXA32_WITH_OPCUA
  // opc.tcp:// servers, and the UA servers of a node in the server list.
  opcua::install_opcua(opcda::ServerRegistry::instance());
#endif
#ifdef VEXA32_WITH_DCOM
  // OPC DA servers on other nodes, over DCOM; their logins come from the password file alone.
  dcom::da::install_dcom(opcda::ServerRegistry::instance());
#endif
  RecordingSite site(true);
  vexa control;
  control.SetClientSite(&site);
  if (!monitor::configure(control, options, error)) {
    std::cerr << "vexa-monitor: " << error << "\n";
    return 2;
  }

  long events = 0;
  control.events().advise([&](DISPID, const std::vector<Variant>&) {
    // How the data come is settled by the first change: pushed by the server, or read because it
    // could not call us back (and why).
    if (events == 0 && control.IsConnect) {
      const std::string note = control.data_mode_note();
      std::cout << "data changes by " << control.data_mode() << (note.empty() ? "" : ": " + note) << std::endl;
    }
    ++events;
    if (table) {
      std::cout << "\x1b[H\x1b[J" << monitor::render_table(control, events) << std::flush;
    } else {
      std::cout << monitor::render_line(control, events) << std::endl;
    }
  });

#ifdef VEXA32_WITH_OPCUA
  if (options.trust && control.get_svrname().rfind("opc.tcp://", 0) == 0) {
    // Trust on first use, asked for with the flag: what is trusted is shown first.
    try {
      const auto certificate = opcua::server_certificate(control.get_svrname());
      std::cout << "trusting the server's certificate: " << opcua::Pki::describe(certificate) << "\n";
      std::cout << "stored as " << opcua::Pki().trust(certificate) << std::endl;
    } catch (const std::exception& e) {
      std::cerr << "vexa-monitor: the server's certificate cannot be trusted: " << e.what() << "\n";
      return 3;
    }
  }
#endif
  control.cnnec();
  if (!control.IsConnect) {
    std::cerr << "vexa-monitor: cannot connect to OPC server \"" << control.get_svrname() << "\" on node \""
              << monitor::describe_value(control.nodname_variant()) << "\": " << control.last_connect_failure() << "\n";
    return 3;
  }
  std::cout << "connected to " << control.get_svrname() << "; update rate "
            << monitor::describe_value(control.get_UpdateRate()) << " ms" << std::endl;
  int failed_writes = 0;
  for (const auto& [slot, text] : options.writes) {
    // opcWrt says only that the write went out, not that the server took the value: the next
    // data change shows what the item holds.
    bool ok = control.opcWrt(static_cast<std::int16_t>(slot), Variant(text)) != 0;
    std::cout << "write slot " << slot << " = \"" << text << "\": " << (ok ? "sent" : "refused") << std::endl;
    failed_writes += ok ? 0 : 1;
  }

  if (options.read) std::cout << monitor::read_items(control) << std::flush;

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  // Signals only set a flag; the loop looks at it between events.
  apartment.set_timer(std::chrono::milliseconds(50), [&] {
    if (g_interrupted) apartment.quit();
  });
  if (options.seconds > 0) {
    apartment.set_timer(
        std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000)), [&] { apartment.quit(); }, false);
  }
  apartment.run();

  int rc = failed_writes ? 4 : 0;
  try {
    control.discnn();
  } catch (const AutomationError& e) {
    std::cerr << "vexa-monitor: disconnect failed: " << e.what() << "\n";
    rc = 5;
  }
  std::cout << (g_interrupted ? "\ninterrupted; " : "") << "disconnected after " << events << " data changes"
            << std::endl;
  if (events == 0 && !options.read) {
    std::cerr << "vexa-monitor: no data change arrived\n";
    return rc ? rc : 6;
  }
  return rc;
}
