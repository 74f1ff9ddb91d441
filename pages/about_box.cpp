#include "pages/about_box.h"

#include <QCoreApplication>
#include <QPointer>

#include "pages/pictures.h"
#include "pages/twips_p.h"

#ifndef VEXA32_DOCS_URL
#define VEXA32_DOCS_URL "file:///usr/share/doc/vexa32/README.md"
#endif

namespace vexa32::pages {
namespace {
QPointer<abt> g_instance;
}

abt::abt() : QWidget(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setObjectName("abt");
  setWindowTitle("vexaActiveX V 1.1");
  qt::use_design_font(*this);
  setFixedSize(px(4680), px(2445));
  setAutoFillBackground(true);
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  Text1 = named(new QTextEdit(this), "Text1");
  Text1->setReadOnly(true);
  place(Text1, 120, 120, 4215, 1335);
  Label2 = named(new QLabel(this), "Label2");
  place(Label2, 120, 1560, 1455, 375);
  Label1 = named(new QLabel(this), "Label1");
  Label1->setAutoFillBackground(true);
  Label1->setPalette(white);
  Label1->setText(QString("<a href=\"%1\">Documentation</a>").arg(VEXA32_DOCS_URL));
  Label1->setOpenExternalLinks(true);
  Label1->setToolTip(VEXA32_DOCS_URL);
  place(Label1, 120, 1920, 1935, 375);
  Image1 = named(new QLabel(this), "Image1");
  place(Image1, 2400, 1560, 1935, 765);
  Image1->setPixmap(about_picture(Image1->width(), Image1->height()));
  setAttribute(Qt::WA_DeleteOnClose, false);
  // An about box left open does not keep the program running after its last main window closed.
  setAttribute(Qt::WA_QuitOnClose, false);
  Form_Load();
}

void abt::Form_Load() {
  Text1->setPlainText("vexaActiveX was created by the VEXA32 project: an OPC Data Access client control, "
                      "brought to Linux.");
}

abt& abt::show_shared() {
  if (!g_instance) {
    g_instance = new abt;
    // A window without owner lives until the application goes; it goes just before.
    qAddPostRoutine([] { delete g_instance.data(); });
  }
  g_instance->show();
  g_instance->raise();
  g_instance->activateWindow();
  return *g_instance;
}

abt* abt::shared_instance() { return g_instance.data(); }

}  // namespace vexa32::pages
