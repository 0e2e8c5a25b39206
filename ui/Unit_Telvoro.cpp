#include "ui/Unit_Telvoro.h"

#include "core/GbkTexts.h"
#include "core/TextRules.h"
#include "files/shell/ShellOpen.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"
#include "ui/AccessibleWindows.h"
#include "ui/ChineseFileDialog.h"
#include "ui/FormScale.h"
#include "ui/GbkField.h"
#include "ui/GbkTextEdit.h"
#include "ui/GroupBoxStyle.h"
#include "ui/OperatorAids.h"
#include "ui/OperatorTexts.h"
#include "ui/RecipientModel.h"
#include "ui/RecipientView.h"
#include "ui/SetupStatus.h"
#include "ui/TemplatesEditor.h"
#include "ui/UiCommon.h"
#include "ui/Unit_EditSendTel.h"
#include "ui_Unit_Telvoro.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCompleter>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <utility>

namespace telvoro::ui {

namespace {

// The caption shown in a menu: an "&" stays an "&" and a TAB is not a
// shortcut column, so the caption reads exactly as the title.
QString MenuCaption(const QString& title) {
    QString caption = title;
    caption.replace(u'&', QStringLiteral("&&"));
    caption.replace(u'\t', u' ');
    return caption;
}

// Hides every completion list of `dialog` that is still up.
void HideCompletions(QFileDialog& dialog) {
    for (QCompleter* completer : dialog.findChildren<QCompleter*>())
        if (QWidget* popup = completer->popup(); popup != nullptr && popup->isVisible())
            popup->hide();
}

// The status line of a new installation, in the free space between
// "连接服务器" and "发送".
SetupStatus* StatusLine(const QWidget& window) {
    return window.findChild<SetupStatus*>(QStringLiteral("SetupStatus"));
}

} // namespace

TFrm_Telvoro::TFrm_Telvoro(telvoro::ProgramFolder programFolder, client::SessionOptions options,
                           QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint),
      session_(std::make_unique<client::ClientSession>(
          std::move(programFolder), static_cast<client::ClientView&>(*this), std::move(options))),
      ui_(std::make_unique<Ui::TFrm_Telvoro>()) {
    BuildControls();
    FormCreate();
}

TFrm_Telvoro::~TFrm_Telvoro() {
    if (Timer_Read != nullptr) Timer_Read->stop();
    // The view and its model go before the list they show: as Qt children
    // they would otherwise outlive the session that owns the list.
    ui_->ListView1->setModel(nullptr);
    delete model_;
    model_ = nullptr;
}

void TFrm_Telvoro::BuildControls() {
    // The form holds the controls' places, captions and first states; here
    // is what it cannot hold.
    setFont(UiFont());
    auto* form = new QWidget;
    ui_->setupUi(form);
    setWindowTitle(form->windowTitle());
    setAutoFillBackground(true);
    form->setParent(this);
    form_ = form;
    formSize_ = form->size();
    SetSize(formSize_);
    move(791, 90); // where the window stays when it cannot be placed
    AnnounceWindows();
    ui_->GroupBox1->setStyle(GroupBoxLook());
    ui_->GroupBox2->setStyle(GroupBoxLook());

    model_ = new RecipientModel(session_->Recipients(), this);
    RecipientView* list = ui_->ListView1;
    list->setModel(model_);
    QHeaderView* vertical = list->verticalHeader();
    vertical->setMinimumSectionSize(1);
    vertical->setSectionResizeMode(QHeaderView::Fixed);
    vertical->setDefaultSectionSize(QFontMetrics(font()).height() + 4);
    QHeaderView* header = list->horizontalHeader();
    header->setSectionsClickable(false); // a header click does nothing
    header->setSectionsMovable(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    // The stated widths, also where the style's header wants wider sections.
    header->setMinimumSectionSize(1);
    for (int c = 0; c < RecipientModel::ColumnCount; ++c)
        header->resizeSection(c, RecipientModel::ColumnWidth(c));

    SumLen();
    ui_->Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    ui_->Edit_Test->hide();

    Timer_Read = new QTimer(this);
    Timer_Read->setObjectName(QStringLiteral("Timer_Read"));
    Timer_Read->setInterval(client::kHandoffTickInterval);

    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    PrepareFileDialog(*SaveDialog1, ToQString(session_->Folder().Path()));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, true);
    SaveDialog1->setDefaultSuffix(QStringLiteral("dat"));
    SaveDialog1->selectFile(QStringLiteral("SendList.dat"));
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    PrepareFileDialog(*OpenDialog1, ToQString(session_->Folder().Path()));
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::AnyFile);
    OpenDialog1->setDefaultSuffix(QStringLiteral("dat"));
    // The proposed name "*.dat" lists the .dat files from the first showing on.
    OpenDialog1->setNameFilter(QStringLiteral("*.dat"));
    OpenDialog1->selectFile(QStringLiteral("*.dat"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    N1 = PopupMenu1->addAction(ShowGbk(gbk::kMenuEditTemplates));
    N1->setObjectName(QStringLiteral("N1"));
    N2 = PopupMenu1->addSeparator();
    N2->setObjectName(QStringLiteral("N2"));

    for (QPushButton* b : {ui_->Btn_Save, ui_->Btn_Load, ui_->Btn_Edit, ui_->Btn_Modal,
                           ui_->Btn_Conn, ui_->Btn_Begin, ui_->Btn_Stop})
        b->installEventFilter(this);

    connect(ui_->Btn_Conn, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_ConnClick);
    connect(ui_->Btn_Begin, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_BeginClick);
    connect(ui_->Btn_Stop, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_StopClick);
    connect(ui_->Btn_Save, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_SaveClick);
    connect(ui_->Btn_Load, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_LoadClick);
    connect(ui_->Btn_Edit, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_EditClick);
    connect(ui_->CheckBox1, &QCheckBox::toggled, this, &TFrm_Telvoro::CheckBox1Click);
    connect(ui_->Btn_Modal, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_ModalClick);
    connect(N1, &QAction::triggered, this, &TFrm_Telvoro::N1Click);
    connect(ui_->Memo1, &QPlainTextEdit::textChanged, this, &TFrm_Telvoro::Memo1Change);
    connect(Timer_Read, &QTimer::timeout, this, &TFrm_Telvoro::Timer_ReadTimer);
}

void TFrm_Telvoro::FormCreate() {
    session_->ReadAccount();
    // From here an error ends the start-up where it occurs and is reported.
    session_->EnterHandler();
    RunGuarded(nullptr, [this] { session_->Start(); });
    static_cast<void>(session_->LeaveHandler());
    // In the free space between "连接服务器" and "发送", on the form with them.
    auto* status = new SetupStatus(*session_, ui_->Btn_Conn->parentWidget());
    status->setGeometry(91, 513, 106, 34);
    if (scale_ != 1.0) SetSize(ScaleForm(*this, *form_, scale_));
    status->CheckAccountFile();
    AddOperatorAids(*this, *ui_, *session_);
}

void TFrm_Telvoro::AddTemplateEntries(const std::vector<TemplateMenuEntry>& entries) {
    for (const TemplateMenuEntry& entry : entries) {
        QAction* action = PopupMenu1->addAction(MenuCaption(ShowGbk(entry.caption)));
        action->setObjectName(QString::fromLatin1(entry.name));
        // SendClick searches the file for the caption's own bytes.
        action->setData(
            QByteArray(entry.caption.data(), static_cast<qsizetype>(entry.caption.size())));
        connect(action, &QAction::triggered, this, [this, action] { SendClick(action); });
    }
}

void TFrm_Telvoro::Handle(const std::function<void()>& body) {
    session_->EnterHandler();
    RunGuarded(this, body);
    if (session_->LeaveHandler()) close();
}

bool TFrm_Telvoro::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (enter && button != nullptr && button->isEnabled() &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            button->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

int TFrm_Telvoro::RunFileDialog(QFileDialog& dialog) {
    const int result = Dialogs().Exec(dialog);
    HideCompletions(dialog);
    return result;
}

void TFrm_Telvoro::closeEvent(QCloseEvent* event) {
    if (!session_->MayClose()) {
        event->ignore();
        return;
    }
    Timer_Read->stop();
    PopupMenu1->close();
    event->accept();
}

void TFrm_Telvoro::Btn_ConnClick() {
    Handle([this] { session_->Connect(); });
}

void TFrm_Telvoro::Btn_BeginClick() {
    // A second press while a job runs is refused by the session.
    Handle([this] { session_->Send(); });
}

void TFrm_Telvoro::Btn_StopClick() {
    Handle([this] { session_->RequestClose(); });
}

void TFrm_Telvoro::Btn_SaveClick() {
    Handle([this] {
        if (RunFileDialog(*SaveDialog1) != QDialog::Accepted) return;
        const QString chosen = SaveDialog1->selectedFiles().value(0);
        if (chosen.isEmpty()) return;
        SaveDialog1->selectFile(chosen); // proposed again next time
        session_->SaveList(ToFsPath(chosen));
    });
}

void TFrm_Telvoro::Btn_LoadClick() {
    Handle([this] {
        if (session_->RefuseWhileBusy()) return;
        QString chosen;
        for (;;) {
            if (RunFileDialog(*OpenDialog1) != QDialog::Accepted) return;
            chosen = OpenDialog1->selectedFiles().value(0);
            if (chosen.isEmpty()) return;
            // A name with wildcards (the proposed "*.dat" among them) picks
            // which files the dialog lists; it is not a file to open.
            const QString name = QFileInfo(chosen).fileName();
            if (!name.contains(u'*') && !name.contains(u'?')) break;
            OpenDialog1->setDirectory(QFileInfo(chosen).absolutePath());
            OpenDialog1->setNameFilter(name);
            OpenDialog1->selectFile(name);
        }
        // The "*.dat" filter serves the first showing only: from now on the
        // dialog proposes the file last chosen, among all files.
        OpenDialog1->setNameFilters({});
        OpenDialog1->selectFile(chosen);
        session_->LoadList(ToFsPath(chosen)); // refused when the list became busy meanwhile
    });
}

void TFrm_Telvoro::Btn_EditClick() {
    Handle([this] {
        session_->Edit([this](const std::vector<std::string>& phoneLines)
                           -> std::optional<std::vector<std::string>> {
            TFrm_EditSendTel dialog(this);
            // Filled with yield steps, so the window goes on painting.
            dialog.SetLines(phoneLines, [this] { session_->YieldStep(); });
            // A close asked for while the dialog was being filled wins.
            if (session_->Closing()) return std::nullopt;
            Dialogs().Exec(dialog);
            if (dialog.ResultText != QStringLiteral("Ok")) return std::nullopt;
            return dialog.ShownLinesGbk();
        });
    });
}

void TFrm_Telvoro::CheckBox1Click() {
    Handle([this] { session_->SetAllChecked([this] { return ui_->CheckBox1->isChecked(); }); });
}

void TFrm_Telvoro::Btn_ModalClick() {
    Handle([this] { PopupMenu1->popup(TemplateMenuPoint()); });
}

void TFrm_Telvoro::N1Click() {
    Handle([this] {
        const std::filesystem::path file = session_->Folder().TemplatesFile();
        // Without notepad.exe, the program's own editor reads the GBK file,
        // in a process of its own as notepad would be.
        if (!ShellOpen("notepad.exe", file))
            TemplatesEditor::StartDetached(QCoreApplication::applicationFilePath(), file);
    });
}

void TFrm_Telvoro::SendClick(QAction* entry) {
    Handle([this, entry] {
        if (entry == nullptr) return;
        const QByteArray caption = entry->data().toByteArray();
        const std::optional<std::string> content = session_->TemplateContent(
            std::string_view(caption.constData(), static_cast<std::size_t>(caption.size())));
        if (!content) return;
        // Strict: a content that is not GBK is reported, never shown garbled.
        ui_->Memo1->setPlainText(FromGbk(*content));
    });
}

void TFrm_Telvoro::Memo1Change() {
    Handle([this] { SumLen(); });
}

void TFrm_Telvoro::SumLen() {
    QLabel* count = ui_->Label_Count;
    count->setText(ShowGbk(SumLenCaption(MessageText())));
    count->adjustSize();
    // At its place while it ends inside the group box's frame; a longer
    // count grows to the left instead of into the frame.
    constexpr int kLeft = 260;
    constexpr int kFrameAndGap = 3;
    const int inside = ui_->GroupBox2->width() - kFrameAndGap;
    count->move(std::min(kLeft, inside - count->width()), count->y());
}

void TFrm_Telvoro::Timer_ReadTimer() {
    Handle([this] { session_->HandoffTick(); });
}

// ClientView

std::string TFrm_Telvoro::AccountNumber() {
    return FieldGbk(ui_->Edit_CallNo);
}

std::string TFrm_Telvoro::MessageText() {
    return ui_->Memo1->GbkTextCrLf();
}

bool TFrm_Telvoro::SelfCheckOn() {
    return ui_->Check_Stop->isChecked();
}

std::string TFrm_Telvoro::SelfCheckNumber() {
    return FieldGbk(ui_->Edit_Test);
}

std::string TFrm_Telvoro::DisplayedBalance() {
    return FieldGbk(ui_->Edit_YuE);
}

void TFrm_Telvoro::SetDisplayedBalance(const std::string& text) {
    SetFieldGbk(ui_->Edit_YuE, text);
}

void TFrm_Telvoro::SetProgressPosition(int position) {
    ui_->ProgressBar1->setValue(position);
}

void TFrm_Telvoro::SetProgressMaximum(int maximum) {
    ui_->ProgressBar1->setMaximum(maximum);
}

void TFrm_Telvoro::ShowNotice(const std::string& text, const std::string& caption) {
    // The stated text stays as it is; below it, why and what to do.
    const QString details =
        text == gbk::kMsgNotRegistered
            ? NotRegisteredHelp(session_->Folder(),
                                QString::fromStdString(session_->ShownServerSetting()),
                                ui_->Edit_CallNo->text())
        : text == gbk::kMsgSendError ? PartialJobText(session_->LastSendReport())
                                     : QString();
    ui::ShowNotice(this, ShowGbk(text), ShowGbk(caption), details);
}

void TFrm_Telvoro::ShowAccountNumber(const std::string& account) {
    SetFieldGbk(ui_->Edit_CallNo, account);
    SetFieldGbk(ui_->Edit_Test, FieldGbk(ui_->Edit_CallNo));
}

void TFrm_Telvoro::PlaceWindow() {
    PlaceTopRight();
}

void TFrm_Telvoro::ShowConnected() {
    for (QWidget* w : {static_cast<QWidget*>(ui_->Btn_Begin), static_cast<QWidget*>(ui_->Btn_Modal),
                       static_cast<QWidget*>(ui_->ListView1), static_cast<QWidget*>(ui_->Memo1),
                       static_cast<QWidget*>(ui_->Btn_Save), static_cast<QWidget*>(ui_->Btn_Load),
                       static_cast<QWidget*>(ui_->Btn_Edit)})
        w->setEnabled(true);
    ui_->Btn_Conn->setEnabled(false);
    setWindowTitle(ShowGbk(gbk::kCaptionConnected));
    if (SetupStatus* status = StatusLine(*this)) status->ShowConnected();
}

void TFrm_Telvoro::ShowConnectFailed() {
    setWindowTitle(ShowGbk(gbk::kCaptionConnectFailed));
    if (SetupStatus* status = StatusLine(*this))
        status->ShowConnectFailure(session_->ConnectFailure());
}

void TFrm_Telvoro::StartHandoffTimer() {
    Timer_Read->start();
}

void TFrm_Telvoro::StopHandoffTimer() {
    Timer_Read->stop();
}

void TFrm_Telvoro::SignalRefusal() {
    // The list's actions show no messages of their own: the refusal is the alert sound.
    QApplication::beep();
}

void TFrm_Telvoro::EditLater() {
    QTimer::singleShot(0, this, [this] { Btn_EditClick(); });
}

void TFrm_Telvoro::CloseWindow() {
    close();
}

} // namespace telvoro::ui
