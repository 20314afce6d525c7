#include "statusline.h"

#include "twips.h"

#include <algorithm>
#include <cmath>

namespace {

// WCAG's relative luminance and contrast ratio.
double luminance(const QColor& color)
{
    auto channel = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

StatusLine::StatusLine(QWidget* parent) : QLabel(parent)
{
    setObjectName(QStringLiteral("lblStatus"));
    setFont(arialFont(14, false));
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setAccessibleDescription(QStringLiteral("Stand der Liste"));
}

void StatusLine::say(const QString& text, bool warning)
{
    if (text != this->text())
        setText(text);
    if (warning == m_warning)
        return;
    m_warning = warning;
    QPalette colours = parentWidget() ? parentWidget()->palette() : palette();
    setAutoFillBackground(false);
    if (warning) {
        const QColor background = colours.color(QPalette::Window);
        const QColor red =
            background.lightnessF() > 0.5 ? QColor(0xB0, 0x00, 0x20) : QColor(0xFF, 0x8A, 0x80);
        if (contrast(red, background) >= 4.5) {
            colours.setColor(QPalette::WindowText, red);
        } else {
            colours.setColor(QPalette::Window, colours.color(QPalette::Highlight));
            colours.setColor(QPalette::WindowText, colours.color(QPalette::HighlightedText));
            setAutoFillBackground(true);
        }
    }
    setPalette(colours);
    QFont bold = font();
    bold.setBold(warning);
    setFont(bold);
}
