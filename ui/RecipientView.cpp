#include "ui/RecipientView.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

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
            style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
            return;
        }
        painter->save();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

        QStyleOptionViewItem check = opt;
        check.rect = RecipientView::CheckRect(opt.rect);
        check.state &= ~(QStyle::State_On | QStyle::State_Off | QStyle::State_NoChange);
        check.state |= opt.checkState == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
        style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);

        const QRect box = RecipientView::NumberRect(opt.rect);
        QString text = opt.text;
        // Elided only when the number is wider than its place.
        if (QFontMetricsF(opt.font).horizontalAdvance(text) > box.width())
            text = QFontMetrics(opt.font).elidedText(text, Qt::ElideRight, box.width());
        const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (opt.state & QStyle::State_Active)
                                               ? QPalette::Normal
                                               : QPalette::Inactive;
        painter->setPen(opt.palette.color(group, (opt.state & QStyle::State_Selected)
                                                     ? QPalette::HighlightedText
                                                     : QPalette::Text));
        painter->setFont(opt.font);
        painter->drawText(box, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
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
    QTableView::focusInEvent(event);
    viewport()->update();
}

void RecipientView::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    viewport()->update();
}

void RecipientView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    viewport()->update();
}

} // namespace telvoro::ui
