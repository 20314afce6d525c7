#pragma once

#include "worklistrow.h"

#include <QTreeView>

#include <optional>

class WorklistModel;

// The worklist's view. Only the user chooses a row, as in a Windows list: taking the focus
// (by Tab) shows the current row with a focus frame and selects nothing; Space, a click and
// every key that moves the current row select. The chosen row stays chosen when a new list
// arrives, as long as its entry is still in it, and a new order scrolls it into view. A cell
// cut short shows its whole text as a tool tip, and a double-click on a header divider fits
// that column to its widest text.
class WorklistView final : public QTreeView
{
    Q_OBJECT
public:
    explicit WorklistView(QWidget* parent = nullptr);

    // The view shows a WorklistModel; it keeps the chosen entry across that model's resets.
    void setModel(QAbstractItemModel* model) override;

    // Widens or narrows `column` to its widest text among all rows (not only the visible ones)
    // and its header.
    void fitColumnToContents(int column);
    // The selected row, or -1.
    [[nodiscard]] int selectedRow() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void selectCurrentRow();
    void rememberChoice();
    void restoreChoice();
    void scrollToChoice();

    WorklistModel* m_worklist = nullptr;
    // The entry of the selected row while the model is being reset.
    std::optional<WorklistRow> m_chosen;
    int m_currentRow = -1;          // the row with the focus frame, by its place
    bool m_currentIsChosen = false; // ... which was the chosen entry's
};
