// The control's surface, the about box and the example form.

#include <QMouseEvent>

#include "pages/about_box.h"
#include "pages/running_form.h"
#include "pages/vexa_surface.h"
#include "pages_fixture.h"
#include "platform/container/form_file.h"

namespace vexa32::testing {
namespace {

using pages::abt;
using pages::RunningForm;

class Forms : public PagesTest {};

void click(QWidget* w, QPoint at = {2, 2}) {
  QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(w, &press);
  QApplication::sendEvent(w, &release);
}

TEST_F(Forms, TheSurfaceCallsTheControlsHandlersAndTheAboutBoxIsShared) {
  pages::FormSite run_site(true);
  control.SetClientSite(&run_site);
  pages::VexaSurface surface(control);
  EXPECT_EQ(surface.Command1->text(), "connect");
  EXPECT_EQ(surface.Command2->text(), "Disconn");
  click(surface.Image1);
  ASSERT_EQ(box->shown.size(), 1u);
  EXPECT_EQ(box->shown[0].title, "VEXA32");
  click(&surface);
  abt* first = abt::shared_instance();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(first->parentWidget(), nullptr);
  EXPECT_FALSE(first->isModal());
  first->close();
  click(&surface);
  EXPECT_EQ(abt::shared_instance(), first);
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(first->windowTitle(), "vexaActiveX V 1.1");
  EXPECT_NE(first->Text1->toPlainText().indexOf("vexaActiveX"), -1);
  EXPECT_EQ(first->Label1->geometry(), QRect(8, 128, 129, 25));
  EXPECT_EQ(first->palette().color(QPalette::Window), QColor(Qt::white));
  first->close();
  surface.Command1->click();
  EXPECT_EQ(control.IsConnect, VARIANT_TRUE);
  surface.Command2->click();
  EXPECT_EQ(control.IsConnect, VARIANT_FALSE);
}

TEST_F(Forms, TheExampleFormIsItsFileAndShowsLiveValues) {
  const Form file = load_form_file(std::string(VEXA32_SOURCE_DIR) + "/examples/Form1.json");
  EXPECT_EQ(serialize_form(pages::form1_settings()), serialize_form(file));

  RunningForm form(pages::form1_settings(), true);
  pages::attach_form_code(form);
  EXPECT_EQ(form.button("Command1")->geometry(), QRect(200, 16, 89, 33));
  EXPECT_EQ(form.label("Label1")->text(), "Label1");
  form.button("Command1")->click();
  pump_for(400);
  bool number = false;
  const double first = form.label("Label1")->text().toDouble(&number);
  EXPECT_TRUE(number) << form.label("Label1")->text().toStdString();
  pump_for(400);
  EXPECT_NE(form.label("Label1")->text().toDouble(), first);
  form.button("Command2")->click();
  const QString stopped = form.label("Label1")->text();
  pump_for(300);
  EXPECT_EQ(form.label("Label1")->text(), stopped);
  EXPECT_EQ(sim->connection_count(), 0u);
}

}  // namespace
}  // namespace vexa32::testing
