// Every page and dialog grabbed offscreen into a PNG in the build folder, to be looked at.

#include <QPixmap>

#include "designer.h"
#include "pages/about_box.h"
#include "pages/opc_server_page.h"
#include "pages/opc_tag_page.h"
#include "pages/property_pages.h"
#include "pages/running_form.h"
#include "pages/svr_dialog.h"
#include "pages/tag_dialog.h"
#include "pages_fixture.h"

namespace vexa32::testing {
namespace {

class Pictures : public PagesTest {
 protected:
  void save(QWidget& w, const char* name) {
    w.show();
    QCoreApplication::processEvents();
    const QPixmap picture = w.grab();
    EXPECT_FALSE(picture.isNull()) << name;
    EXPECT_TRUE(picture.save(picture_path(name))) << name;
  }
};

TEST_F(Pictures, EveryPageAndDialog) {
  control.put_nodname("localhost");
  control.SetItmName(0, "SimulatePLC.Sine");
  control.SetItmName(1, "test1.cpu.SignalTags.Signal_0001B");
  std::vector<qt::PropertyPage*> pages;
  for (const char* name : vexa::kPropertyPages) {
    if (qt::PropertyPage* p = pages::create_property_page(name)) pages.push_back(p);
  }
  qt::PropertyFrame frame(pages, {&control});
  save(frame, "frame_opc_server");
  frame.tabs()->setCurrentIndex(1);
  save(frame, "frame_opc_tag");
  frame.tabs()->setCurrentIndex(2);
  save(frame, "frame_load_csv");
  frame.close();

  pages::SvrDialog servers;
  servers.m_svrname = opcda::kSimulationProgId;
  servers.Form_Load();
  servers.OPCServerList->setCurrentRow(0);
  save(servers, "svr_dialog");
  servers.close();

  pages::TagDialog tags;
  tags.m_svrname = opcda::kSimulationProgId;
  tags.m_nodname = Variant("");
  tags.StrtAddItm();
  tags.Prepare();
  QTreeWidgetItem* root = tags.tvBranchView->topLevelItem(0);
  root->setExpanded(true);
  const QString root_key = tags.tvBranchView->key_of(root);
  const QString plc = root_key + QChar(pages::TagDialog::kSeparator) + "SimulatePLC";
  tags.tvBranchView->node(plc)->setExpanded(true);
  tags.tvBranchView->select(plc);
  tags.tvBranchView_Click();
  tags.lvItemView->select_row(7);
  tags.lvItemView_Click();
  save(tags, "tag_dialog");
  tags.unld();

  save(pages::abt::show_shared(), "about_box");
  pages::abt::show_shared().close();

  pages::RunningForm form1(pages::form1_settings(), true);
  pages::attach_form_code(form1);
  form1.button("Command1")->click();
  pump_for(300);
  save(form1, "form1_running");
  form1.button("Command2")->click();

  designer::DesignerWindow window;
  ASSERT_TRUE(window.open_form(QString(VEXA32_SOURCE_DIR) + "/examples/Form1.json"));
  window.select({"vexa1"});
  save(window, "designer");
}

}  // namespace
}  // namespace vexa32::testing
