// The settings in the container's property bag and in form files.

#include <cmath>

#include "control_fixture.h"
#include "platform/container/form_file.h"

namespace vexa32::testing {
namespace {

class Persistence : public ControlTest {};

struct Settings {
  Variant update_rate, svrname, nodname;
  std::vector<std::string> itm;
  Variant start_row, column_index, row_count, delimit, src_file;
};

Settings settings_of(vexa& c) {
  Settings s{
      c.get_UpdateRate(),        Variant(c.get_svrname()),     c.nodname_variant(),       {},
      Variant(c.get_startRow()), Variant(c.get_columnIndex()), Variant(c.get_rowCount()), Variant(c.get_delimit()),
      Variant(c.get_srcFile())};
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) s.itm.push_back(c.GetItmName(n));
  return s;
}

void expect_same(const Settings& a, const Settings& b) {
  EXPECT_EQ(a.update_rate, b.update_rate);
  EXPECT_EQ(a.svrname, b.svrname);
  EXPECT_EQ(a.nodname, b.nodname) << a.nodname.debug_string() << " vs " << b.nodname.debug_string();
  EXPECT_EQ(a.itm, b.itm);
  EXPECT_EQ(a.start_row, b.start_row);
  EXPECT_EQ(a.column_index, b.column_index);
  EXPECT_EQ(a.row_count, b.row_count);
  EXPECT_EQ(a.delimit, b.delimit);
  EXPECT_EQ(a.src_file, b.src_file);
}

TEST_F(Persistence, AnEmptyBagGivesTheInitPropertiesState) {
  vexa fresh, loaded;
  fresh.InitProperties();
  MemoryPropertyBag bag;
  loaded.ReadProperties(bag);
  expect_same(settings_of(loaded), settings_of(fresh));
  EXPECT_EQ(loaded.nodname_variant(), Variant(""));
}

TEST_F(Persistence, TheExampleFormsThreeKeysLoadWithDefaultsForTheRest) {
  MemoryPropertyBag bag;
  bag.set("svrname", Variant("KEPware.KEPServerEx.V4"));
  bag.set("UpdateRate", Variant(std::int16_t{100}));
  bag.set("itm0", Variant("test1.cpu.SignalTags.Signal_0001B"));
  vexa c;
  c.SetClientSite(&site);
  c.ReadProperties(bag);
  EXPECT_EQ(c.get_svrname(), "KEPware.KEPServerEx.V4");
  EXPECT_EQ(c.get_UpdateRate(), Variant(std::int16_t{100}));
  EXPECT_EQ(c.GetItmName(0), "test1.cpu.SignalTags.Signal_0001B");
  EXPECT_EQ(c.GetItmName(1), "");
  EXPECT_EQ(c.get_delimit(), ",");
  EXPECT_EQ(c.get_rowCount(), 60);
  EXPECT_TRUE(site.changes.empty());  // loading notifies nothing
  EXPECT_EQ(c.IsConnect, VARIANT_FALSE);
}

TEST_F(Persistence, ReadOrderIsUpdateRateFirst) {
  MemoryPropertyBag bag;
  vexa c;
  c.ReadProperties(bag);
  ASSERT_EQ(bag.reads.size(), 68u);
  EXPECT_EQ(bag.reads[0], "UpdateRate");
  EXPECT_EQ(bag.reads[1], "svrname");
  EXPECT_EQ(bag.reads[2], "nodname");
  EXPECT_EQ(bag.reads[3], "itm0");
  EXPECT_EQ(bag.reads[62], "itm59");
  EXPECT_EQ(std::vector<std::string>(bag.reads.begin() + 63, bag.reads.end()),
            (std::vector<std::string>{"startRow", "columnIndex", "rowCount", "delimit", "srcFile"}));
}

TEST_F(Persistence, WriteOrderHasUpdateRateThird) {
  MemoryPropertyBag bag;
  control->WriteProperties(bag);
  ASSERT_EQ(bag.writes.size(), 68u);
  EXPECT_EQ(std::vector<std::string>(bag.writes.begin(), bag.writes.begin() + 4),
            (std::vector<std::string>{"svrname", "nodname", "UpdateRate", "itm0"}));
  EXPECT_EQ(bag.writes.back(), "srcFile");
  for (const auto& key : bag.writes) EXPECT_NE(key.rfind("vl", 0), 0u) << key;
}

TEST_F(Persistence, AnOutOfRangeRateFailsAtTheFirstKey) {
  MemoryPropertyBag bag;
  bag.set("UpdateRate", Variant(40000));
  bag.set("svrname", Variant("never.read"));
  vexa c;
  try {
    c.ReadProperties(bag);
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 6);
  }
  EXPECT_EQ(bag.reads, std::vector<std::string>{"UpdateRate"});
  EXPECT_EQ(c.get_svrname(), "");
}

TEST_F(Persistence, ANullTagStopsTheLoadAtThatKey) {
  MemoryPropertyBag bag;
  for (int n = 0; n < 10; ++n) bag.set("itm" + std::to_string(n), Variant("new" + std::to_string(n)));
  bag.set("itm5", Variant::null());
  bag.set("delimit", Variant(";"));
  vexa c;
  c.InitProperties();
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) c.SetItmName(n, "old");
  c.put_delimit("|");
  try {
    c.ReadProperties(bag);
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.number(), 94);
  }
  for (std::int16_t n = 0; n < 5; ++n) EXPECT_EQ(c.GetItmName(n), "new" + std::to_string(n));
  for (std::int16_t n = 5; n < vexa::kSlots; ++n) EXPECT_EQ(c.GetItmName(n), "old");
  EXPECT_EQ(c.get_delimit(), "|");
}

TEST_F(Persistence, AFailingBagReachesTheContainer) {
  MemoryPropertyBag bag;
  bag.fail_next("itm30");
  EXPECT_THROW(control->WriteProperties(bag), AutomationError);
  EXPECT_EQ(bag.writes.back(), "itm30");
}

TEST_F(Persistence, ValuesAreStoredAsReadWithoutValidation) {
  MemoryPropertyBag bag;
  bag.set("rowCount", Variant("-7"));  // a number stored as text is accepted
  bag.set("UpdateRate", Variant(0));
  bag.set("delimit", Variant(""));
  bag.set("itm3", Variant(42));  // a number under a text key becomes its text
  bag.set("vl3", Variant(99));   // ignored
  vexa c;
  c.ReadProperties(bag);
  EXPECT_EQ(c.get_rowCount(), -7);
  EXPECT_EQ(c.get_UpdateRate(), Variant(std::int16_t{0}));
  EXPECT_EQ(c.get_delimit(), "");
  EXPECT_EQ(c.GetItmName(3), "42");
  EXPECT_EQ(c.GetVl(3), Variant());
}

TEST_F(Persistence, SavingAndReloadingGivesIdenticalSettings) {
  const std::vector<Variant> nodes = {Variant(""),     Variant("plc-7"), Variant(5),   Variant::date(46363.5),
                                      Variant::null(), Variant(),        Variant(2.5), Variant(true)};
  for (const Variant& node : nodes) {
    vexa a;
    a.InitProperties();
    a.put_svrname("Vexa.Simulation.1");
    a.put_UpdateRate(Variant(-250));
    for (std::int16_t n = 0; n < vexa::kSlots; n += 7) a.SetItmName(n, "tag" + std::to_string(n));
    a.put_startRow(-3);
    a.put_columnIndex(2);
    a.put_rowCount(61);
    a.put_delimit(node.is_null() ? "" : (node.vt() == VT_I4 ? "::" : ";"));  // several, empty and one character
    a.put_srcFile("/tmp/tags.csv");
    MemoryPropertyBag direct;
    a.WriteProperties(direct);
    // A node of any variant type: set by a load, as a container would.
    direct.set("nodname", node);
    a.ReadProperties(direct);

    Form form;
    form.name = "F";
    a.WriteProperties(form.add(vexa::kClassName, "vexa1").properties);
    Form back = parse_form(serialize_form(form), "F.json");
    vexa b;
    b.ReadProperties(back.controls[0].properties);
    expect_same(settings_of(b), settings_of(a));
  }
}

TEST_F(Persistence, AFormHoldsOnlyWhatDiffersFromTheDefaults) {
  vexa c;
  c.InitProperties();
  c.put_svrname("KEPware.KEPServerEx.V4");
  c.put_UpdateRate(Variant(100));
  c.SetItmName(0, "test1.cpu.SignalTags.Signal_0001B");
  MemoryPropertyBag bag;
  c.WriteProperties(bag);
  std::vector<std::string> keys;
  for (const auto& [k, v] : bag.entries()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"svrname", "updaterate", "itm0"}));
  EXPECT_EQ(*bag.find("updaterate"), Variant(std::int16_t{100}));
}

}  // namespace
}  // namespace vexa32::testing
