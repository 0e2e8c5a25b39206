#pragma once
// The main window: every operation of the program starts here, from a button,
// a menu entry, a change of the message text or the one-second hand-off timer.
// Each handler runs behind one boundary that turns an escaping error into the
// general error report and keeps close requests until the handler has returned.
// What the operations do is the client session's; the window holds the
// controls and shows what the session tells it.

#include "client/ClientSession.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QFileDialog;
class QMenu;
class QTimer;

namespace Ui {
class TFrm_Telvoro;
}

namespace telvoro::ui {

class RecipientModel;

class TFrm_Telvoro : public QWidget, private client::ClientView {
    Q_OBJECT
public:
    // `programFolder` holds the program's files (the program passes GetAppPath).
    // Every control's object name is its name in the form, e.g. "Btn_Begin".
    explicit TFrm_Telvoro(telvoro::ProgramFolder programFolder, client::SessionOptions options = {},
                          QWidget* parent = nullptr);
    ~TFrm_Telvoro() override;

    client::ClientSession& Session() { return *session_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    // Enter on a focused push button presses it.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Handlers, named after control and event.
    void Btn_ConnClick();
    void Btn_BeginClick();
    void Btn_StopClick();
    void Btn_SaveClick();
    void Btn_LoadClick();
    void Btn_EditClick();
    void CheckBox1Click();
    void Btn_ModalClick();
    void N1Click();
    void SendClick(QAction* entry);
    void Memo1Change();
    void Timer_ReadTimer();

    // Shows the character count of the message text in Label_Count.
    void SumLen();
    // Where Btn_ModalClick opens the template menu, in screen coordinates.
    QPoint TemplateMenuPoint() const;

    void BuildControls();
    void FormCreate();
    void PlaceTopRight();
    // Shows the form at `factor` of its designed size.
    void FitForm(double factor);
    // The window's fixed size; the form fills it.
    void SetSize(QSize size);
    // The handler boundary.
    void Handle(const std::function<void()>& body);
    // Runs a file dialog; no completion list of it stays on the screen after.
    int RunFileDialog(QFileDialog& dialog);

    // ClientView
    std::string AccountNumber() override;
    std::string MessageText() override;
    bool SelfCheckOn() override;
    std::string SelfCheckNumber() override;
    std::string DisplayedBalance() override;
    void SetDisplayedBalance(const std::string& text) override;
    void SetProgressPosition(int position) override;
    void SetProgressMaximum(int maximum) override;
    void ShowNotice(const std::string& text, const std::string& caption) override;
    void ShowAccountNumber(const std::string& account) override;
    void AddTemplateEntries(const std::vector<TemplateMenuEntry>& entries) override;
    void PlaceWindow() override;
    void ShowConnected() override;
    void ShowConnectFailed() override;
    void StartHandoffTimer() override;
    void StopHandoffTimer() override;
    void SignalRefusal() override;
    void EditLater() override;
    void CloseWindow() override;
    void ShowLockWait(bool waiting) override;

    std::unique_ptr<client::ClientSession> session_;
    RecipientModel* model_ = nullptr;

    std::unique_ptr<Ui::TFrm_Telvoro> ui_;
    // Holds the controls; shrunk as a whole on a work area too small for it.
    QWidget* form_ = nullptr;
    QSize formSize_; // as designed
    double scale_ = 1.0;
    bool lockWaitShown_ = false;
    // What the form cannot hold.
    QTimer* Timer_Read = nullptr;
    QFileDialog* SaveDialog1 = nullptr;
    QFileDialog* OpenDialog1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;

    // Placed by the start-up; placed again once the frame's size is known.
    bool placed_ = false;
    bool placedWithFrame_ = false;
};

} // namespace telvoro::ui
