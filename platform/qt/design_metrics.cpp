#include "platform/qt/design_metrics.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace vexa32::qt {
namespace {

double logical_dpi() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
  return dpi > 0 ? dpi : 96.0;
}

}  // namespace

void use_design_font(QWidget& window) {
  QFont font = window.font();
  font.setPointSize(kDesignFontPoints);
  window.setFont(font);
}

int twips_to_px(int twips) { return static_cast<int>(std::lround(twips * logical_dpi() / 1440.0)); }

int px_to_twips(int pixels) { return static_cast<int>(std::lround(pixels * 1440.0 / logical_dpi())); }

}  // namespace vexa32::qt
