#pragma once
// An up/down control: a value in a range, stepped by its two arrows, that does nothing but tell
// its owner the new value (the page puts it into a text box).

#include <QToolButton>
#include <QWidget>
#include <functional>

namespace vexa32::pages {

class SpinButton final : public QWidget {
 public:
  explicit SpinButton(QWidget* parent = nullptr);

  int value() const noexcept { return value_; }
  // Sets the value within the range; on_change runs when it changed.
  void setValue(int value);
  // Sets the value within the range without telling anyone.
  void setValueQuietly(int value);
  void stepUp() { setValue(value_ + step_); }
  void stepDown() { setValue(value_ - step_); }
  int minimum() const noexcept { return min_; }
  int maximum() const noexcept { return max_; }

  std::function<void(int value)> on_change;
  QToolButton* up;
  QToolButton* down;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  int value_ = 0, min_ = 0, max_ = 32767, step_ = 1;
};

}  // namespace vexa32::pages
