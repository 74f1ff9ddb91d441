#pragma once
// Geometry given in twips, placed in pixels at the screen's logical DPI (15 twips a pixel at 96 DPI).

#include <QWidget>

#include "platform/qt/design_metrics.h"

namespace vexa32::pages {

inline int px(int twips) { return qt::twips_to_px(twips); }
inline int twips_of_px(int pixels) { return qt::px_to_twips(pixels); }

inline void place(QWidget* w, int left, int top, int width, int height) {
  w->setGeometry(px(left), px(top), px(width), px(height));
}

// A widget with its name, for tests and scripts that find it by name.
template <class W>
W* named(W* w, const char* name) {
  w->setObjectName(name);
  return w;
}

}  // namespace vexa32::pages
