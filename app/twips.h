#pragma once

#include <cmath>

// Window positions, sizes and column widths are kept in twips (1/1440 inch) so that saved
// widths and the layout rules mean the same on every screen; this is the one place where
// they meet pixels. `dpi` is the widget's logical dots per inch (96 on most desktops, where
// 15 twips make one pixel).
namespace Twips {

constexpr double perInch = 1440.0;

[[nodiscard]] inline int toPixels(double twips, double dpi)
{
    return static_cast<int>(std::lround(twips * dpi / perInch));
}

[[nodiscard]] inline double fromPixels(double pixels, double dpi)
{
    return pixels * perInch / dpi;
}

} // namespace Twips
