#include "ui/Unit_Telvoro.h"

#include "core/GbkTexts.h"
#include "core/TextRules.h"
#include "files/shell/ShellOpen.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"
#include "ui/GbkTextEdit.h"
#include "ui/OperatorTexts.h"
#include "ui/RecipientModel.h"
#include "ui/RecipientView.h"
#include "ui/SetupStatus.h"
#include "ui/TemplatesEditor.h"
#include "ui/UiCommon.h"
#include "ui/Unit_EditSendTel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCompleter>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyleOption>
#include <QTimer>
#include <QWindow>
#include <qdrawutil.h>
#include <utility>

namespace telvoro::ui {

namespace {

// A text field that shows GBK data keeps the bytes it was given, so data that
// only passes through the window (the account number) comes back byte for
// byte even when it is not displayable.
constexpr const char* kGbkProperty = "telvoroGbk";

void SetFieldGbk(QLineEdit* field, const std::string& bytes) {
    const QString shown = ShowGbk(bytes);
    field->setText(shown);
    field->setProperty(kGbkProperty,
                       QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    field->setProperty("telvoroShown", shown);
}

std::string FieldGbk(const QLineEdit* field) {
    const QVariant bytes = field->property(kGbkProperty);
    if (bytes.isValid() && field->property("telvoroShown").toString() == field->text()) {
        const QByteArray b = bytes.toByteArray();
        return std::string(b.constData(), static_cast<std::size_t>(b.size()));
    }
    return ToGbk(field->text());
}

// The caption shown in a menu: an "&" stays an "&" and a TAB is not a
// shortcut column, so the caption reads exactly as the title.
QString MenuCaption(const QString& title) {
    QString caption = title;
    caption.replace(u'&', QStringLiteral("&&"));
    caption.replace(u'\t', u' ');
    return caption;
}

// A group box as on the platform the program comes from: the frame line runs
// at the middle of the caption's height, and the caption, in the box's own
// font, stands on it with the background behind it. So what sits just below
// the top edge (the recipient list's header) lies inside the frame.
class GroupBoxStyle final : public QProxyStyle {
public:
    static constexpr int kCaptionLeft = 8;
    static constexpr int kCaptionPadding = 2;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || box == nullptr)
            return QProxyStyle::subControlRect(control, option, sub, widget);
        const QFontMetrics metrics = widget != nullptr ? widget->fontMetrics() : box->fontMetrics;
        const int captionHeight = metrics.height();
        const QRect r = box->rect;
        switch (sub) {
        case SC_GroupBoxFrame:
            return r.adjusted(0, captionHeight / 2, 0, 0);
        case SC_GroupBoxLabel:
            return {r.left() + kCaptionLeft - kCaptionPadding, r.top(),
                    metrics.horizontalAdvance(box->text) + 2 * kCaptionPadding, captionHeight};
        case SC_GroupBoxContents:
            return r.adjusted(2, captionHeight, -2, -2);
        default:
            return {};
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        if (control != CC_GroupBox || box == nullptr) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        // An etched line, as the platform the program comes from draws it.
        qDrawShadeRect(painter, subControlRect(control, option, SC_GroupBoxFrame, widget),
                       box->palette, true, 1, 0);
        if (box->text.isEmpty()) return;
        const QRect caption = subControlRect(control, option, SC_GroupBoxLabel, widget);
        painter->fillRect(caption, box->palette.brush(QPalette::Window));
        drawItemText(painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, box->palette,
                     (box->state & State_Enabled) != 0, box->text, QPalette::WindowText);
    }
};

QStyle* GroupBoxLook() {
    // One for the program's life: a style must outlive every widget using it.
    static QStyle* const style = new GroupBoxStyle;
    return style;
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
          std::move(programFolder), static_cast<client::ClientView&>(*this), std::move(options))) {
    BuildControls();
    FormCreate();
}

TFrm_Telvoro::~TFrm_Telvoro() {
    if (Timer_Read != nullptr) Timer_Read->stop();
    // The view and its model go before the list they show: as Qt children
    // they would otherwise outlive the session that owns the list.
    if (ListView1 != nullptr) ListView1->setModel(nullptr);
    delete model_;
    model_ = nullptr;
}

void TFrm_Telvoro::BuildControls() {
    setWindowTitle(ShowGbk(gbk::kAppTitle));
    setFont(UiFont());
    setFixedSize(323, 564);
    setAutoFillBackground(true);
    move(791, 90); // where the window stays when it cannot be placed

    GroupBox1 = new QGroupBox(QStringLiteral("待发送的列表"), this);
    GroupBox1->setGeometry(8, 8, 307, 297);
    GroupBox1->setStyle(GroupBoxLook());

    model_ = new RecipientModel(session_->Recipients(), this);
    ListView1 = new RecipientView(GroupBox1);
    ListView1->setGeometry(9, 13, 290, 276);
    ListView1->setModel(model_);
    ListView1->setShowGrid(true);
    ListView1->setSortingEnabled(false);
    ListView1->setWordWrap(false);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    ListView1->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    ListView1->setTabKeyNavigation(false);
    QHeaderView* vertical = ListView1->verticalHeader();
    vertical->hide();
    vertical->setMinimumSectionSize(1);
    vertical->setSectionResizeMode(QHeaderView::Fixed);
    vertical->setDefaultSectionSize(QFontMetrics(font()).height() + 4);
    QHeaderView* header = ListView1->horizontalHeader();
    header->setSectionsClickable(false); // a header click does nothing
    header->setHighlightSections(false);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c < RecipientModel::ColumnCount; ++c)
        header->resizeSection(c, RecipientModel::ColumnWidth(c));
    ListView1->setEnabled(false);

    Label7 = new QLabel(QStringLiteral("超长短信，65个字算一条短信"), this);
    Label7->setGeometry(72, 312, 170, 12);
    QFont bold = Label7->font();
    bold.setBold(true);
    Label7->setFont(bold);
    QPalette red = Label7->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Label7->setPalette(red);

    GroupBox2 = new QGroupBox(QStringLiteral("发送内容"), this);
    GroupBox2->setGeometry(8, 330, 307, 137);
    GroupBox2->setStyle(GroupBoxLook());
    Label_Count = new QLabel(QStringLiteral("0个字"), GroupBox2);
    Label_Count->setTextFormat(Qt::PlainText);
    Label_Count->move(260, 0);
    Label_Count->adjustSize();
    Memo1 = new GbkTextEdit(GroupBox2);
    Memo1->setGeometry(7, 20, 294, 111);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setTabChangesFocus(true);

    // The controls on the group boxes' top edges lie above them.
    CheckBox1 = new QCheckBox(QStringLiteral("全选"), this);
    CheckBox1->setGeometry(95, 6, 48, 15);
    auto button = [this](const QString& caption, int l, int t, int w, int h, bool enabled) {
        auto* b = new QPushButton(caption, this);
        b->setGeometry(l, t, w, h);
        b->setAutoDefault(false);
        b->setEnabled(enabled);
        return b;
    };
    Btn_Save = button(QStringLiteral("保存"), 151, 1, 53, 19, false);
    Btn_Load = button(QStringLiteral("加载"), 205, 1, 53, 19, false);
    Btn_Edit = button(QStringLiteral("编辑"), 259, 1, 53, 19, false);
    Btn_Modal = button(QStringLiteral("短信模板"), 117, 329, 75, 19, false);

    Label6 = new QLabel(QStringLiteral("您的账户余额还能发送的短信数量为："), this);
    Label6->setGeometry(10, 473, 204, 12);
    Edit_YuE = new QLineEdit(QStringLiteral("0"), this);
    Edit_YuE->setGeometry(213, 469, 102, 20);
    Edit_YuE->setEnabled(false);
    Label2 = new QLabel(QStringLiteral("发送短信卡号"), this);
    Label2->setGeometry(8, 496, 72, 12);
    Edit_CallNo = new QLineEdit(this);
    Edit_CallNo->setGeometry(80, 492, 107, 20);
    Edit_CallNo->setEnabled(false);
    Check_Stop = new QCheckBox(QStringLiteral("启动短信自检功能"), this);
    Check_Stop->setGeometry(196, 493, 118, 17);
    Btn_Conn = button(QStringLiteral("连接服务器"), 8, 516, 80, 23, true);
    Btn_Begin = button(QStringLiteral("发送"), 200, 516, 56, 23, false);
    Btn_Stop = button(QStringLiteral("取消"), 259, 516, 57, 23, true);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(0, 548, 323, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    Edit_Test = new QLineEdit(QStringLiteral("158038XXXXX"), this);
    Edit_Test->setToolTip(
        QStringLiteral("本号码是本次发送短信最后一个发送对象，为了提醒您发送彻底结束。"));
    Edit_Test->hide();

    QWidget* order[] = {ListView1, Memo1,       Btn_Begin,  Btn_Stop,  Btn_Save,
                        Btn_Load,  Edit_CallNo, Check_Stop, Btn_Modal, Edit_YuE,
                        Btn_Conn,  CheckBox1,   Btn_Edit};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    Timer_Read = new QTimer(this);
    Timer_Read->setInterval(client::kHandoffTickInterval);

    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, true);
    SaveDialog1->setDefaultSuffix(QStringLiteral("dat"));
    SaveDialog1->selectFile(QStringLiteral("SendList.dat"));
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::AnyFile);
    OpenDialog1->setDefaultSuffix(QStringLiteral("dat"));
    // The proposed name "*.dat" lists the .dat files from the first showing on.
    OpenDialog1->setNameFilter(QStringLiteral("*.dat"));
    OpenDialog1->selectFile(QStringLiteral("*.dat"));

    PopupMenu1 = new QMenu(this);
    N1 = PopupMenu1->addAction(ShowGbk(gbk::kMenuEditTemplates));
    N2 = PopupMenu1->addSeparator();

    // Each control is found by its name, as the tests do.
    const std::pair<QObject*, const char*> names[] = {{GroupBox1, "GroupBox1"},
                                                      {ListView1, "ListView1"},
                                                      {CheckBox1, "CheckBox1"},
                                                      {Btn_Save, "Btn_Save"},
                                                      {Btn_Load, "Btn_Load"},
                                                      {Btn_Edit, "Btn_Edit"},
                                                      {Label7, "Label7"},
                                                      {GroupBox2, "GroupBox2"},
                                                      {Label_Count, "Label_Count"},
                                                      {Memo1, "Memo1"},
                                                      {Btn_Modal, "Btn_Modal"},
                                                      {Label6, "Label6"},
                                                      {Edit_YuE, "Edit_YuE"},
                                                      {Label2, "Label2"},
                                                      {Edit_CallNo, "Edit_CallNo"},
                                                      {Check_Stop, "Check_Stop"},
                                                      {Btn_Conn, "Btn_Conn"},
                                                      {Btn_Begin, "Btn_Begin"},
                                                      {Btn_Stop, "Btn_Stop"},
                                                      {ProgressBar1, "ProgressBar1"},
                                                      {Edit_Test, "Edit_Test"},
                                                      {Timer_Read, "Timer_Read"},
                                                      {SaveDialog1, "SaveDialog1"},
                                                      {OpenDialog1, "OpenDialog1"},
                                                      {PopupMenu1, "PopupMenu1"},
                                                      {N1, "N1"},
                                                      {N2, "N2"}};
    for (const auto& [control, name] : names)
        control->setObjectName(QLatin1String(name));

    for (QPushButton* b : {Btn_Save, Btn_Load, Btn_Edit, Btn_Modal, Btn_Conn, Btn_Begin, Btn_Stop})
        b->installEventFilter(this);

    connect(Btn_Conn, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_ConnClick);
    connect(Btn_Begin, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_BeginClick);
    connect(Btn_Stop, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_StopClick);
    connect(Btn_Save, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_SaveClick);
    connect(Btn_Load, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_LoadClick);
    connect(Btn_Edit, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_EditClick);
    connect(CheckBox1, &QCheckBox::toggled, this, &TFrm_Telvoro::CheckBox1Click);
    connect(Btn_Modal, &QPushButton::clicked, this, &TFrm_Telvoro::Btn_ModalClick);
    connect(N1, &QAction::triggered, this, &TFrm_Telvoro::N1Click);
    connect(Memo1, &QPlainTextEdit::textChanged, this, &TFrm_Telvoro::Memo1Change);
    connect(Timer_Read, &QTimer::timeout, this, &TFrm_Telvoro::Timer_ReadTimer);
}

void TFrm_Telvoro::FormCreate() {
    session_->ReadAccount();
    // From here an error ends the start-up where it occurs and is reported.
    session_->EnterHandler();
    RunGuarded(nullptr, [this] { session_->Start(); });
    static_cast<void>(session_->LeaveHandler());
    auto* status = new SetupStatus(session_->Folder(), this);
    status->setGeometry(91, 513, 106, 34);
    status->CheckAccountFile();
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

void TFrm_Telvoro::PlaceTopRight() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    QMargins frame;
    if (const QWindow* w = windowHandle()) frame = w->frameMargins();
    placed_ = true;
    placedWithFrame_ = !frame.isNull();
    const int outerWidth = width() + frame.left() + frame.right();
    // The work area's own offset is not added: the left edge counts from x = 0.
    move(screen->availableGeometry().width() - outerWidth - 3, 3);
}

QPoint TFrm_Telvoro::TemplateMenuPoint() const {
    const QRect outer = frameGeometry();
    return {outer.x() + Btn_Modal->x() + 3, outer.y() + Btn_Modal->y() + Btn_Modal->height() + 25};
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
    Handle([this] { session_->SetAllChecked([this] { return CheckBox1->isChecked(); }); });
}

void TFrm_Telvoro::Btn_ModalClick() {
    Handle([this] { PopupMenu1->popup(TemplateMenuPoint()); });
}

void TFrm_Telvoro::N1Click() {
    Handle([this] {
        const std::filesystem::path file = session_->Folder().TemplatesFile();
        // Without notepad.exe, the program's own editor reads the GBK file.
        if (!ShellOpen("notepad.exe", file)) TemplatesEditor::Open(this, file);
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
        Memo1->setPlainText(FromGbk(*content));
    });
}

void TFrm_Telvoro::Memo1Change() {
    Handle([this] { SumLen(); });
}

void TFrm_Telvoro::SumLen() {
    Label_Count->setText(ShowGbk(SumLenCaption(MessageText())));
    Label_Count->adjustSize();
}

void TFrm_Telvoro::Timer_ReadTimer() {
    Handle([this] { session_->HandoffTick(); });
}

// ClientView

std::string TFrm_Telvoro::AccountNumber() {
    return FieldGbk(Edit_CallNo);
}

std::string TFrm_Telvoro::MessageText() {
    return Memo1->GbkTextCrLf();
}

bool TFrm_Telvoro::SelfCheckOn() {
    return Check_Stop->isChecked();
}

std::string TFrm_Telvoro::SelfCheckNumber() {
    return FieldGbk(Edit_Test);
}

std::string TFrm_Telvoro::DisplayedBalance() {
    return FieldGbk(Edit_YuE);
}

void TFrm_Telvoro::SetDisplayedBalance(const std::string& text) {
    SetFieldGbk(Edit_YuE, text);
}

void TFrm_Telvoro::SetProgressPosition(int position) {
    ProgressBar1->setValue(position);
}

void TFrm_Telvoro::SetProgressMaximum(int maximum) {
    ProgressBar1->setMaximum(maximum);
}

void TFrm_Telvoro::ShowNotice(const std::string& text, const std::string& caption) {
    // The stated text stays as it is; below it, why and what to do.
    const QString details = text == gbk::kMsgNotRegistered
                                ? NotRegisteredHelp(session_->Folder(), Edit_CallNo->text())
                                : QString();
    ui::ShowNotice(this, ShowGbk(text), ShowGbk(caption), details);
}

void TFrm_Telvoro::ShowAccountNumber(const std::string& account) {
    SetFieldGbk(Edit_CallNo, account);
    SetFieldGbk(Edit_Test, FieldGbk(Edit_CallNo));
}

void TFrm_Telvoro::PlaceWindow() {
    PlaceTopRight();
}

void TFrm_Telvoro::ShowConnected() {
    for (QWidget* w : {static_cast<QWidget*>(Btn_Begin), static_cast<QWidget*>(Btn_Modal),
                       static_cast<QWidget*>(ListView1), static_cast<QWidget*>(Memo1),
                       static_cast<QWidget*>(Btn_Save), static_cast<QWidget*>(Btn_Load),
                       static_cast<QWidget*>(Btn_Edit)})
        w->setEnabled(true);
    Btn_Conn->setEnabled(false);
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
