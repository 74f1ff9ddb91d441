// Every page and dialog grabbed offscreen into a PNG in the build folder, to be looked at.

#include <QGroupBox>
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

// Every text of a window fits where it stands: labels, buttons and frame captions in their width,
// a text box's letters (descenders too) in its height.
void expect_no_clipping(QWidget& window) {
  window.ensurePolished();
  for (QWidget* w : window.findChildren<QWidget*>()) {
    const QFontMetrics fm = w->fontMetrics();
    const std::string where = window.objectName().toStdString() + "/" + w->objectName().toStdString();
    if (auto* label = qobject_cast<QLabel*>(w); label && !label->wordWrap() && label->pixmap().isNull()) {
      const int needed = Qt::mightBeRichText(label->text()) ? label->sizeHint().width()
                                                            : fm.horizontalAdvance(label->text());
      EXPECT_LE(needed, label->contentsRect().width()) << where;
      EXPECT_LE(fm.height(), label->contentsRect().height()) << where;
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
      EXPECT_LE(fm.horizontalAdvance(button->text()) + 6, button->width()) << where;
      EXPECT_LE(fm.height() + 4, button->height()) << where;
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      EXPECT_LE(fm.horizontalAdvance(group->title()) + 16, group->width()) << where;
      // The caption stands above what the frame holds.
      for (QWidget* inside : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (inside->isVisibleTo(group)) {
          EXPECT_LE(fm.height(), inside->y()) << where << "/" << inside->objectName().toStdString();
        }
      }
    } else if (auto* box = qobject_cast<QLineEdit*>(w); box && box->isVisibleTo(&window)) {
      EXPECT_LE(fm.height() + 4, box->height()) << where;
    }
  }
}

TEST_F(Pictures, NothingClipsAtALargeDesktopFont) {
  const QFont desktop = QApplication::font();
  QFont large = desktop;
  large.setPointSize(11);
  QApplication::setFont(large);
  {
    std::vector<qt::PropertyPage*> pages;
    for (const char* name : vexa::kPropertyPages) {
      if (qt::PropertyPage* p = pages::create_property_page(name)) pages.push_back(p);
    }
    qt::PropertyFrame frame(pages, {&control});
    expect_no_clipping(frame);
    pages::SvrDialog servers;
    expect_no_clipping(servers);
    pages::TagDialog tags;
    expect_no_clipping(tags);
    expect_no_clipping(pages::abt::show_shared());
    pages::abt::show_shared().close();
    pages::RunningForm form1(pages::form1_settings(), true);
    expect_no_clipping(form1);
  }
  QApplication::setFont(desktop);
}

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
