#pragma once
// The pictures the library draws itself: the control's logo and the about box's picture.

#include <QPixmap>

namespace vexa32::pages {

QPixmap vexa_logo(int size);
// A small painted scene of a plant with a trend line, for the about box.
QPixmap about_picture(int width, int height);

}  // namespace vexa32::pages
