#pragma once
// The vexa control's own surface: the buttons "connect" and "Disconn", the logo Image1 and the
// background, each calling the control's handler. In a designer the surface only shows itself:
// clicks go to the designer.

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "control/vexa.h"

namespace vexa32::pages {

class VexaSurface final : public QWidget {
 public:
  // Twips: the size a newly placed control gets.
  static constexpr int kWidth = 2655, kHeight = 1335;

  VexaSurface(vexa& control, QWidget* parent = nullptr);
  vexa& control() const noexcept { return control_; }

  QPushButton* Command1;
  QPushButton* Command2;
  QLabel* Image1;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  vexa& control_;
};

}  // namespace vexa32::pages
