// The headless host's command line and its rendering of the slots.

#include "../../apps/vexa-monitor/monitor.h"

#include <filesystem>
#include <fstream>

#include "control_fixture.h"
#include "platform/container/form_file.h"

namespace vexa32::testing {
namespace {

using monitor::Options;

TEST(MonitorOptions, ReadsTheCommandLine) {
  std::string error;
  Options o =
      monitor::parse_options({"--server", "Vexa.Simulation.1", "--node", "localhost", "--rate", "250", "--item",
                              "0=SimulatePLC.Sine", "--item", "59=K.Level", "--write", "3=12.5", "--seconds", "1.5"},
                             error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(o.server, std::optional<std::string>("Vexa.Simulation.1"));
  EXPECT_EQ(o.items.size(), 2u);
  EXPECT_EQ(o.items[1], (std::pair<int, std::string>{59, "K.Level"}));
  EXPECT_EQ(o.writes[0], (std::pair<int, std::string>{3, "12.5"}));
  EXPECT_DOUBLE_EQ(o.seconds, 1.5);
}

TEST(MonitorOptions, RejectsMalformedArgumentsSayingWhich) {
  // Each message names the argument at fault.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--item", "60=x"}, "slot 60 is not one of 0 to 59"},
      {{"--item", "70=x"}, "\"70=x\""},
      {{"--item", "x"}, "\"x\""},
      {{"--item", "-1=x"}, "\"-1=x\""},
      {{"--item", "99999999999=x"}, "\"99999999999=x\""},
      {{"--write", "=1"}, "\"=1\""},
      {{"--seconds", "soon"}, "\"soon\""},
      {{"--seconds", "-1"}, "\"-1\""},
      {{"--seconds", "inf"}, "\"inf\""},
      {{"--seconds", "nan"}, "\"nan\""},
      {{"--seconds", "1e300"}, "\"1e300\""},
      {{"--server"}, "--server needs a value"},
      {{"--bogus"}, "\"--bogus\""},
  };
  for (const auto& [args, said] : cases) {
    std::string error;
    monitor::parse_options(args, error);
    EXPECT_NE(error.find(said), std::string::npos) << args.back() << ": " << error;
  }
}

class Monitor : public ControlTest {};

TEST_F(Monitor, TheExampleFormHoldsItsStoredSettingsAndRunsOnTheSimulation) {
  Options o;
  o.form = std::string(VEXA32_SOURCE_DIR) + "/examples/Form1.json";
  o.form_given = true;
  std::string error;
  ASSERT_TRUE(monitor::configure(*control, o, error)) << error;
  EXPECT_EQ(control->get_svrname(), "KEPware.KEPServerEx.V4");
  EXPECT_EQ(control->get_UpdateRate(), Variant(std::int16_t{100}));
  EXPECT_EQ(control->GetItmName(0), "test1.cpu.SignalTags.Signal_0001B");
  for (std::int16_t n = 1; n < vexa::kSlots; ++n) EXPECT_EQ(control->GetItmName(n), "") << n;
  const Form form = load_form_file(o.form);
  std::vector<std::string> names;
  for (const auto& c : form.controls) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"vexa1", "Command1", "Command2", "Label1"}));

  // The simulation answers the ProgID the form stores.
  control->cnnec();
  pump();
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  EXPECT_EQ(control->GetVl(0).vt(), VT_BOOL);
  EXPECT_EQ(control->GetQuality(0), Variant("Good"));
  control->discnn();
}

TEST_F(Monitor, OptionsChangeWhatTheFormGave) {
  const auto csv = std::filesystem::temp_directory_path() / ("vexa32_monitor_" + std::to_string(::getpid()) + ".csv");
  std::ofstream(csv, std::ios::binary) << "Tag\r\nSimulatePLC.Counter\r\nSimulatePLC.Square\r\n";
  std::string error;
  const Options o = monitor::parse_options({"--form", std::string(VEXA32_SOURCE_DIR) + "/examples/Monitor.json",
                                            "--csv", csv.string(), "--item", "9=SimulatePLC.Ramp"},
                                           error);
  ASSERT_TRUE(monitor::configure(*control, o, error)) << error;
  EXPECT_EQ(control->get_svrname(), "KEPware.KEPServerEx.V4");
  EXPECT_EQ(control->GetItmName(0), "SimulatePLC.Counter");
  EXPECT_EQ(control->GetItmName(1), "SimulatePLC.Square");
  EXPECT_EQ(control->GetItmName(2), "SimulatePLC.Counter");  // the form's own, past the file's rows
  EXPECT_EQ(control->GetItmName(9), "SimulatePLC.Ramp");
  std::filesystem::remove(csv);
  EXPECT_FALSE(monitor::configure(*control, o, error));
  EXPECT_NE(error.find("cannot import tag names"), std::string::npos) << error;
}

TEST_F(Monitor, ABadFormFileGivesAMessageNamingIt) {
  auto path = std::filesystem::temp_directory_path() / "vexa32_bad_form.json";
  std::ofstream(path) << "{\"form\": \"F\", \"controls\": [";
  Options o;
  o.form = path.string();
  o.form_given = true;
  std::string error;
  vexa c;
  EXPECT_FALSE(monitor::configure(c, o, error));
  EXPECT_NE(error.find("vexa32_bad_form.json:1:"), std::string::npos) << error;
  std::filesystem::remove(path);
  o.form = "/nonexistent/form.json";
  EXPECT_FALSE(monitor::configure(c, o, error));
}

TEST_F(Monitor, CommandLineSettingsAndARefusedRate) {
  Options o;
  o.server = "Vexa.Simulation.1";
  o.items = {{0, "SimulatePLC.Setpoint"}, {5, "SimulatePLC.Bad"}};
  o.rate = "50";
  std::string error;
  ASSERT_TRUE(monitor::configure(*control, o, error)) << error;
  control->cnnec();
  pump();
  std::string line = monitor::render_line(*control, 1);
  EXPECT_NE(line.find("[0] SimulatePLC.Setpoint = 50 (Good)"), std::string::npos) << line;
  EXPECT_NE(line.find("[5] SimulatePLC.Bad = -1 (Bad 0x18)"), std::string::npos) << line;
  std::string table = monitor::render_table(*control, 1);
  EXPECT_NE(table.find("SimulatePLC.Setpoint"), std::string::npos);
  control->discnn();
  o.rate = "fast";
  EXPECT_FALSE(monitor::configure(*control, o, error));
  EXPECT_NE(error.find("13"), std::string::npos) << error;
}

TEST(MonitorRendering, DescribesValuesOfEveryKind) {
  EXPECT_EQ(monitor::describe_value(Variant()), "(empty)");
  EXPECT_EQ(monitor::describe_value(Variant::null()), "(null)");
  EXPECT_EQ(monitor::describe_value(make_array(VT_I2, {Variant(1), Variant(2)})), "{1, 2}");
  EXPECT_EQ(monitor::describe_value(Variant::error(5)), "VT_ERROR");
  EXPECT_EQ(monitor::describe_quality(Variant(24)), "Bad 0x18");
  EXPECT_EQ(monitor::describe_quality(Variant("Good")), "Good");
}

}  // namespace
}  // namespace vexa32::testing
