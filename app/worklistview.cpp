#include "worklistview.h"

#include "worklistmodel.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>
#include <vector>

namespace {

// Horizontal room the style keeps around a cell's text.
int textMargin(const QWidget* view)
{
    return 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
}

// Shows a cell's whole text when the cell is too narrow for it, and nothing otherwise.
class CutTextDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        if (event->type() != QEvent::ToolTip)
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QString text = index.data().toString();
        const int room = option.rect.width() - textMargin(view);
        if (text.isEmpty() || option.fontMetrics.horizontalAdvance(text) <= room) {
            QToolTip::hideText();
            return true;
        }
        QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
        return true;
    }
};

// Draws the keyboard focus as a dotted frame, as a Windows list does. The desktop style may
// fill it with a tint of the selection colour, and a row that only has the focus must not look
// chosen.
class FocusFrameStyle final : public QProxyStyle
{
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override
    {
        if (element != PE_FrameFocusRect) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        if (!(option->state & State_KeyboardFocusChange))
            return;
        painter->save();
        const QPalette::ColorRole role =
            option->state & State_Selected ? QPalette::HighlightedText : QPalette::Text;
        painter->setPen(QPen(option->palette.color(role), 1, Qt::DotLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
        painter->restore();
    }
};

// How many of a column's longest texts are measured: text length and drawn width go together
// closely enough that the widest text is among them, and measuring all of 100,000 rows would
// hold the window.
constexpr int fitCandidates = 64;

} // namespace

WorklistView::WorklistView(QWidget* parent) : QTreeView(parent)
{
    setItemDelegate(new CutTextDelegate(this));
    auto* focusStyle = new FocusFrameStyle;
    focusStyle->setParent(this);
    setStyle(focusStyle);
    // The view's own fit measures only the rows in sight.
    disconnect(header(), SIGNAL(sectionHandleDoubleClicked(int)), this,
               SLOT(resizeColumnToContents(int)));
    connect(header(), &QHeaderView::sectionHandleDoubleClicked, this,
            &WorklistView::fitColumnToContents);
}

void WorklistView::fitColumnToContents(int column)
{
    QAbstractItemModel* list = model();
    if (!list || column < 0 || column >= list->columnCount())
        return;
    std::vector<QString> texts;
    texts.reserve(size_t(list->rowCount()));
    for (int row = 0; row < list->rowCount(); ++row)
        texts.push_back(list->index(row, column).data().toString());
    const auto longest =
        texts.begin() + std::min<qsizetype>(fitCandidates, qsizetype(texts.size()));
    std::partial_sort(texts.begin(), longest, texts.end(),
                      [](const QString& a, const QString& b) { return a.size() > b.size(); });
    int width = 0;
    for (auto it = texts.begin(); it != longest; ++it)
        width = std::max(width, fontMetrics().horizontalAdvance(*it));
    width += textMargin(this);
    width = std::max(width, header()->sectionSizeHint(column));
    header()->resizeSection(column, width);
}

void WorklistView::setModel(QAbstractItemModel* model)
{
    if (m_worklist)
        disconnect(m_worklist, nullptr, this, nullptr);
    QTreeView::setModel(model);
    m_worklist = qobject_cast<WorklistModel*>(model);
    if (!m_worklist)
        return;
    // Connected after the view's and the selection's own handlers, so these run last.
    connect(m_worklist, &QAbstractItemModel::modelAboutToBeReset, this,
            &WorklistView::rememberChoice);
    connect(m_worklist, &QAbstractItemModel::modelReset, this, &WorklistView::restoreChoice);
    connect(m_worklist, &QAbstractItemModel::layoutChanged, this, &WorklistView::scrollToChoice);
}

int WorklistView::selectedRow() const
{
    const QModelIndexList rows =
        selectionModel() ? selectionModel()->selectedRows() : QModelIndexList();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void WorklistView::keyPressEvent(QKeyEvent* event)
{
    QTreeView::keyPressEvent(event);
    // Home on the current first row moves nothing, so the view would select nothing; a row
    // that shows only the focus frame must be chosen by these keys all the same.
    switch (event->key()) {
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        selectCurrentRow();
        break;
    default:
        break;
    }
}

void WorklistView::selectCurrentRow()
{
    if (!model() || model()->rowCount() == 0)
        return;
    QModelIndex current = currentIndex();
    if (!current.isValid()) {
        current = model()->index(0, 0);
        setCurrentIndex(current); // selects it too
    }
    if (!selectionModel()->isRowSelected(current.row(), current.parent()))
        selectionModel()->select(current,
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void WorklistView::rememberChoice()
{
    m_chosen.reset();
    if (const WorklistRow* row = m_worklist->rowAt(selectedRow()))
        m_chosen = *row;
    m_currentRow = currentIndex().row();
    m_currentIsChosen = m_chosen && m_currentRow == selectedRow();
}

void WorklistView::restoreChoice()
{
    // Only the chosen entry is looked for (a million rows take a moment to search); the focus
    // stays where it was unless it was on that entry.
    const int chosen = m_chosen ? m_worklist->viewRowOf(*m_chosen) : -1;
    const int current = m_currentIsChosen                    ? chosen
                        : m_currentRow < model()->rowCount() ? m_currentRow
                                                             : -1;
    m_chosen.reset();
    // A new list must not pull the view away from where the user has scrolled to.
    const bool scrolls = hasAutoScroll();
    setAutoScroll(false);
    if (current >= 0)
        selectionModel()->setCurrentIndex(model()->index(current, 0),
                                          QItemSelectionModel::NoUpdate);
    if (chosen >= 0)
        selectionModel()->select(model()->index(chosen, 0),
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    setAutoScroll(scrolls);
}

void WorklistView::scrollToChoice()
{
    const int chosen = selectedRow();
    if (chosen >= 0)
        scrollTo(model()->index(chosen, 0));
}
