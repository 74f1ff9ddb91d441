// The form designer: files, the selection and its properties, the pages, run mode.

#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>

#include "designer.h"
#include "pages/about_box.h"
#include "pages/load_csv_page.h"
#include "pages/opc_server_page.h"
#include "pages/opc_tag_page.h"
#include "pages_fixture.h"
#include "platform/automation/convert.h"
#include "platform/qt/qt_services.h"

namespace vexa32::testing {
namespace {

using designer::DesignerWindow;

class Designer : public PagesTest {
 protected:
  Designer() { EXPECT_TRUE(window.open_form(example)); }
  ~Designer() override { window.stop(); }

  QTemporaryDir dir;
  const QString example = QString(VEXA32_SOURCE_DIR) + "/examples/Form1.json";
  DesignerWindow window;
};

TEST_F(Designer, ThePagesChangeAControlThatSavesAndOpensAgain) {
  window.select({"vexa1"});
  auto frame = window.make_property_frame();
  ASSERT_NE(frame, nullptr);
  auto& server = dynamic_cast<pages::OPC_Server&>(*frame->pages()[0]);
  auto& tags = dynamic_cast<pages::OPC_Tag&>(*frame->pages()[1]);
  server.txtsvrname->setText(opcda::kSimulationProgId);
  server.txtUpdateRate->setText("250");
  tags.txtitm[4]->setText("SimulatePLC.Ramp");
  frame->Apply_Click();
  EXPECT_TRUE(window.modified());
  EXPECT_TRUE(window.windowTitle().contains("*"));
  const QString saved = dir.filePath("saved.json");
  ASSERT_TRUE(window.save_as(saved));
  EXPECT_FALSE(window.windowTitle().contains("*"));
  frame.reset();

  DesignerWindow again;
  ASSERT_TRUE(again.open_form(saved));
  vexa* c = again.design_form()->control("vexa1");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->get("svrname"), Variant(opcda::kSimulationProgId));
  EXPECT_EQ(c->get("UpdateRate"), Variant(std::int16_t{250}));
  EXPECT_EQ(c->get("itm4"), Variant("SimulatePLC.Ramp"));
  EXPECT_EQ(c->get("itm0"), Variant("test1.cpu.SignalTags.Signal_0001B"));
  EXPECT_EQ(again.design_form()->button("Command1")->geometry(), QRect(200, 16, 89, 33));
}

TEST_F(Designer, AFailingApplyShowsOneMessageAndAppliesNothingAfterIt) {
  window.select({"vexa1"});
  auto frame = window.make_property_frame();
  auto& server = dynamic_cast<pages::OPC_Server&>(*frame->pages()[0]);
  auto& tags = dynamic_cast<pages::OPC_Tag&>(*frame->pages()[1]);
  server.txtUpdateRate->setText("abc");
  server.txtsvrname->setText("Not.Applied");
  tags.txtitm[0]->setText("Not.Applied.Either");
  frame->Apply_Click();
  EXPECT_EQ(box->shown.size(), 1u);
  vexa& c = *window.design_form()->control("vexa1");
  EXPECT_EQ(c.get_svrname(), "KEPware.KEPServerEx.V4");
  EXPECT_EQ(c.GetItmName(0), "test1.cpu.SignalTags.Signal_0001B");
  EXPECT_EQ(c.get_UpdateRate(), Variant(std::int16_t{100}));
}

TEST_F(Designer, ThePropertyListEditsThroughTheControlAndKeepsTheOldValueOnRefusal) {
  window.select({"vexa1"});
  QTableWidget* list = window.property_list();
  QStringList names;
  for (int r = 0; r < list->rowCount(); ++r) names << list->item(r, 0)->text();
  EXPECT_EQ(names.front(), "IsConnect");
  EXPECT_FALSE(names.contains("vl0"));
  EXPECT_TRUE(names.contains("vl4"));
  EXPECT_LT(names.indexOf("startRow"), names.indexOf("itm20"));  // interface order
  window.edit_property("UpdateRate", "40000");
  EXPECT_EQ(box->shown.size(), 1u);
  EXPECT_NE(box->shown.at(0).text.find("Overflow"), std::string::npos);
  EXPECT_EQ(window.design_form()->control("vexa1")->get_UpdateRate(), Variant(std::int16_t{100}));
  EXPECT_FALSE(window.modified());
  window.edit_property("UpdateRate", "500");
  EXPECT_TRUE(window.modified());
}

TEST_F(Designer, ABadFileIsRefusedAndTheOpenFormStays) {
  const QString bad = dir.filePath("bad.json");
  QFile f(bad);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("{\"form\": ");
  f.close();
  EXPECT_FALSE(window.open_form(bad));
  EXPECT_FALSE(window.open_form(dir.filePath("missing.json")));
  ASSERT_EQ(box->shown.size(), 2u);
  EXPECT_NE(box->shown[0].text.find("bad.json"), std::string::npos) << box->shown[0].text;
  EXPECT_EQ(window.path(), example);
  EXPECT_NE(window.design_form()->control("vexa1"), nullptr);
}

TEST_F(Designer, AddDeleteMoveAndAskBeforeDiscarding) {
  window.add_control(vexa::kClassName);
  EXPECT_EQ(window.selection(), std::vector<std::string>{"vexa2"});
  window.add_control(pages::kButtonClass);
  window.move_selection({150, 300});
  const Form form = window.design_form()->to_form();
  EXPECT_EQ(form.controls.size(), 6u);
  // vexa2 fits nowhere on the example form: it goes below, and the form grows to hold it;
  // Command3 finds room beside it at 2880, 2520, then moves.
  EXPECT_EQ(window.design_form()->item("Command3")->twips.topLeft(), QPoint(3030, 2820));
  window.select({"vexa2", "Command3"});
  window.delete_selection();
  EXPECT_EQ(window.design_form()->items().size(), 4u);
  EXPECT_TRUE(window.modified());
  // Closing a changed form asks; Cancel keeps it open.
  answer_modal([](QWidget* w) { dynamic_cast<QMessageBox&>(*w).button(QMessageBox::Cancel)->click(); });
  EXPECT_FALSE(window.close());
  answer_modal([](QWidget* w) { dynamic_cast<QMessageBox&>(*w).button(QMessageBox::Discard)->click(); });
  EXPECT_TRUE(window.close());
}

TEST_F(Designer, RunModeShowsLiveValuesAndStopLeavesTheDesignAsItWas) {
  const Form before = window.design_form()->to_form();
  window.run();
  ASSERT_TRUE(window.running());
  pages::RunningForm& form = *window.running_form();
  form.button("Command1")->click();
  pump_for(400);
  bool number = false;
  form.label("Label1")->text().toDouble(&number);
  EXPECT_TRUE(number) << form.label("Label1")->text().toStdString();
  EXPECT_EQ(form.control("vexa1")->IsConnect, VARIANT_TRUE);
  window.stop();
  EXPECT_FALSE(window.running());
  EXPECT_EQ(serialize_form(window.design_form()->to_form()), serialize_form(before));
  EXPECT_EQ(window.design_form()->control("vexa1")->GetItmName(0), "test1.cpu.SignalTags.Signal_0001B");
  EXPECT_FALSE(window.modified());
}

TEST_F(Designer, DeleteActsOnlyWhereTheFormHasTheFocus) {
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  window.select({"Command2"});
  window.property_list()->setFocus();
  QTest::keyClick(window.property_list(), Qt::Key_Delete);
  EXPECT_NE(window.design_form()->item("Command2"), nullptr);
  window.design_form()->setFocus();
  QTest::keyClick(window.design_form(), Qt::Key_Delete);
  EXPECT_EQ(window.design_form()->item("Command2"), nullptr);
}

TEST_F(Designer, NewControlsCoverNoOtherAndDraggedOnesStayOnTheForm) {
  for (int i = 0; i < 8; ++i) {
    window.add_control(i % 2 ? pages::kButtonClass : vexa::kClassName);
  }
  const QRect form(QPoint(0, 0), window.design_form()->to_form_size());
  auto& items = window.design_form()->items();
  for (std::size_t a = 0; a < items.size(); ++a) {
    EXPECT_TRUE(form.contains(items[a]->twips)) << items[a]->name;
    for (std::size_t b = a + 1; b < items.size(); ++b) {
      EXPECT_FALSE(items[a]->twips.intersects(items[b]->twips)) << items[a]->name << " on " << items[b]->name;
    }
  }
  window.select({"Command1", "Label1"});
  for (const QPoint by : {QPoint(-99999, -99999), QPoint(99999, 99999), QPoint(99999, -99999)}) {
    window.move_selection(by);
    for (const char* name : {"Command1", "Label1"}) {
      EXPECT_TRUE(form.contains(window.design_form()->item(name)->twips)) << name << " " << by.x() << "," << by.y();
    }
  }
  // The two move as one: the higher one stops at the top, the wider one at the right.
  EXPECT_EQ(window.design_form()->item("Command1")->twips.top(), 0);
  EXPECT_EQ(window.design_form()->item("Label1")->twips.left(), 4680 - 4215);
}

TEST_F(Designer, AFormIsSavedAtTheSizeItWasReadAndGetsNoCodeForItsName) {
  Form form = pages::form1_settings();
  form.width = 4685;
  form.height = 3190;
  form.code.clear();
  const QString path = dir.filePath("odd.json");
  save_form_file(path.toStdString(), form);
  ASSERT_TRUE(window.open_form(path));
  ASSERT_TRUE(window.save());
  const Form saved = load_form_file(path.toStdString());
  EXPECT_EQ(saved.width, 4685);
  EXPECT_EQ(saved.height, 3190);
  // Named Form1 with the example's controls, but the file holds no code: a click does nothing.
  window.run();
  window.running_form()->button("Command1")->click();
  EXPECT_EQ(window.running_form()->control("vexa1")->GetItmName(0), "test1.cpu.SignalTags.Signal_0001B");
  EXPECT_EQ(window.running_form()->control("vexa1")->IsConnect, VARIANT_FALSE);
}

TEST_F(Designer, StopRunsOnlyWhileRunningAndClosingAsksBeforeEndingTheRun) {
  EXPECT_FALSE(window.action_stop->isEnabled());
  window.select({"Command1"});
  window.show_property_pages();
  ASSERT_EQ(box->shown.size(), 1u);
  EXPECT_EQ(box->shown[0].text, DesignerWindow::kNoVexaSelected);
  window.add_control(pages::kLabelClass);
  window.run();
  EXPECT_TRUE(window.action_stop->isEnabled());
  answer_modal([](QWidget* w) { dynamic_cast<QMessageBox&>(*w).button(QMessageBox::Cancel)->click(); });
  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.running());
  answer_modal([](QWidget* w) { dynamic_cast<QMessageBox&>(*w).button(QMessageBox::Discard)->click(); });
  EXPECT_TRUE(window.close());
  EXPECT_FALSE(window.running());
  EXPECT_FALSE(window.action_stop->isEnabled());
}

TEST_F(Designer, ARefusedValueShowsItsTitleWholeAndAnAboutBoxKeepsNothingRunning) {
  qt::QtServices qt_services;
  int room = 0;
  answer_modal([&](QWidget* w) {
    auto& mb = dynamic_cast<QMessageBox&>(*w);
    room = mb.width() - mb.fontMetrics().horizontalAdvance(mb.windowTitle());
    mb.button(QMessageBox::Ok)->click();
  });
  window.select({"vexa1"});
  window.edit_property("columnIndex", "99999");
  EXPECT_GE(room, 120);

  // The application's own loop ends when the designer closes, though the about box is open.
  for (QWidget* w : QApplication::topLevelWidgets()) w->hide();
  window.show();
  pages::abt::show_shared();
  QTimer::singleShot(0, &window, [this] { window.close(); });
  QTimer::singleShot(3000, [] { QApplication::exit(1); });
  EXPECT_EQ(QApplication::exec(), 0);
  pages::abt::shared_instance()->close();
}

}  // namespace
}  // namespace vexa32::testing
