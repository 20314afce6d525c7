#include "twips.h"

#include <QWidget>

namespace Twips {

void place(QWidget* widget, double left, double top, double width, double height)
{
    const double dpi = widget->logicalDpiX();
    widget->setGeometry(toPixels(left, dpi), toPixels(top, dpi), toPixels(width, dpi),
                        toPixels(height, dpi));
}

} // namespace Twips

QFont arialFont(double points, bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}
