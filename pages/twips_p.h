#pragma once
// Geometry given in twips, placed in pixels at 15 twips a pixel.

#include <QWidget>

namespace vexa32::pages {

inline int px(int twips) { return twips / 15; }
inline int twips_of_px(int pixels) { return pixels * 15; }

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
