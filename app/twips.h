#pragma once

#include <QFont>

#include <cmath>

class QWidget;

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

// Sets `widget`'s geometry, given in twips, at the widget's own logical dpi.
void place(QWidget* widget, double left, double top, double width, double height);

} // namespace Twips

// Arial in points, as both windows use it (Liberation Sans stands in where Arial is missing).
[[nodiscard]] QFont arialFont(double points, bool bold);
