// The property frame, the server page and the server list.

#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "pages/load_csv_page.h"
#include "pages/opc_server_page.h"
#include "pages/opc_tag_page.h"
#include "pages/property_pages.h"
#include "pages/svr_dialog.h"
#include "pages_fixture.h"
#include "platform/qt/qt_services.h"
#include "test_names.h"

namespace vexa32::testing {
namespace {

using pages::OPC_Server;
using pages::SvrDialog;

class ServerPage : public PagesTest {
 protected:
  ServerPage() {
    page.setSelectedControls({&control});
    page.SelectionChanged();
  }
  OPC_Server page;
};

TEST_F(ServerPage, ReadsAndAppliesInItsOrder) {
  control.put_nodname("localhost");
  control.put_UpdateRate(Variant(500));
  page.setChanged(false);
  page.SelectionChanged();
  EXPECT_EQ(page.txtUpdateRate->text(), "500");
  EXPECT_EQ(page.txtnodname->text(), "localhost");
  EXPECT_EQ(page.txtsvrname->text(), opcda::kSimulationProgId);
  EXPECT_TRUE(page.Changed());  // the page's own fills count as changes

  site.changes.clear();
  page.txtUpdateRate->setText("250");
  page.ApplyChanges();
  EXPECT_EQ(control.get_UpdateRate(), Variant(std::int16_t{250}));
  EXPECT_EQ(site.changes, (std::vector<std::string>{"UpdateRate", "nodname", "svrname"}));

  // Letters in the rate stop the apply before node and server.
  site.changes.clear();
  page.txtUpdateRate->setText("fast");
  page.txtnodname->setText("plant");
  page.txtsvrname->setText("Other.Server");
  try {
    page.ApplyChanges();
    FAIL();
  } catch (const qt::PropertyError& e) {
    EXPECT_EQ(e.property(), "UpdateRate");
    EXPECT_EQ(e.number(), 13);
  }
  EXPECT_TRUE(site.changes.empty());
  EXPECT_EQ(control.get_svrname(), opcda::kSimulationProgId);
}

struct ListCase {
  const char* label;
  std::function<void(SvrDialog&)> act;  // what the developer does in the open dialog
  QString expected;                      // txtsvrname afterwards
};

class ServerList : public ServerPage, public ::testing::WithParamInterface<ListCase> {};

// Through the real click and exec: preset "Preset.Server", the list from the registry.
TEST_P(ServerList, HandsBackWhatTheDeveloperChose) {
  page.txtsvrname->setText("Preset.Server");
  answer_modal([this](QWidget* w) {
    auto* dialog = dynamic_cast<SvrDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->SelectedOPCServer->text(), "Preset.Server");
    EXPECT_FALSE(dialog->OPCServerList->findItems(opcda::kSimulationProgId, Qt::MatchExactly).isEmpty());
    GetParam().act(*dialog);
  });
  page.cmdBrowse->click();
  EXPECT_EQ(page.txtsvrname->text(), GetParam().expected);
}

void click_entry(SvrDialog& d, const char* name) {
  d.OPCServerList->setCurrentItem(d.OPCServerList->findItems(name, Qt::MatchExactly).front());
  d.OPCServerList_Click();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerList,
    ::testing::Values(
        ListCase{"cancel", [](SvrDialog& d) { d.CancelButton->click(); }, "Preset.Server"},
        ListCase{"ok untouched", [](SvrDialog& d) { d.OKButton->click(); }, "Preset.Server"},
        ListCase{"entry then ok",
                 [](SvrDialog& d) {
                   click_entry(d, opcda::kFlatSimulationProgId);
                   d.OKButton->click();
                 },
                 opcda::kFlatSimulationProgId},
        ListCase{"typed progid",
                 [](SvrDialog& d) {
                   d.SelectedOPCServer->setText("Not.In.The.List");
                   d.OKButton->click();
                 },
                 "Not.In.The.List"},
        ListCase{"click then type",
                 [](SvrDialog& d) {
                   click_entry(d, opcda::kSimulationProgId);
                   d.SelectedOPCServer->setText("Typed.Over");
                   d.OKButton->click();
                 },
                 "Typed.Over"},
        ListCase{"close box accepts",
                 [](SvrDialog& d) {
                   d.SelectedOPCServer->setText("Closed.With.Box");
                   d.close();
                 },
                 "Closed.With.Box"},
        ListCase{"arrow keys then enter",
                 [](SvrDialog& d) {
                   QTest::keyClick(d.OPCServerList, Qt::Key_Home);
                   for (int i = 0; i < 20 && d.SelectedOPCServer->text() != opcda::kFlatSimulationProgId; ++i)
                     QTest::keyClick(d.OPCServerList, Qt::Key_Down);
                   QTest::keyClick(d.OPCServerList, Qt::Key_Return);
                 },
                 opcda::kFlatSimulationProgId},
        ListCase{"entry then cancel",
                 [](SvrDialog& d) {
                   click_entry(d, opcda::kSimulationProgId);
                   d.CancelButton_Click();
                 },
                 "Preset.Server"}),
    LabelName());

TEST_F(ServerPage, AnUnreachableNodeListsNothingAndASecondUseStartsAfresh) {
  page.txtnodname->setText("far-away-plant");
  page.txtsvrname->setText("Preset.Server");
  answer_modal([](QWidget* w) {
    auto& d = dynamic_cast<SvrDialog&>(*w);
    EXPECT_EQ(d.OPCServerList->count(), 0);
    EXPECT_EQ(d.SelectedOPCServer->text(), "Preset.Server");
    d.CancelButton->click();
  });
  page.cmdBrowse_Click();
  answer_modal([](QWidget* w) {
    auto& d = dynamic_cast<SvrDialog&>(*w);
    d.SelectedOPCServer->setText("Second.Try");
    d.OKButton->click();
  });
  page.cmdBrowse_Click();
  EXPECT_EQ(page.txtsvrname->text(), "Second.Try");
  EXPECT_EQ(page.txtnodname->text(), "far-away-plant");  // the dialog never changes the node
}

class Frame : public PagesTest {
 protected:
  std::vector<qt::PropertyPage*> all_pages() {
    std::vector<qt::PropertyPage*> out;
    for (const char* name : vexa::kPropertyPages) {
      if (qt::PropertyPage* p = pages::create_property_page(name)) out.push_back(p);
    }
    return out;
  }
  vexa second;
};

TEST_F(Frame, ShowsThePagesInTheControlsOrderAndReadsOnlyTheFirstSelected) {
  second.InitProperties();
  second.put_svrname("Second.Server");
  control.SetItmName(7, "SimulatePLC.Ramp");
  qt::PropertyFrame frame(all_pages(), {&control, &second});
  ASSERT_EQ(frame.tabs()->count(), 3);
  EXPECT_EQ(frame.tabs()->tabText(0), "OPC_Server");
  EXPECT_EQ(frame.tabs()->tabText(1), "OPC_Tag");
  EXPECT_EQ(frame.tabs()->tabText(2), "Load_CSV");
  auto& server_page = dynamic_cast<OPC_Server&>(*frame.pages()[0]);
  auto& tag_page = dynamic_cast<pages::OPC_Tag&>(*frame.pages()[1]);
  EXPECT_EQ(server_page.txtsvrname->text(), opcda::kSimulationProgId);
  EXPECT_EQ(tag_page.txtitm[7]->text(), "SimulatePLC.Ramp");
  server_page.txtsvrname->setText("Changed.Server");
  tag_page.txtitm[8]->setText("SimulatePLC.Counter");
  EXPECT_TRUE(frame.apply_button()->isEnabled());
  frame.Apply_Click();
  EXPECT_EQ(control.get_svrname(), "Changed.Server");
  EXPECT_EQ(control.GetItmName(8), "SimulatePLC.Counter");
  EXPECT_EQ(second.get_svrname(), "Second.Server");
  EXPECT_EQ(second.GetItmName(8), "");
  EXPECT_FALSE(frame.apply_button()->isEnabled());
}

TEST_F(Frame, AFailedApplyIsShownAndStopsThereWithTheFrameOpen) {
  qt::PropertyFrame frame(all_pages(), {&control});
  auto& server_page = dynamic_cast<OPC_Server&>(*frame.pages()[0]);
  auto& tag_page = dynamic_cast<pages::OPC_Tag&>(*frame.pages()[1]);
  server_page.txtUpdateRate->setText("40000");
  tag_page.txtitm[0]->setText("Not.Applied");
  frame.show();
  frame.OK_Click();
  EXPECT_TRUE(frame.isVisible());
  EXPECT_TRUE(server_page.Changed());
  EXPECT_EQ(control.GetItmName(0), "");  // no later page applied
  ASSERT_EQ(box->shown.size(), 1u);
  EXPECT_NE(box->shown[0].text.find("Run-time error '6'"), std::string::npos) << box->shown[0].text;
  EXPECT_NE(box->shown[0].text.find("Overflow"), std::string::npos) << box->shown[0].text;
  EXPECT_NE(box->shown[0].text.find("\"UpdateRate\""), std::string::npos) << box->shown[0].text;
  server_page.txtUpdateRate->setText("100");
  frame.OK_Click();
  EXPECT_FALSE(frame.isVisible());
  EXPECT_EQ(control.GetItmName(0), "Not.Applied");
}

TEST_F(Frame, OkAfterAnImportKeepsTheImportedNames) {
  for (std::int16_t n = 0; n < vexa::kSlots; ++n) control.SetItmName(n, "old" + std::to_string(n));
  QTemporaryDir dir;
  const QString path = dir.filePath("tags.csv");
  std::ofstream(path.toStdString(), std::ios::binary) << "Tag\r\nA\r\nB\r\n";
  qt::PropertyFrame frame(all_pages(), {&control});
  auto& csv_page = dynamic_cast<pages::Load_CSV&>(*frame.pages()[2]);
  csv_page.txtsrcFile->setText(path);
  csv_page.cmdLd_Click();
  frame.OK_Click();
  EXPECT_EQ(control.GetItmName(0), "A");
  EXPECT_EQ(control.GetItmName(1), "B");
  EXPECT_EQ(control.GetItmName(2), "old2");
  EXPECT_EQ(control.get_srcFile(), path.toStdString());
}

TEST_F(Frame, CancelAppliesNothingAndTheRealMessageBoxAnswersOk) {
  // The Qt services in force: the failure's message box runs its own exec.
  qt::QtServices qt_services;
  qt::PropertyFrame frame(all_pages(), {&control});
  auto& server_page = dynamic_cast<OPC_Server&>(*frame.pages()[0]);
  server_page.txtUpdateRate->setText("letters");
  QString shown;
  answer_modal([&](QWidget* w) {
    // The frame's own exec first; inside it, OK fails and shows the message box.
    answer_modal([&](QWidget* message) {
      auto* mb = dynamic_cast<QMessageBox*>(message);
      ASSERT_NE(mb, nullptr);
      shown = mb->text();
      EXPECT_EQ(mb->icon(), QMessageBox::NoIcon);
      mb->button(QMessageBox::Ok)->click();
    });
    dynamic_cast<qt::PropertyFrame&>(*w).OK_Click();
    dynamic_cast<qt::PropertyFrame&>(*w).Cancel_Click();
  });
  EXPECT_EQ(frame.exec(), QDialog::Rejected);
  EXPECT_NE(shown.indexOf("Type mismatch"), -1) << shown.toStdString();
  EXPECT_EQ(control.get_UpdateRate(), Variant(std::int16_t{1000}));
}

}  // namespace
}  // namespace vexa32::testing
