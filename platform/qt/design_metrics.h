#pragma once
// The windows are laid out in twips for the font they were designed with. They keep that font's
// size whatever the desktop uses, and turn twips into pixels at the screen's logical DPI, so a
// large desktop font clips nothing and a high-DPI screen scales a window whole.

class QWidget;

namespace vexa32::qt {

// The size of the font the windows were designed with, in points.
inline constexpr int kDesignFontPoints = 8;

// The desktop's font family at the design size, for the window and everything on it.
void use_design_font(QWidget& window);

// 1440 twips an inch: 15 twips a pixel at 96 DPI. Without a screen, 96 DPI.
int twips_to_px(int twips);
int px_to_twips(int pixels);

}  // namespace vexa32::qt
