#pragma once

#include <QRect>
#include <cmath>

// Window geometry is laid out in twips, 15 to the pixel, as the layout tables give it.
namespace quillon::chrome {

inline constexpr double kTwipsPerPixel = 15.0;

// Pixels from twips, rounded to the nearest whole pixel with halves to the even neighbour
// (std::nearbyint in the default rounding mode).
inline int px(double twips) {
    return static_cast<int>(std::nearbyint(twips / kTwipsPerPixel));
}

inline QRect pxRect(double left, double top, double width, double height) {
    return QRect(px(left), px(top), px(width), px(height));
}

inline double twips(int pixels) {
    return pixels * kTwipsPerPixel;
}

} // namespace quillon::chrome
