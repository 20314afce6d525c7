#pragma once

#include <QTreeView>

// The worklist's view. What the user sees as the chosen row is always the selected row: the
// list selects its current row when it takes the focus, and every key that moves the current
// row selects the row it lands on. A cell cut short shows its whole text as a tool tip, and a
// double-click on a header divider fits that column to its widest text.
class WorklistView final : public QTreeView
{
    Q_OBJECT
public:
    explicit WorklistView(QWidget* parent = nullptr);

    // Widens or narrows `column` to its widest text among all rows (not only the visible ones)
    // and its header.
    void fitColumnToContents(int column);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void selectCurrentRow();
};
