// The tag browser and the tag page.

#include <QHeaderView>
#include <QTest>
#include <algorithm>
#include <QTreeWidgetItem>

#include "opc/server_class.h"
#include "pages/opc_tag_page.h"
#include "pages/tag_dialog.h"
#include "pages_fixture.h"
#include "platform/automation/convert.h"

namespace vexa32::testing {
namespace {

using pages::TagDialog;

const QChar kSep(TagDialog::kSeparator);

class TagBrowser : public PagesTest {
 protected:
  // A dialog connected and prepared as the page does it, with server key "Server <counter>".
  std::unique_ptr<TagDialog> prepared(const std::string& prog_id, const char* node = "") {
    auto d = std::make_unique<TagDialog>();
    d->m_svrname = prog_id;
    d->m_nodname = Variant(node);
    d->StrtAddItm();
    d->Prepare();
    return d;
  }
  QStringList child_keys(TagDialog& d, const QString& key) {
    QStringList out;
    for (int i = 0; i < d.tvBranchView->children(key); ++i) out << d.tvBranchView->child_key(key, i);
    return out;
  }
  QStringList rows(TagDialog& d) {
    QStringList out;
    for (int i = 0; i < d.lvItemView->row_count(); ++i) out << d.lvItemView->row(i);
    return out;
  }
  void click(TagDialog& d, const QString& key) {
    d.tvBranchView->select(key);
    d.tvBranchView_Click();
  }
};

TEST_F(TagBrowser, TheTreeFillsOneLevelPerExpansionWithPlaceholders) {
  TagDialog::reset_server_counter_for_tests(0);
  auto d = prepared(opcda::kSimulationProgId);
  const QString root = "Server 0";
  EXPECT_EQ(d->tvBranchView->node(root)->text(0), opcda::kSimulationProgId);
  EXPECT_EQ(child_keys(*d, root), QStringList{"KEPwareDummyNode 1"});
  EXPECT_EQ(d->lvItemView->headerItem()->text(0), "ItemID");

  d->tvBranchView->node(root)->setExpanded(true);  // the tree's own Expand notification
  const QStringList first = child_keys(*d, root);
  EXPECT_EQ(first, (QStringList{root + kSep + "SimulatePLC", root + kSep + "test1", root + kSep + "Line 1.Area B",
                                root + kSep + "K"}));
  // Each branch has one placeholder of its own; Prepare left the counter at 2, each is counted up first.
  EXPECT_EQ(child_keys(*d, first[0]), QStringList{"KEPwareDummyNode 3"});
  EXPECT_EQ(child_keys(*d, first[3]), QStringList{"KEPwareDummyNode 6"});

  d->tvBranchView->node(root)->setExpanded(false);
  EXPECT_EQ(child_keys(*d, root), QStringList{"KEPwareDummyNode 7"});
  const int browsed = sim->call_count("OPCBrowser.ShowBranches");
  d->tvBranchView->node(root)->setExpanded(true);
  EXPECT_EQ(sim->call_count("OPCBrowser.ShowBranches"), browsed + 1);  // read afresh
  EXPECT_EQ(child_keys(*d, root).size(), 4);
}

TEST_F(TagBrowser, BranchesAreReachedWholeAndLeavesListedThroughTheFirstFilters) {
  auto d = prepared(opcda::kSimulationProgId);
  const QString root = d->tvBranchView->key_of(d->tvBranchView->topLevelItem(0));
  d->tvBranchView->node(root)->setExpanded(true);
  click(*d, root + kSep + "K");  // a one-character name
  EXPECT_EQ(rows(*d), (QStringList{"Level", "Pump"}));
  EXPECT_EQ(sim->last_argument("OPCBrowser.put_Filter"), Variant("*"));
  EXPECT_EQ(sim->last_argument("OPCBrowser.put_DataType"), Variant(std::int16_t{0}));
  EXPECT_EQ(sim->last_argument("OPCBrowser.put_AccessRights"), Variant(0));
  click(*d, root + kSep + "Line 1.Area B");  // blanks and a dot, moved into whole
  EXPECT_EQ(rows(*d), (QStringList{"Temperature", "Running"}));
  d->lvItemView->select_row(0);
  d->lvItemView_Click();
  EXPECT_EQ(d->ItemID->text(), "Line 1.Area B.Temperature");
  click(*d, root);
  EXPECT_EQ(rows(*d), (QStringList{"Heartbeat", "Version"}));
  // Nothing selected: nothing happens.
  d->lvItemView->clearSelection();
  d->lvItemView_Click();
  EXPECT_EQ(d->ItemID->text(), "Line 1.Area B.Temperature");
}

TEST_F(TagBrowser, TabPassesTheHiddenFiltersBy) {
  auto d = prepared(opcda::kSimulationProgId);
  d->show();
  d->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(d.get()));
  d->ItemID->setFocus();
  for (int i = 0; i < 12; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    const QString name = QApplication::focusWidget()->objectName();
    EXPECT_FALSE(name.endsWith("Filter")) << name.toStdString();
  }
  d->hide();
}

TEST_F(TagBrowser, AFlatServerListsEveryLeafAtOnce) {
  auto d = prepared(opcda::kFlatSimulationProgId);
  const QString root = d->tvBranchView->key_of(d->tvBranchView->topLevelItem(0));
  EXPECT_EQ(d->tvBranchView->children(root), 0);  // no expand button
  const QStringList listed = rows(*d);
  EXPECT_EQ(static_cast<std::size_t>(listed.size()), flat->address_space().items().size());
  click(*d, root);
  EXPECT_EQ(rows(*d), listed);
}

TEST_F(TagBrowser, NoBrowsingOrNoConnectionLeavesAnEmptyTreeWithTheColumnAndUsesUpKeys) {
  TagDialog::reset_server_counter_for_tests(0);
  auto none = prepared(opcda::kNoBrowseSimulationProgId);
  auto failed = prepared("No.Such.Server");
  auto far = prepared(opcda::kSimulationProgId, "far-away-plant");
  auto good = prepared(opcda::kSimulationProgId);
  for (TagDialog* d : {none.get(), failed.get(), far.get()}) {
    EXPECT_EQ(d->tvBranchView->topLevelItemCount(), 0);
    EXPECT_EQ(d->lvItemView->headerItem()->text(0), "ItemID");
    d->tvBranchView_Expand("Server 1");  // nothing to browse with: no harm
  }
  EXPECT_EQ(to_bstr(none->server()->GetOPCServerKey()), "Server 0");
  EXPECT_EQ(to_bstr(failed->server()->GetOPCServerKey()), "Server 1");
  EXPECT_NE(good->tvBranchView->node("Server 3"), nullptr);  // the failures used up 1 and 2
  EXPECT_EQ(TagDialog::server_counter(), 4);
}

// Every leaf, reached through the dialog's own handlers, gives an ItemID the server accepts.
TEST_F(TagBrowser, AFullWalkYieldsItemIdsTheServerAccepts) {
  auto d = prepared(opcda::kSimulationProgId);
  std::vector<std::string> ids;
  std::function<void(const QString&)> walk = [&](const QString& key) {
    d->tvBranchView->node(key)->setExpanded(true);
    click(*d, key);
    for (int i = 0; i < d->lvItemView->row_count(); ++i) {
      // The click moves the browser to this branch again before every leaf.
      click(*d, key);
      d->lvItemView->select_row(i);
      d->lvItemView_Click();
      ids.push_back(d->ItemID->text().toStdString());
    }
    for (const QString& child : child_keys(*d, key)) walk(child);
  };
  walk(d->tvBranchView->key_of(d->tvBranchView->topLevelItem(0)));
  std::vector<std::string> expected;
  for (const auto& item : sim->address_space().items()) expected.push_back(item->item_id);
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, expected);

  OPCServerClass server;
  ASSERT_EQ(server.ConnectOPCServer(opcda::kSimulationProgId, "Walk", 0, Variant("")), Variant(true));
  std::string name = "W", key;
  ASSERT_EQ(server.AddOPCGroup(name, 1000, 0, true, key), Variant(true));
  OPCGroupClass& group = *server.GetOPCServerGroupCollection().item(key);
  for (const std::string& id : ids) {
    std::string item_key;
    EXPECT_EQ(group.AddOPCItem(id, 0, 1, item_key), Variant(true)) << id;
  }
  server.DisconnectOPCServer();
}

class TagPage : public PagesTest {
 protected:
  TagPage() {
    page.Initialize();
    page.setSelectedControls({&control});
    page.SelectionChanged();
  }
  ~TagPage() override { page.Terminate(); }

  // Opens the browser for a slot and answers it with f.
  void browse(int slot, std::function<void(TagDialog&)> f) {
    answer_modal([f = std::move(f)](QWidget* w) { f(dynamic_cast<TagDialog&>(*w)); });
    page.cmdBrws[static_cast<std::size_t>(slot)]->click();
  }
  pages::OPC_Tag page;
};

TEST_F(TagPage, SixtyRowsOnThreeTabsByName) {
  EXPECT_EQ(page.SSTab1->count(), 3);
  EXPECT_EQ(page.SSTab1->tabText(1), "Itm20 - Itm39");
  QLineEdit* box = page.findChild<QLineEdit*>("txtitm37");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->parentWidget(), page.SSTab1->widget(1));
  EXPECT_EQ(page.lblitm[37]->objectName(), "lblitm17");
  EXPECT_EQ(page.lblitm[37]->property("Index"), 1);
  EXPECT_EQ(page.lblitm[37]->text(), "itm37:");
  EXPECT_EQ(page.cmdBrws[59]->property("Index"), 59);
  EXPECT_EQ(page.txtitm[1]->y() - page.txtitm[0]->y(), page.txtitm[21]->y() - page.txtitm[20]->y());
  // All 60 written, empty ones included.
  site.changes.clear();
  page.ApplyChanges();
  EXPECT_EQ(site.changes.size(), 60u);
  EXPECT_EQ(site.changes[59], "itm59");
}

TEST_F(TagPage, BrowsingFillsOnlyItsSlotAndReusesTheDialogForTheSameServer) {
  control.SetItmName(45, "SimulatePLC.Sine");
  page.SelectionChanged();
  browse(45, [](TagDialog& d) {
    EXPECT_EQ(d.ItemID->text(), "SimulatePLC.Sine");  // the slot's current text
    d.ItemID->setText("SimulatePLC.Ramp");
    d.OKButton->click();
  });
  EXPECT_EQ(page.txtitm[45]->text(), "SimulatePLC.Ramp");
  EXPECT_EQ(page.txtitm[44]->text(), "");
  EXPECT_EQ(control.GetItmName(45), "SimulatePLC.Sine");  // until the page is applied

  auto key = [&] { return to_bstr(page.frmTgDialog()->server()->GetOPCServerKey()); };
  const std::string first = key();
  browse(3, [](TagDialog& d) { d.CancelButton->click(); });
  browse(50, [](TagDialog& d) { d.OKButton->click(); });
  EXPECT_EQ(key(), first);
  EXPECT_EQ(page.txtitm[3]->text(), "");
  EXPECT_EQ(sim->connection_count(), 1u);

  // Another server on the control: a new dialog, and the old connection closed.
  control.put_svrname(opcda::kFlatSimulationProgId);
  browse(3, [](TagDialog& d) { d.CancelButton->click(); });
  EXPECT_NE(key(), first);
  EXPECT_EQ(sim->connection_count(), 0u);
  EXPECT_EQ(flat->connection_count(), 1u);
  page.Terminate();
  EXPECT_EQ(flat->connection_count(), 0u);
}

TEST_F(TagPage, AnEmptyServerNameDoesNothingAndTheCloseBoxMeansAFreshDialog) {
  control.put_svrname("");
  page.cmdBrws_Click(0);  // no dialog shown: no modal to answer
  EXPECT_FALSE(page.prepared());
  control.put_svrname(opcda::kSimulationProgId);
  browse(0, [](TagDialog& d) { d.close(); });
  const std::string closed = to_bstr(page.frmTgDialog()->server()->GetOPCServerKey());
  EXPECT_FALSE(page.frmTgDialog()->tagfrmLoad);
  EXPECT_EQ(sim->connection_count(), 0u);
  browse(0, [](TagDialog& d) {
    EXPECT_EQ(d.tvBranchView->topLevelItemCount(), 1);
    d.CancelButton->click();
  });
  EXPECT_NE(to_bstr(page.frmTgDialog()->server()->GetOPCServerKey()), closed);
}

}  // namespace
}  // namespace vexa32::testing
