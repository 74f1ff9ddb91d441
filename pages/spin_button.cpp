#include "pages/spin_button.h"

#include <algorithm>

namespace vexa32::pages {

SpinButton::SpinButton(QWidget* parent) : QWidget(parent) {
  up = new QToolButton(this);
  down = new QToolButton(this);
  up->setArrowType(Qt::UpArrow);
  down->setArrowType(Qt::DownArrow);
  up->setObjectName("up");
  down->setObjectName("down");
  up->setAutoRepeat(true);
  down->setAutoRepeat(true);
  connect(up, &QToolButton::clicked, this, [this] { stepUp(); });
  connect(down, &QToolButton::clicked, this, [this] { stepDown(); });
}

void SpinButton::setValue(int value) {
  const int clamped = std::clamp(value, min_, max_);
  if (clamped == value_) return;
  value_ = clamped;
  if (on_change) on_change(value_);
}

void SpinButton::setValueQuietly(int value) { value_ = std::clamp(value, min_, max_); }

void SpinButton::resizeEvent(QResizeEvent*) {
  const int half = height() / 2;
  up->setGeometry(0, 0, width(), half);
  down->setGeometry(0, half, width(), height() - half);
}

}  // namespace vexa32::pages
