#pragma once

#include <QLocale>
#include <QString>

#include <array>
#include <optional>

// The main window's layout rules, in twips, apart from any widget so they can be checked
// with exact numbers. Each step that cannot be carried out (a negative size, a saved width
// that is not a number) is left out on its own and the rest still happens.
struct MainLayoutInput
{
    double outerWidth = 0; // the whole window, frame and title bar included
    double outerHeight = 0;
    double currentListWidth = 0; // what the list has now; kept when the new width is impossible
    std::array<QString, 5> savedColumnWidths; // as read from Settings.ini
    QLocale locale;
};

struct MainLayout
{
    std::optional<double> listWidth;
    std::optional<double> listHeight;
    std::array<std::optional<double>, 5> columnWidths; // nullopt: the column keeps its width
    double closeTop = 0;
    double closeLeft = 0;
    double refreshTop = 0;
};

[[nodiscard]] MainLayout computeMainLayout(const MainLayoutInput& input);
