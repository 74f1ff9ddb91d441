#include "monitor.h"

#include <cstdio>
#include <sstream>

#include "platform/automation/convert.h"
#include "platform/automation/date.h"
#include "platform/container/form_file.h"
#include "platform/opcda/automation.h"

namespace vexa32::monitor {
namespace {

// N=TEXT with a slot N from 0 to 59; a message naming what is wrong otherwise.
bool parse_slot_assignment(const std::string& option, const std::string& text, std::pair<int, std::string>& out,
                           std::string& error) {
  const auto eq = text.find('=');
  const std::string number = text.substr(0, eq);
  const bool digits = !number.empty() && number.size() <= 4 &&
                      number.find_first_not_of("0123456789") == std::string::npos;
  if (eq == std::string::npos || !digits) {
    error = option + " needs N=TEXT with a slot number N, not \"" + text + "\"";
    return false;
  }
  const int slot = std::stoi(number);
  if (slot >= vexa::kSlots) {
    error = option + " \"" + text + "\": slot " + number + " is not one of 0 to 59";
    return false;
  }
  out = {slot, text.substr(eq + 1)};
  return true;
}

// The longest run the monitor takes, a year: anything longer (or not finite) is a mistake, and
// would not fit the timer.
constexpr double kMaxSeconds = 365.0 * 24 * 3600;

}  // namespace

std::string usage() {
  return "usage: vexa-monitor [--form FILE] [--server PROGID] [--node NODE] [--rate MS] [--csv FILE]\n"
         "                    [--item N=ID]... [--write N=VALUE]... [--read] [--seconds S] [--table]\n"
         "Connects a vexa control and shows its slots after every data change.\n"
         "The settings come from the form file (default examples/Form1.json) unless --server is given\n"
         "without --form; --node, --rate, --csv (tag names imported with the form's CSV settings) and\n"
         "--item change them. --read reads each tag once from the device after connecting.\n"
         "A server may be an OPC UA endpoint: --server opc.tcp://host:4840 --item 0=ns=2;s=Tag, with a user\n"
         "and the choice of security: opc.tcp://operator@host:4840?security=SignAndEncrypt&policy=Basic256Sha256\n"
         "(the password from the password file, ~/.config/vexa32/uapass). --trust trusts the server's\n"
         "certificate after showing it; --show-certificate shows this client's own certificate.\n";
}

Options parse_options(const std::vector<std::string>& args, std::string& error) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        error = std::string(name) + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--table") {
      o.table = true;
    } else if (a == "--read") {
      o.read = true;
    } else if (a == "--trust") {
      o.trust = true;
    } else if (a == "--show-certificate") {
      o.show_certificate = true;
    } else if (a == "--form") {
      auto v = value("--form");
      if (!v) return o;
      o.form = *v;
      o.form_given = true;
    } else if (a == "--server") {
      if (!(o.server = value("--server"))) return o;
    } else if (a == "--node") {
      if (!(o.node = value("--node"))) return o;
    } else if (a == "--csv") {
      if (!(o.csv = value("--csv"))) return o;
    } else if (a == "--rate") {
      if (!(o.rate = value("--rate"))) return o;
    } else if (a == "--seconds") {
      auto v = value("--seconds");
      if (!v) return o;
      try {
        std::size_t used = 0;
        o.seconds = std::stod(*v, &used);
        if (used != v->size() || !(o.seconds >= 0 && o.seconds <= kMaxSeconds)) throw std::invalid_argument("");
      } catch (const std::exception&) {
        error = "--seconds needs a number of seconds from 0 to 31536000, not \"" + *v + "\"";
        return o;
      }
    } else if (a == "--item" || a == "--write") {
      auto v = value(a.c_str());
      if (!v) return o;
      std::pair<int, std::string> p;
      if (!parse_slot_assignment(a, *v, p, error)) return o;
      (a == "--item" ? o.items : o.writes).push_back(std::move(p));
    } else {
      error = "unknown argument \"" + a + "\"";
      return o;
    }
  }
  return o;
}

bool configure(vexa& control, const Options& o, std::string& error) {
  // The form gives the settings unless a server is named without one; the other options
  // change what it gave.
  bool from_form = o.form_given || !o.server;
  try {
    if (from_form) {
      Form form = load_form_file(o.form);
      FormControl* found = nullptr;
      for (auto& c : form.controls) {
        if (c.class_name == vexa::kClassName) {
          found = &c;
          break;
        }
      }
      if (!found) {
        error = o.form + ": the form holds no " + std::string(vexa::kClassName) + " control";
        return false;
      }
      control.ReadProperties(found->properties);
    } else {
      control.InitProperties();
    }
    if (o.server) control.put_svrname(*o.server);
    if (o.node) control.put_nodname(*o.node);
    if (o.rate) control.put_UpdateRate(Variant(*o.rate));
    if (o.csv) {
      // With the control's own import settings, as the CSV page leaves them.
      try {
        control.loadCSV(control.get_startRow(), control.get_columnIndex(), control.get_rowCount(),
                        control.get_delimit(), *o.csv);
      } catch (const AutomationError& e) {
        error = *o.csv + ": cannot import tag names, the file or its rows do not fit the import settings (" +
                e.what() + ", error " + std::to_string(e.number()) + ")";
        return false;
      }
    }
    for (const auto& [slot, id] : o.items) control.SetItmName(static_cast<std::int16_t>(slot), id);
  } catch (const AutomationError& e) {
    error = std::string(e.what()) + " (error " + std::to_string(e.number()) + ")";
    return false;
  }
  return true;
}

std::string describe_value(const Variant& v) {
  if (v.is_empty()) return "(empty)";
  if (v.is_null()) return "(null)";
  if (v.is_array()) {
    std::string out = "{";
    const auto& elements = v.array().elements();
    for (std::size_t i = 0; i < elements.size(); ++i) out += (i ? ", " : "") + describe_value(elements[i]);
    return out + "}";
  }
  try {
    return to_bstr(v);
  } catch (const AutomationError&) {
    return vartype_name(v.vt());
  }
}

std::string describe_quality(const Variant& q) {
  if (q.is_empty()) return "-";
  if (q.vt() == VT_BSTR) return q.bstr();
  char buf[32];
  std::snprintf(buf, sizeof buf, "Bad 0x%02X", static_cast<unsigned>(to_i4(q)));
  return buf;
}

std::string render_line(const vexa& control, long event_number) {
  std::ostringstream out;
  out << "datChange " << event_number << ":";
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) {
    std::string tag = control.GetItmName(n);
    if (tag.empty()) continue;
    out << "  [" << n << "] " << tag << " = " << describe_value(control.GetVl(n)) << " ("
        << describe_quality(control.GetQuality(n)) << ")";
  }
  return out.str();
}

std::string render_table(const vexa& control, long event_number) {
  std::ostringstream out;
  char line[512];
  std::snprintf(line, sizeof line, "VEXA32 monitor - %s on \"%s\" - data change %ld\n\n", control.get_svrname().c_str(),
                describe_value(control.nodname_variant()).c_str(), event_number);
  out << line;
  std::snprintf(line, sizeof line, "%-4s %-36s %-24s %-10s %s\n", "slot", "tag", "value", "quality", "time stamp");
  out << line;
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) {
    std::string tag = control.GetItmName(n);
    if (tag.empty()) continue;
    DATE stamp = control.GetTimeStamp(n);
    std::snprintf(line, sizeof line, "%-4d %-36s %-24s %-10s %s\n", n, tag.c_str(),
                  describe_value(control.GetVl(n)).c_str(), describe_quality(control.GetQuality(n)).c_str(),
                  stamp == 0 ? "-" : format_date(stamp).c_str());
    out << line;
  }
  return out.str();
}

}  // namespace vexa32::monitor

namespace vexa32::monitor {

std::string read_items(const vexa& control) {
  std::ostringstream out;
  try {
    auto server = opcda::create_opc_server();
    server->Connect(control.get_svrname(), control.nodname_variant());
    auto items = server->get_OPCGroups()->Add(Variant("vexa-monitor read"))->get_OPCItems();
    for (std::int16_t n = 0; n < vexa::kSlots; ++n) {
      std::string tag = control.GetItmName(n);
      if (tag.empty()) continue;
      out << "read [" << n << "] " << tag << " = ";
      try {
        auto item = items->AddItem(tag, n);
        if (!item) {
          out << "(the server does not know this item)\n";
          continue;
        }
        Variant value = item->get_Value();
        std::int32_t quality = item->get_Quality();
        char q[32];
        std::snprintf(q, sizeof q, "%s 0x%02X",
                      (quality & 0xC0) == 0xC0   ? "Good"
                      : (quality & 0xC0) == 0x40 ? "Uncertain"
                                                 : "Bad",
                      static_cast<unsigned>(quality));
        out << describe_value(value) << " (" << q << ") at "
            << format_date(item->get_TimeStamp()) << "\n";
      } catch (const AutomationError& e) {
        out << "(" << e.what() << ")\n";
      }
    }
    server->Disconnect();
  } catch (const AutomationError& e) {
    out << "read failed: " << e.what() << "\n";
  }
  return out.str();
}

}  // namespace vexa32::monitor
