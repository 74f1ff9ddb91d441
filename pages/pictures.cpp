#include "pages/pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace vexa32::pages {

QPixmap vexa_logo(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient back(0, 0, 0, size);
  back.setColorAt(0, QColor(30, 90, 160));
  back.setColorAt(1, QColor(10, 40, 90));
  p.setBrush(back);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 6.0, size / 6.0);
  // A sine trend across the tile: live values, the control's trade.
  QPainterPath wave;
  for (int x = 0; x <= size; ++x) {
    const double y = size * 0.62 - std::sin(x * 2 * M_PI / size * 1.5) * size * 0.16;
    if (x == 0) {
      wave.moveTo(x, y);
    } else {
      wave.lineTo(x, y);
    }
  }
  p.setPen(QPen(QColor(120, 220, 120), std::max(1.5, size / 20.0)));
  p.setBrush(Qt::NoBrush);
  p.drawPath(wave);
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(std::max(6, size * 3 / 10));
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, size * 0.05, size, size * 0.45), Qt::AlignCenter, "V32");
  return pixmap;
}

QPixmap about_picture(int width, int height) {
  QPixmap pixmap(width, height);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, height);
  sky.setColorAt(0, QColor(135, 185, 235));
  sky.setColorAt(1, QColor(225, 238, 250));
  p.fillRect(pixmap.rect(), sky);
  p.fillRect(QRectF(0, height * 0.78, width, height * 0.22), QColor(120, 130, 120));
  // Two tanks and a pipe bridge.
  p.setPen(QPen(QColor(60, 60, 70), 1));
  p.setBrush(QColor(190, 195, 205));
  p.drawRect(QRectF(width * 0.08, height * 0.35, width * 0.16, height * 0.43));
  p.drawEllipse(QRectF(width * 0.08, height * 0.29, width * 0.16, height * 0.12));
  p.drawRect(QRectF(width * 0.30, height * 0.45, width * 0.12, height * 0.33));
  p.drawEllipse(QRectF(width * 0.30, height * 0.40, width * 0.12, height * 0.10));
  p.setPen(QPen(QColor(80, 80, 90), std::max(1.0, height / 40.0)));
  p.drawLine(QPointF(width * 0.24, height * 0.5), QPointF(width * 0.30, height * 0.5));
  // A trend panel on the right.
  const QRectF panel(width * 0.52, height * 0.14, width * 0.42, height * 0.56);
  p.setPen(QPen(QColor(40, 40, 40), 1));
  p.setBrush(QColor(20, 30, 40));
  p.drawRoundedRect(panel, 3, 3);
  QPainterPath trend;
  for (int i = 0; i <= 40; ++i) {
    const double x = panel.left() + 4 + (panel.width() - 8) * i / 40.0;
    const double y = panel.center().y() - std::sin(i / 40.0 * 3 * M_PI) * panel.height() * 0.3;
    if (i == 0) {
      trend.moveTo(x, y);
    } else {
      trend.lineTo(x, y);
    }
  }
  p.setPen(QPen(QColor(110, 230, 110), 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawPath(trend);
  return pixmap;
}

}  // namespace vexa32::pages
