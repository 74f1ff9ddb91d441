#pragma once
// The headless host: what the command line asks for, and how a control's slots are shown.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "control/vexa.h"

namespace vexa32::monitor {

struct Options {
  std::string form = "examples/Form1.json";
  bool form_given = false;
  std::optional<std::string> server, node;
  std::optional<std::string> rate;
  std::optional<std::string> csv;                   // --csv FILE: tag names imported as loadCSV does
  std::vector<std::pair<int, std::string>> items;   // --item N=ID
  std::vector<std::pair<int, std::string>> writes;  // --write N=VALUE
  double seconds = 0;                               // 0: until interrupted
  bool table = false;                               // redraw a table in place
  bool read = false;                                // --read: each tag read once from the device
  bool trust = false;                               // --trust: the UA server's certificate is trusted
  bool show_certificate = false;                    // --show-certificate: ours, and nothing else
  bool help = false;
};

// Reads the command line; a message in error when it is malformed.
Options parse_options(const std::vector<std::string>& args, std::string& error);
std::string usage();

// Gives the control its settings from the form file or the options; a message in error (and
// false) when the form file is bad or a setting is refused.
bool configure(vexa& control, const Options& options, std::string& error);

// One line per event, or the table, for the slots that have a tag name.
std::string render_line(const vexa& control, long event_number);
std::string render_table(const vexa& control, long event_number);
std::string describe_value(const Variant& value);
std::string describe_quality(const Variant& quality);

// Reads every named slot's item once from the device through a server object of its own, one
// line per slot ("read [0] ID = value (quality) at time", or the error), for servers that deliver
// no data changes.
std::string read_items(const vexa& control);

}  // namespace vexa32::monitor
