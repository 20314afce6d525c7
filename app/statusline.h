#pragma once

#include <QLabel>

// The line beside the buttons that says how fresh the list is. Screen readers read it as any
// label. A warning stands out in red that is dark on a light desktop and light on a dark one;
// where neither reads well (a high-contrast theme), in the theme's own highlight colours.
class StatusLine final : public QLabel
{
    Q_OBJECT
public:
    explicit StatusLine(QWidget* parent = nullptr);

    void say(const QString& text, bool warning);

private:
    bool m_warning = false;
};
