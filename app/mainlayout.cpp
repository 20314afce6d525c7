#include "mainlayout.h"

#include "settingsstore.h"

namespace {

constexpr double listWidthAllowance = 250;
constexpr double listHeightAllowance = 2000;
constexpr double buttonRowOffset = 1870;
constexpr double closeButtonOffset = 3500;
constexpr std::array<double, 4> columnShares = {12, 38, 12, 38};

std::optional<double> nonNegative(double value)
{
    return value >= 0 ? std::optional<double>(value) : std::nullopt;
}

} // namespace

MainLayout computeMainLayout(const MainLayoutInput& input)
{
    MainLayout layout;
    layout.listWidth = nonNegative(input.outerWidth - listWidthAllowance);
    layout.listHeight = nonNegative(input.outerHeight - listHeightAllowance);

    if (input.savedColumnWidths[0].isEmpty()) {
        // Column 5 is left alone: the four shares already fill the list's width.
        const double unit = layout.listWidth.value_or(input.currentListWidth) / 100.0;
        for (std::size_t i = 0; i < columnShares.size(); ++i)
            layout.columnWidths[i] =
                static_cast<double>(static_cast<float>(unit * columnShares[i]));
    } else {
        for (std::size_t i = 0; i < layout.columnWidths.size(); ++i)
            layout.columnWidths[i] = parseColumnWidth(input.savedColumnWidths[i], input.locale);
    }

    layout.closeTop = input.outerHeight - buttonRowOffset;
    layout.closeLeft = input.outerWidth - closeButtonOffset;
    layout.refreshTop = input.outerHeight - buttonRowOffset;
    return layout;
}
