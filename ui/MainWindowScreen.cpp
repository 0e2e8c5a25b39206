// The main window on the screen: its place at the top right of the work
// area, its size shrunk as a whole where the work area is too small, and what
// it shows while a database call waits for another program's lock.

#include "ui/FormScale.h"
#include "ui/RecipientModel.h"
#include "ui/SetupStatus.h"
#include "ui/Unit_Telvoro.h"
#include "ui_Unit_Telvoro.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>

namespace telvoro::ui {

void TFrm_Telvoro::PlaceTopRight() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    QMargins frame;
    if (const QWindow* w = windowHandle()) frame = w->frameMargins();
    placed_ = true;
    placedWithFrame_ = !frame.isNull();
    const QRect area = screen->availableGeometry();
    // On a work area too small for it the whole form shrinks to fit.
    FitForm(FitScale(formSize_, frame, area));
    const QSize outer(width() + frame.left() + frame.right(),
                      height() + frame.top() + frame.bottom());
    // The work area's own offset is not added: the left edge counts from x = 0.
    move(KeepInArea(QPoint(area.width() - outer.width() - 3, 3), outer, area));
}

void TFrm_Telvoro::FitForm(double factor) {
    if (factor == scale_) return;
    scale_ = factor;
    SetSize(ScaleForm(*this, *form_, factor));
    QHeaderView* header = ui_->ListView1->horizontalHeader();
    // The header takes the item views' own font from the desktop theme.
    header->setFont(font());
    for (int c = 0; c < RecipientModel::ColumnCount; ++c)
        header->resizeSection(c, std::max(1, int(RecipientModel::ColumnWidth(c) * factor)));
    ui_->ListView1->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 4);
    SetDisplayedBalance(DisplayedBalance()); // its number in the new font
}

void TFrm_Telvoro::SetSize(QSize size) {
    setFixedSize(size);
    form_->setGeometry(QRect(QPoint(), size));
}

QPoint TFrm_Telvoro::TemplateMenuPoint() const {
    const QRect outer = frameGeometry();
    return {outer.x() + ui_->Btn_Modal->x() + 3,
            outer.y() + ui_->Btn_Modal->y() + ui_->Btn_Modal->height() + 25};
}

void TFrm_Telvoro::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!placed_ || placedWithFrame_) return;
    // The window manager tells the frame's size only once the window is
    // mapped; the window's outer width, which places it, includes the frame.
    QTimer::singleShot(100, this, [this] {
        if (const QWindow* w = windowHandle(); w != nullptr && !w->frameMargins().isNull())
            PlaceTopRight();
    });
}

void TFrm_Telvoro::ShowLockWait(bool waiting) {
    if (waiting != lockWaitShown_) {
        lockWaitShown_ = waiting;
        if (waiting)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
        if (auto* status = findChild<SetupStatus*>(QStringLiteral("SetupStatus")))
            status->ShowLockWait(waiting);
    }
    // Repaint and take a close request (kept until the call returns); keys
    // and clicks stay queued for when the call is over.
    if (waiting) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace telvoro::ui
