#include "pages/vexa_surface.h"

#include <QMouseEvent>

#include "pages/pictures.h"
#include "pages/twips_p.h"

namespace vexa32::pages {

VexaSurface::VexaSurface(vexa& control, QWidget* parent) : QWidget(parent), control_(control) {
  setObjectName("vexa");
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(236, 240, 246));
  setPalette(pal);
  Command1 = named(new QPushButton("connect", this), "Command1");
  Command2 = named(new QPushButton("Disconn", this), "Command2");
  Image1 = named(new QLabel(this), "Image1");
  Image1->setPixmap(vexa_logo(px(720)));
  Image1->installEventFilter(this);
  resize(px(kWidth), px(kHeight));
  connect(Command1, &QPushButton::clicked, this, [this] { control_.Command1_Click(); });
  connect(Command2, &QPushButton::clicked, this, [this] { control_.Command2_Click(); });
}

void VexaSurface::resizeEvent(QResizeEvent*) {
  const int m = px(120);
  Image1->setGeometry(m, m, px(720), px(720));
  const int bx = px(960), bw = std::max(px(600), width() - bx - m);
  Command1->setGeometry(bx, m, bw, px(375));
  Command2->setGeometry(bx, m + px(480), bw, px(375));
}

bool VexaSurface::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Image1 && event->type() == QEvent::MouseButtonRelease) {
    control_.Image1_Click();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void VexaSurface::mousePressEvent(QMouseEvent* event) {
  // A click on the background: the container shows the about box.
  if (event->button() == Qt::LeftButton) control_.UserControl_Click();
}

}  // namespace vexa32::pages
