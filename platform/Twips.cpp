#include "Twips.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace platform {
namespace {

double Dpi(bool x) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return 96.0;
    }
    const double dpi = x ? screen->logicalDotsPerInchX() : screen->logicalDotsPerInchY();
    return dpi > 0 ? dpi : 96.0;
}

} // namespace

int TwipsPerPixelX() {
    return std::max(1, static_cast<int>(std::lround(1440.0 / Dpi(true))));
}
int TwipsPerPixelY() {
    return std::max(1, static_cast<int>(std::lround(1440.0 / Dpi(false))));
}

int ToPixelsX(int twips) {
    return static_cast<int>(std::lround(twips * Dpi(true) / 1440.0));
}
int ToPixelsY(int twips) {
    return static_cast<int>(std::lround(twips * Dpi(false) / 1440.0));
}
int ToTwipsX(int pixels) {
    return static_cast<int>(std::lround(pixels * 1440.0 / Dpi(true)));
}
int ToTwipsY(int pixels) {
    return static_cast<int>(std::lround(pixels * 1440.0 / Dpi(false)));
}

QRect TwipsRect(int left, int top, int width, int height) {
    return {ToPixelsX(left), ToPixelsY(top), ToPixelsX(width), ToPixelsY(height)};
}

} // namespace platform
