// Browsing the simulation's address space.

#include <algorithm>
#include <set>

#include "sim_fixture.h"
#include "test_names.h"

namespace vexa32::opcda::testing {
namespace {

std::vector<std::string> listed(OPCBrowser& b) {
  std::vector<std::string> out;
  for (std::int32_t i = 1; i <= b.get_Count(); ++i) out.push_back(b.Item(Variant(i)));
  return out;
}

class Browser : public SimTest {
 protected:
  void SetUp() override {
    server = connect();
    browser = server->CreateBrowser();
    ASSERT_NE(browser, nullptr);
  }

  void walk(std::set<std::string>& found) {
    browser->put_Filter("");
    browser->ShowBranches();
    auto branches = listed(*browser);
    browser->ShowLeafs();
    for (const auto& leaf : listed(*browser)) found.insert(browser->GetItemID(leaf));
    for (const auto& branch : branches) {
      browser->MoveDown(branch);
      walk(found);
      browser->MoveUp();
    }
  }

  std::shared_ptr<OPCServer> server;
  std::shared_ptr<OPCBrowser> browser;
};

TEST_F(Browser, AWalkFindsEveryItemAndNoOther) {
  EXPECT_EQ(browser->get_Organization(), OPCHierarchical);
  std::set<std::string> found;
  walk(found);
  std::set<std::string> all;
  for (const auto& item : sim->address_space().items()) all.insert(item->item_id);
  EXPECT_EQ(found, all);
  EXPECT_TRUE(found.count("SimulatePLC.Sine"));
  EXPECT_TRUE(found.count("test1.cpu.SignalTags.Signal_0001B"));
  EXPECT_TRUE(found.count("Line 1.Area B.Temperature"));
}

TEST_F(Browser, BranchesWithBlanksDotsAndOneCharacterAreMovedIntoWhole) {
  browser->ShowBranches();
  auto roots = listed(*browser);
  EXPECT_NE(std::find(roots.begin(), roots.end(), "Line 1.Area B"), roots.end());
  EXPECT_NE(std::find(roots.begin(), roots.end(), "K"), roots.end());
  browser->MoveDown("K");
  browser->ShowLeafs();
  EXPECT_EQ(listed(*browser), (std::vector<std::string>{"Level", "Pump"}));
  EXPECT_EQ(browser->GetItemID("Level"), "K.Level");
  EXPECT_EQ(browser->get_CurrentPosition(), "K");
  browser->MoveToRoot();
  browser->ShowLeafs();
  EXPECT_EQ(listed(*browser), (std::vector<std::string>{"Heartbeat", "Version"}));
}

struct FilterCase {
  const char* label;
  std::string name_filter;
  std::int16_t data_type;
  std::int32_t access;
  std::vector<std::string> expected;
};

class BrowserFilters : public Browser, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(BrowserFilters, ListTheRightLeaves) {
  const FilterCase& c = GetParam();
  browser->MoveDown("SimulatePLC");
  browser->put_Filter(c.name_filter);
  browser->put_DataType(c.data_type);
  browser->put_AccessRights(c.access);
  browser->ShowLeafs(Variant::missing());
  EXPECT_EQ(listed(*browser), c.expected) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrowserFilters,
    ::testing::Values(FilterCase{"star",
                                 "*",
                                 0,
                                 0,
                                 {"Sine", "Ramp", "Random", "Counter", "Square", "Setpoint", "Text", "ReadOnly",
                                  "WriteOnly", "Date", "Uncertain", "Bad"}},
                      FilterCase{"prefix", "S*", 0, 0, {"Sine", "Square", "Setpoint"}},
                      FilterCase{"question marks", "????", 0, 0, {"Sine", "Ramp", "Text", "Date"}},
                      FilterCase{"case does not matter", "*only", 0, 0, {"ReadOnly", "WriteOnly"}},
                      FilterCase{"double type", "", VT_R8, 0, {"Sine", "Ramp", "Setpoint", "Uncertain", "Bad"}},
                      FilterCase{"boolean type", "", VT_BOOL, 0, {"Square"}},
                      FilterCase{"readable",
                                 "",
                                 0,
                                 1,
                                 {"Sine", "Ramp", "Random", "Counter", "Square", "Setpoint", "Text", "ReadOnly", "Date",
                                  "Uncertain", "Bad"}},
                      FilterCase{"writable", "", 0, 2, {"Setpoint", "Text", "WriteOnly"}},
                      FilterCase{"read and write", "", 0, 3, {"Setpoint", "Text"}},
                      FilterCase{"type and name together", "S*", VT_R8, 3, {"Setpoint"}},
                      FilterCase{"nothing matches", "zzz*", 0, 0, {}}),
    ::vexa32::testing::LabelName());

TEST_F(Browser, FiltersStayInForceUntilSetAgain) {
  browser->put_Filter("S*");
  browser->ShowBranches();
  EXPECT_EQ(listed(*browser), std::vector<std::string>{"SimulatePLC"});
  browser->MoveDown("SimulatePLC");
  browser->ShowBranches();
  EXPECT_TRUE(listed(*browser).empty());  // "Arrays" and "Types" do not match S*
  browser->put_Filter("");
  browser->ShowBranches();
  EXPECT_EQ(listed(*browser), (std::vector<std::string>{"Arrays", "Types"}));
}

TEST_F(Browser, ArrayTypesSelectTheArrayLeaves) {
  browser->MoveDown("SimulatePLC");
  browser->MoveDown("Arrays");
  for (auto [type, name] : std::vector<std::pair<int, std::string>>{
           {8209, "ByteArray"}, {8194, "ShortArray"}, {8195, "LongArray"}, {8196, "FloatArray"}}) {
    browser->put_DataType(static_cast<std::int16_t>(type));
    browser->ShowLeafs();
    EXPECT_EQ(listed(*browser), std::vector<std::string>{name});
  }
}

TEST_F(Browser, FlatListingGivesItemIdsBelowThePosition) {
  browser->MoveDown("test1");
  browser->ShowLeafs(Variant(true));
  EXPECT_EQ(listed(*browser),
            (std::vector<std::string>{"test1.cpu.SignalTags.Signal_0001B", "test1.cpu.SignalTags.Signal_0002W",
                                      "test1.cpu.SignalTags.Signal_0003R", "test1.cpu.SignalTags.Signal_0004S"}));
}

TEST_F(Browser, BadMovesAndIndexesFail) {
  EXPECT_THROW(browser->MoveUp(), AutomationError);
  EXPECT_THROW(browser->MoveDown("Nowhere"), AutomationError);
  EXPECT_THROW(browser->MoveDown("Heartbeat"), AutomationError);  // a leaf is no branch
  browser->ShowBranches();
  EXPECT_THROW(browser->Item(Variant(0)), AutomationError);
  EXPECT_THROW(browser->Item(Variant(browser->get_Count() + 1)), AutomationError);
  EXPECT_THROW(browser->GetItemID("Nope"), AutomationError);
  EXPECT_THROW(browser->put_AccessRights(9), AutomationError);
}

TEST_F(Browser, FlatServerListsEveryItemAtOnce) {
  ScopedSimulation flat(kFlatSimulationProgId, SimulationOptions{OPCFlat, true, "flat"});
  auto b = connect(kFlatSimulationProgId)->CreateBrowser();
  EXPECT_EQ(b->get_Organization(), OPCFlat);
  b->ShowBranches();
  EXPECT_EQ(b->get_Count(), 0);
  b->ShowLeafs(Variant(false));
  auto names = listed(*b);
  std::set<std::string> all;
  for (const auto& item : flat->address_space().items()) all.insert(item->item_id);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), all);
  for (const auto& n : names) EXPECT_EQ(b->GetItemID(n), n);
  EXPECT_THROW(b->MoveDown("SimulatePLC"), AutomationError);
}

}  // namespace
}  // namespace vexa32::opcda::testing
