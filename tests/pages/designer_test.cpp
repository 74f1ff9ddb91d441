// The form designer: files, the selection and its properties, the pages, run mode.

#include <QMessageBox>
#include <QTemporaryDir>

#include "designer.h"
#include "pages/load_csv_page.h"
#include "pages/opc_server_page.h"
#include "pages/opc_tag_page.h"
#include "pages_fixture.h"
#include "platform/automation/convert.h"

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
  EXPECT_EQ(window.design_form()->item("Command3")->twips.topLeft(), QPoint(990, 1140));  // placed at 840, 840, then moved
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

}  // namespace
}  // namespace vexa32::testing
