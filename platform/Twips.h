// Layout in twips (1440 per inch) through the screen's logical DPI.
#pragma once

#include <QRect>

namespace platform {

// Twips per pixel of the primary screen, as whole numbers (15 at 96 DPI).
int TwipsPerPixelX();
int TwipsPerPixelY();

int ToPixelsX(int twips);
int ToPixelsY(int twips);
int ToTwipsX(int pixels);
int ToTwipsY(int pixels);

// A control's rectangle given as left, top, width, height in twips.
QRect TwipsRect(int left, int top, int width, int height);

} // namespace platform
