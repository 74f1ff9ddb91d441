// The browser wrapper, driven in the orders the tag browser uses.

#include <set>

#include "wrapper_fixture.h"

namespace vexa32::testing {
namespace {

class BrowserWrapper : public WrapperTest {
 protected:
  std::shared_ptr<OPCBrowserClass> browse(const char* prog_id) {
    EXPECT_EQ(server->ConnectOPCServer(prog_id, "Server 0", 0, Variant("")), Variant(true));
    std::shared_ptr<OPCBrowserClass> b;
    EXPECT_EQ(server->GetServerBrowseObject(b), Variant(true));
    return b;
  }

  std::vector<std::string> names(OPCBrowserClass& b) {
    std::vector<std::string> out;
    const std::int32_t count = to_i4(b.GetItemCount());
    for (std::int32_t i = 1; i <= count; ++i) {
      std::string name;
      EXPECT_EQ(b.GetItemName(name, Variant(i)), Variant(true));
      out.push_back(name);
    }
    return out;
  }

  // Positions on a branch as the tag browser does: to the root, then down the path.
  void move_to(OPCBrowserClass& b, const std::vector<std::string>& path) {
    EXPECT_EQ(b.MoveToRoot(), Variant(true));
    for (const auto& p : path) EXPECT_EQ(b.MoveDown(p), Variant(true)) << p;
  }

  void walk(OPCBrowserClass& b, std::vector<std::string> path, std::set<std::string>& found, int& leaves) {
    move_to(b, path);
    b.SetFilter("");
    b.ShowBranches();
    auto branches = names(b);
    b.SetFilter("*");
    b.SetDataTypeFilter(0);
    b.SetAccessFilter(0);
    b.ShowLeafs();
    for (const auto& leaf : names(b)) {
      found.insert(b.GetItemID(leaf).bstr());
      ++leaves;
    }
    for (const auto& branch : branches) {
      auto child = path;
      child.push_back(branch);
      walk(b, child, found, leaves);
    }
  }
};

TEST_F(BrowserWrapper, AWalkOfTheHierarchicalServerFindsEveryItemAndNoOther) {
  auto b = browse(opcda::kSimulationProgId);
  ASSERT_NE(b, nullptr);
  std::int32_t organization = 0;
  EXPECT_EQ(b->GetBrowserOrganization(organization), Variant(true));
  EXPECT_EQ(organization, opcda::OPCHierarchical);
  std::set<std::string> found;
  int leaves = 0;
  walk(*b, {}, found, leaves);
  std::set<std::string> all;
  for (const auto& item : sim->address_space().items()) all.insert(item->item_id);
  EXPECT_EQ(found, all);
  EXPECT_EQ(static_cast<std::size_t>(leaves), all.size());  // none twice
}

TEST_F(BrowserWrapper, TheFlatServerListsEveryItemAtOnce) {
  opcda::ScopedSimulation flat(opcda::kFlatSimulationProgId, opcda::SimulationOptions{opcda::OPCFlat, true, "flat"});
  auto b = browse(opcda::kFlatSimulationProgId);
  std::int32_t organization = 0;
  b->GetBrowserOrganization(organization);
  EXPECT_EQ(organization, opcda::OPCFlat);
  EXPECT_EQ(b->ShowLeafs(Variant(false)), Variant(true));
  std::set<std::string> found;
  for (const auto& n : names(*b)) found.insert(b->GetItemID(n).bstr());
  std::set<std::string> all;
  for (const auto& item : flat->address_space().items()) all.insert(item->item_id);
  EXPECT_EQ(found, all);
}

TEST_F(BrowserWrapper, ShowLeafsPassesModeThroughUnchanged) {
  auto b = browse(opcda::kSimulationProgId);
  b->ShowLeafs();
  EXPECT_TRUE(sim->last_argument("OPCBrowser.ShowLeafs").is_missing());
  b->ShowLeafs(Variant(false));
  EXPECT_EQ(sim->last_argument("OPCBrowser.ShowLeafs"), Variant(false));
  b->ShowLeafs(Variant(true));
  EXPECT_EQ(sim->last_argument("OPCBrowser.ShowLeafs"), Variant(true));
}

TEST_F(BrowserWrapper, RefusalsGiveTheirFailureValues) {
  auto b = browse(opcda::kSimulationProgId);
  b->ShowBranches();
  sim->fail_next("OPCBrowser.get_Count", hr::E_FAIL);
  EXPECT_EQ(b->GetItemCount(), Variant(std::int16_t{0}));  // a loop to the count runs no time
  EXPECT_EQ(b->GetItemCount(), Variant(4));
  EXPECT_EQ(b->GetItemID("Nope"), Variant(std::string()));
  std::string name = "kept";
  EXPECT_EQ(b->GetItemName(name, Variant(99)), Variant(false));
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(b->MoveUp(), Variant(false));
  EXPECT_EQ(b->MoveDown("Nowhere"), Variant(false));
  EXPECT_EQ(b->SetAccessFilter(42), Variant(false));
  sim->fail_next("OPCBrowser.ShowBranches", hr::E_FAIL);
  EXPECT_EQ(b->ShowBranches(), Variant(false));
  EXPECT_TRUE(box->shown.empty());  // never shown
}

TEST_F(BrowserWrapper, AOneCharacterBranchListsItsOwnLeaves) {
  auto b = browse(opcda::kSimulationProgId);
  move_to(*b, {"K"});
  b->SetFilter("*");
  b->ShowLeafs();
  EXPECT_EQ(names(*b), (std::vector<std::string>{"Level", "Pump"}));
  EXPECT_EQ(b->GetItemID("Pump"), Variant("K.Pump"));
  move_to(*b, {"Line 1.Area B"});
  b->ShowLeafs();
  EXPECT_EQ(b->GetItemID("Running"), Variant("Line 1.Area B.Running"));
}

TEST_F(BrowserWrapper, AnUnsetBrowserFailsQuietly) {
  OPCBrowserClass b;
  std::int32_t organization = 9;
  EXPECT_EQ(b.GetBrowserOrganization(organization), Variant(false));
  EXPECT_EQ(organization, 9);
  EXPECT_EQ(b.GetItemCount(), Variant(std::int16_t{0}));
  EXPECT_EQ(b.SetFilter("*"), Variant(false));
  EXPECT_EQ(b.SetBrowserObject(nullptr), Variant());
}

}  // namespace
}  // namespace vexa32::testing
