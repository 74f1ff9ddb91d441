// Item slots and the automation interface.

#include <fstream>

#include "control_fixture.h"
#include "platform/automation/convert.h"
#include "platform/container/services.h"

namespace vexa32::testing {
namespace {

class Slots : public ControlTest {};

TEST_F(Slots, ANewControlAfterInitPropertiesHasTheDefaults) {
  vexa c;
  c.InitProperties();
  EXPECT_EQ(c.GetVl(0), Variant());
  EXPECT_EQ(c.GetQuality(0), Variant());
  EXPECT_EQ(c.GetTimeStamp(0), 0.0);
  EXPECT_EQ(c.GetItmName(0), "");
  EXPECT_EQ(c.get("itm0"), Variant(""));
  EXPECT_EQ(c.get("UpdateRate"), Variant(std::int16_t{1000}));
  EXPECT_EQ(c.get("delimit"), Variant(","));
  EXPECT_EQ(c.get("startRow"), Variant(std::int16_t{1}));
  EXPECT_EQ(c.get("columnIndex"), Variant(std::int16_t{0}));
  EXPECT_EQ(c.get("rowCount"), Variant(std::int16_t{60}));
  EXPECT_EQ(c.get("IsConnect"), Variant(false));
}

TEST_F(Slots, BeforeAnyLoadMembersAreEmptyAndZero) {
  vexa c;
  EXPECT_EQ(c.get_UpdateRate(), Variant(std::int16_t{0}));
  EXPECT_EQ(c.get_delimit(), "");
  EXPECT_EQ(c.get_rowCount(), 0);
  EXPECT_EQ(c.get_nodname(), "");
}

struct OutOfRange {
  const char* label;
  std::int16_t index;
};

class SlotIndexes : public Slots, public ::testing::WithParamInterface<OutOfRange> {};

TEST_P(SlotIndexes, OutsideTheSlotsGiveNeutralResultsAndChangeNothing) {
  std::int16_t i = GetParam().index;
  EXPECT_EQ(control->GetVl(i), Variant::null());
  EXPECT_EQ(control->GetQuality(i), Variant::null());
  EXPECT_EQ(control->GetItmName(i), "");
  control->SetItmName(i, "x");
  EXPECT_TRUE(site.changes.empty());
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) EXPECT_EQ(control->GetItmName(n), "");
  try {
    control->GetTimeStamp(i);
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 94);
  }
  // Through late binding the same answers.
  EXPECT_EQ(control->call("GetVl", {Variant(i)}), Variant::null());
  EXPECT_THROW(control->call("GetTimeStamp", {Variant(i)}), AutomationError);
}

INSTANTIATE_TEST_SUITE_P(Cases, SlotIndexes,
                         ::testing::Values(OutOfRange{"sixty", 60}, OutOfRange{"minus one", -1},
                                           OutOfRange{"largest", 32767}, OutOfRange{"smallest", -32768}),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(Slots, DirectSlotAccessorsRefuseOtherSlots) {
  for (int bad : {-1, 60, 1000}) {
    EXPECT_THROW(control->get_itm(bad), AutomationError);
    EXPECT_THROW(control->put_itm(bad, "x"), AutomationError);
    EXPECT_THROW(control->get_vl(bad), AutomationError);
  }
  EXPECT_TRUE(site.changes.empty());
}

TEST_F(Slots, SetItmNameIsAPutOfTheSlotsProperty) {
  control->SetItmName(29, "x");
  EXPECT_EQ(control->get("itm29"), Variant("x"));
  EXPECT_EQ(control->GetItmName(29), "x");
  control->put("itm59", Variant("last"));
  EXPECT_EQ(control->GetItmName(59), "last");
  EXPECT_EQ(site.changes, (std::vector<std::string>{"itm29", "itm59"}));
}

TEST_F(Slots, EveryPutReportsItsOwnName) {
  struct Put {
    const char* name;
    Variant value;
  } const puts[] = {{"srcFile", Variant("a.csv")}, {"delimit", Variant(";")}, {"rowCount", Variant(5)},
                    {"columnIndex", Variant(2)},   {"startRow", Variant(0)},  {"svrname", Variant("S")},
                    {"nodname", Variant("n")},     {"itm0", Variant("t")},    {"itm37", Variant("t")},
                    {"UpdateRate", Variant(250)}};
  std::vector<std::string> expected;
  for (const auto& p : puts) {
    control->put(p.name, p.value);
    expected.emplace_back(p.name);
  }
  control->put("IsConnect", Variant(false));  // reports nothing
  EXPECT_EQ(site.changes, expected);
}

TEST_F(Slots, AFailingNotificationFailsThePutAfterStoring) {
  site.fail_next("svrname", 380);
  try {
    control->put("svrname", Variant("Stored.Anyway"));
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 380);
  }
  EXPECT_EQ(control->get_svrname(), "Stored.Anyway");
}

struct RateCase {
  const char* label;
  Variant put;
  int stored;  // when error is 0
  int error;
};

class UpdateRate : public Slots, public ::testing::WithParamInterface<RateCase> {};

TEST_P(UpdateRate, ConvertsAsTheRuntimeDoes) {
  const RateCase& c = GetParam();
  site.changes.clear();
  if (c.error == 0) {
    control->put("UpdateRate", c.put);
    EXPECT_EQ(control->get("UpdateRate"), Variant(static_cast<std::int16_t>(c.stored)));
    EXPECT_EQ(site.changes, std::vector<std::string>{"UpdateRate"});
  } else {
    try {
      control->put("UpdateRate", c.put);
      FAIL();
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), c.error);
    }
    EXPECT_EQ(control->get("UpdateRate"), Variant(std::int16_t{100}));
    EXPECT_TRUE(site.changes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateRate,
    ::testing::Values(RateCase{"text", Variant("250"), 250, 0}, RateCase{"half down", Variant(2.5), 2, 0},
                      RateCase{"half up", Variant(3.5), 4, 0}, RateCase{"zero", Variant(0), 0, 0},
                      RateCase{"negative", Variant(-5), -5, 0}, RateCase{"overflow", Variant(40000), -99999, 6},
                      RateCase{"letters", Variant("fast"), -99999, 13}, RateCase{"null", Variant::null(), -99999, 94}),
    [](const auto& info) { return std::to_string(info.index); });

TEST_F(Slots, WritingIsConnectChangesOnlyTheFlag) {
  control->put("IsConnect", Variant(true));
  EXPECT_EQ(control->IsConnect, VARIANT_TRUE);
  EXPECT_EQ(sim->connection_count(), 0u);
  EXPECT_TRUE(site.changes.empty());
  // opcWrt now takes the connected branch, finds no group and says false.
  EXPECT_EQ(control->opcWrt(0, Variant(1)), VARIANT_FALSE);
  control->IsConnect = VARIANT_FALSE;
}

// One line a member, in interface order: DISPID, name, kind with its types, flags. A property's get
// and put share a line.
std::vector<std::string> describe_interface(const TypeInfo& ti) {
  auto type = [](VarType vt) { return vartype_name(vt).substr(3); };
  std::vector<std::string> lines;
  const auto& members = ti.members();
  for (std::size_t i = 0; i < members.size(); ++i) {
    const MemberInfo& m = members[i];
    std::string line = std::to_string(m.dispid) + " " + m.name + " ";
    if (m.kind == InvokeKind::Method) {
      std::string params;
      for (const auto& p : m.params) params += (params.empty() ? "" : ", ") + type(p.type) + " " + p.name;
      line += "method(" + params + ")" + (m.result == VT_EMPTY ? "" : " " + type(m.result));
    } else if (m.kind == InvokeKind::PropertyGet && i + 1 < members.size() && members[i + 1].name == m.name &&
               members[i + 1].kind == InvokeKind::PropertyPut) {
      line += "get put " + type(m.result);
      ++i;
    } else {
      line += m.kind == InvokeKind::PropertyGet ? "get " + type(m.result) : "put " + type(m.params[0].type);
    }
    if (m.flags) line += " flags " + std::to_string(m.flags);
    lines.push_back(line);
  }
  return lines;
}

TEST_F(Slots, TheInterfaceMatchesItsGoldenTable) {
  std::ifstream golden(std::string(VEXA32_SOURCE_DIR) + "/tests/control/golden/vexa_interface.txt");
  std::vector<std::string> expected;
  for (std::string line; std::getline(golden, line);) expected.push_back(line);
  ASSERT_EQ(expected.size(), 140u);
  const std::vector<std::string> got = describe_interface(control->type_info());
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]);
  // vl members are read-only.
  EXPECT_THROW(control->put("vl5", Variant(1)), AutomationError);
  ASSERT_EQ(vexa::source_interface().members().size(), 1u);
  EXPECT_EQ(vexa::source_interface().members()[0].name, "datChange");
  EXPECT_EQ(vexa::source_interface().members()[0].dispid, 1);
}

TEST_F(Slots, OnlyVl0ToVl3AreHiddenFromPropertyBrowsers) {
  auto listed = control->type_info().browsable_properties();
  auto has = [&](const std::string& n) { return std::find(listed.begin(), listed.end(), n) != listed.end(); };
  for (const char* hidden : {"vl0", "vl1", "vl2", "vl3"}) EXPECT_FALSE(has(hidden)) << hidden;
  for (const char* shown : {"vl4", "vl59", "itm0", "svrname", "UpdateRate", "IsConnect"})
    EXPECT_TRUE(has(shown)) << shown;
  for (const auto& m : control->type_info().members()) {
    bool flagged = m.flags != 0;
    bool expected = m.name == "vl0" || m.name == "vl1" || m.name == "vl2" || m.name == "vl3";
    EXPECT_EQ(flagged, expected) << m.name;
  }
}

TEST_F(Slots, ImageClickShowsTheCreditAndBackgroundClickAsksForTheAboutBox) {
  auto box = std::make_shared<RecordingMessageBox>();
  ScopedServices services(box);
  control->Image1_Click();
  ASSERT_EQ(box->shown.size(), 1u);
  EXPECT_EQ(box->shown[0].title, "VEXA32");
  EXPECT_NE(box->shown[0].text.find("VEXA32"), std::string::npos);
  EXPECT_EQ(box->shown[0].text.find('\n'), std::string::npos);
  control->UserControl_Click();
  EXPECT_EQ(site.about_requests, 1);
}

}  // namespace
}  // namespace vexa32::testing
