#pragma once
// The recipient list control: a report with a check box at the start of every
// row, answering the keys as a list control does. Space ticks or unticks the
// current row whatever column is current; Home and End go to the first and
// the last row; the first column is edited in place by a second click on the
// selected row or by F2, never by a typed key; the keyboard focus is drawn
// around the current row, or around the whole list when it has no current row.

#include <QPersistentModelIndex>
#include <QTableView>

namespace telvoro::ui {

class RecipientView : public QTableView {
    Q_OBJECT
public:
    explicit RecipientView(QWidget* parent = nullptr);

    // Where the first column draws its check box and its number, in a cell
    // of rectangle `cell`: a narrow box and no padding, so that four digits
    // fit the column's 40 pixels.
    static QRect CheckRect(const QRect& cell);
    static QRect NumberRect(const QRect& cell);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    // The current cell when the focus left the list; current again when it comes back.
    QPersistentModelIndex left_;
};

} // namespace telvoro::ui
