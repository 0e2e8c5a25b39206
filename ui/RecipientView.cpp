#include "ui/RecipientView.h"

#include "ui/UiCommon.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <optional>

namespace telvoro::ui {

namespace {

// Draws the rows: the first column with its narrow check box, the others as
// the style draws them. No cell draws a focus frame; the view draws one
// around the whole current row.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        opt.state &= ~QStyle::State_HasFocus;
        const QWidget* widget = opt.widget;
        const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        if (!(opt.features & QStyleOptionViewItem::HasCheckIndicator)) {
            // A text wider than the style's place for it gets the whole cell
            // less a pixel each side, and a smaller or narrower font if need be.
            const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, &opt, widget) + 1;
            if (opt.text.isEmpty() || QFontMetrics(opt.font).horizontalAdvance(opt.text) <=
                                          opt.rect.width() - 2 * margin) {
                style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
                return;
            }
            const QString text = opt.text;
            opt.text.clear();
            style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
            DrawWhole(painter, opt, opt.rect.adjusted(1, 0, -1, 0), text);
            return;
        }
        painter->save();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

        QStyleOptionViewItem check = opt;
        check.rect = RecipientView::CheckRect(opt.rect);
        check.state &= ~(QStyle::State_On | QStyle::State_Off | QStyle::State_NoChange);
        check.state |= opt.checkState == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
        style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);

        opt.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
        DrawWhole(painter, opt, RecipientView::NumberRect(opt.rect), opt.text);
        painter->restore();
    }

    // Draws `text` in `box` whole: in the cell's font when it fits, else in the
    // largest smaller or narrower font that does; elided only when even the
    // smallest legible one is too wide (its tool tip holds it whole).
    static void DrawWhole(QPainter* painter, const QStyleOptionViewItem& opt, const QRect& box,
                          const QString& text) {
        QFont font = opt.font;
        QString shown = text;
        if (QFontMetricsF(font).horizontalAdvance(text) > box.width()) {
            if (const std::optional<QFont> fitting = FittingFont(font, text, box.width()))
                font = *fitting;
            else
                shown = QFontMetrics(font).elidedText(text, Qt::ElideRight, box.width());
        }
        const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (opt.state & QStyle::State_Active)
                                               ? QPalette::Normal
                                               : QPalette::Inactive;
        painter->save();
        painter->setPen(opt.palette.color(group, (opt.state & QStyle::State_Selected)
                                                     ? QPalette::HighlightedText
                                                     : QPalette::Text));
        painter->setFont(font);
        painter->drawText(box, int(opt.displayAlignment) | Qt::TextSingleLine, shown);
        painter->restore();
    }

    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override {
        const Qt::ItemFlags flags = index.flags();
        if (!(flags & Qt::ItemIsUserCheckable) || !(flags & Qt::ItemIsEnabled)) return false;
        const QEvent::Type type = event->type();
        if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
            type != QEvent::MouseButtonDblClick)
            return false;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton ||
            !RecipientView::CheckRect(option.rect).contains(mouse->position().toPoint()))
            return false;
        // A press on the box is taken, so that it neither selects nor edits.
        if (type != QEvent::MouseButtonRelease) return true;
        const bool on = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        return model->setData(index, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    }

    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override {
        if (index.flags() & Qt::ItemIsUserCheckable)
            editor->setGeometry(RecipientView::NumberRect(option.rect));
        else
            QStyledItemDelegate::updateEditorGeometry(editor, option, index);
    }
};

} // namespace

RecipientView::RecipientView(QWidget* parent) : QTableView(parent) {
    setItemDelegate(new RowDelegate(this));
    // Editing starts by a second click on the selected row or by F2 only.
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
}

QRect RecipientView::CheckRect(const QRect& cell) {
    constexpr int kBox = 11;
    return {cell.left() + 1, cell.top() + (cell.height() - kBox) / 2, kBox, kBox};
}

QRect RecipientView::NumberRect(const QRect& cell) {
    const int left = CheckRect(cell).right() + 1;
    return {left, cell.top(), cell.right() - left + 1, cell.height()};
}

void RecipientView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // Ticks the current row, whichever of its cells is current.
        const QModelIndex box = currentIndex().siblingAtColumn(0);
        if (box.isValid() && (box.flags() & Qt::ItemIsUserCheckable) &&
            (box.flags() & Qt::ItemIsEnabled)) {
            const bool on = box.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            model()->setData(box, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        }
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

QModelIndex RecipientView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    if ((action == MoveHome || action == MoveEnd) && model() != nullptr) {
        const int rows = model()->rowCount(rootIndex());
        if (rows == 0) return {};
        const int column = currentIndex().isValid() ? currentIndex().column() : 0;
        return model()->index(action == MoveHome ? 0 : rows - 1, column, rootIndex());
    }
    return QTableView::moveCursor(action, modifiers);
}

bool RecipientView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    // Whatever cell of the row was clicked or is current, the first column is
    // the one edited.
    if (index.isValid() && index.column() != 0 &&
        (trigger == SelectedClicked || trigger == EditKeyPressed || trigger == AllEditTriggers))
        return QTableView::edit(index.siblingAtColumn(0), trigger, event);
    return QTableView::edit(index, trigger, event);
}

void RecipientView::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    if (!hasFocus() || model() == nullptr) return;
    const QModelIndex current = currentIndex();
    QRect frame;
    bool onSelection = false;
    if (current.isValid()) {
        frame = visualRect(current.siblingAtColumn(0))
                    .united(visualRect(current.siblingAtColumn(model()->columnCount() - 1)));
        if (!frame.intersects(viewport()->rect())) return; // scrolled out of sight
        onSelection = selectionModel() != nullptr && selectionModel()->isSelected(current);
    } else {
        frame = viewport()->rect();
    }
    QPainter painter(viewport());
    QPen pen(palette().color(onSelection ? QPalette::HighlightedText : QPalette::Text));
    pen.setStyle(Qt::DotLine);
    pen.setWidth(0);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(frame.adjusted(0, 0, -1, -1));
}

void RecipientView::focusInEvent(QFocusEvent* event) {
    if (left_.isValid() && !currentIndex().isValid() && selectionModel() != nullptr) {
        // Back where the keyboard was, without scrolling there.
        const bool scrolls = hasAutoScroll();
        setAutoScroll(false);
        selectionModel()->setCurrentIndex(left_, QItemSelectionModel::NoUpdate);
        setAutoScroll(scrolls);
    }
    left_ = QPersistentModelIndex();
    QTableView::focusInEvent(event);
    viewport()->update();
}

void RecipientView::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    // Assistive technology takes the current cell for the focused one: with
    // the focus elsewhere the list has none, until the focus comes back.
    // An editor of a cell or a popup of the list keeps it.
    const QWidget* now = QApplication::focusWidget();
    if (now != this && !isAncestorOf(now) && currentIndex().isValid() &&
        selectionModel() != nullptr) {
        left_ = currentIndex();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
    viewport()->update();
}

void RecipientView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    viewport()->update();
}

} // namespace telvoro::ui
