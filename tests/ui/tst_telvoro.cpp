// The main window on a temporary program folder: start-up, connect, a whole
// send job, the hand-off timer, the list buttons and the handler boundary.

#include "UiTestSupport.h"

#include "tests/client/ManualClock.h"
#include "tests/support/FakeGateway.h"

#include "app/SqlSession.h"
#include "core/TextRules.h"
#include "files/DataSource.h"
#include "files/Settings.h"
#include "files/Templates.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"
#include "ui/FormScale.h"
#include "ui/GbkTextEdit.h"
#include "ui/ProgramIdentity.h"
#include "ui/RecipientModel.h"
#include "ui/RecipientView.h"
#include "ui/Unit_EditSendTel.h"
#include "ui/Unit_Telvoro.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStyleOptionGroupBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>

using telvoro::FromGbk;
using telvoro::ToGbk;
using telvoro::ui::TFrm_Telvoro;

namespace {

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Types `text` as key presses carrying it (QTest::keyClicks only knows Latin-1).
void TypeText(QWidget* target, const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, text.mid(i, n));
        QApplication::sendEvent(target, &press);
        i += n - 1;
    }
}

QByteArray Gbk(const QString& text) {
    return QByteArray::fromStdString(ToGbk(text));
}

const QString kAccount = QStringLiteral("13800138000");

// The settings file naming `account`, as the admin tool writes it.
bool WriteSettings(const QString& folder, const QString& account) {
    try {
        telvoro::WriteAccountNumber(
            telvoro::ProgramFolder(telvoro::ToFsPath(folder)).SettingsFile(), ToGbk(account));
        return true;
    } catch (const std::exception& e) {
        qWarning("cannot write the settings file: %s", e.what());
        return false;
    }
}

// The main window's controls, found by name as code outside the window finds them.
struct MainControls {
    explicit MainControls(const TFrm_Telvoro& w)
        : PopupMenu1(Control<QMenu>(w, "PopupMenu1")),
          ListView1(Control<QTableView>(w, "ListView1")),
          CheckBox1(Control<QCheckBox>(w, "CheckBox1")),
          Btn_Save(Control<QPushButton>(w, "Btn_Save")),
          Btn_Load(Control<QPushButton>(w, "Btn_Load")),
          Btn_Edit(Control<QPushButton>(w, "Btn_Edit")),
          Label_Count(Control<QLabel>(w, "Label_Count")),
          Memo1(Control<telvoro::ui::GbkTextEdit>(w, "Memo1")),
          Btn_Modal(Control<QPushButton>(w, "Btn_Modal")),
          Edit_YuE(Control<QLineEdit>(w, "Edit_YuE")),
          Edit_CallNo(Control<QLineEdit>(w, "Edit_CallNo")),
          Check_Stop(Control<QCheckBox>(w, "Check_Stop")),
          Btn_Conn(Control<QPushButton>(w, "Btn_Conn")),
          Btn_Begin(Control<QPushButton>(w, "Btn_Begin")),
          Btn_Stop(Control<QPushButton>(w, "Btn_Stop")),
          ProgressBar1(Control<QProgressBar>(w, "ProgressBar1")),
          Edit_Test(Control<QLineEdit>(w, "Edit_Test")),
          Timer_Read(Control<QTimer>(w, "Timer_Read")) {}
    QMenu* PopupMenu1;
    QTableView* ListView1;
    QCheckBox* CheckBox1;
    QPushButton* Btn_Save;
    QPushButton* Btn_Load;
    QPushButton* Btn_Edit;
    QLabel* Label_Count;
    telvoro::ui::GbkTextEdit* Memo1;
    QPushButton* Btn_Modal;
    QLineEdit* Edit_YuE;
    QLineEdit* Edit_CallNo;
    QCheckBox* Check_Stop;
    QPushButton* Btn_Conn;
    QPushButton* Btn_Begin;
    QPushButton* Btn_Stop;
    QProgressBar* ProgressBar1;
    QLineEdit* Edit_Test;
    QTimer* Timer_Read;
};

// A program folder with the embedded database holding `account` with
// `credit`, and (with `withConfig`) the settings file naming that account.
bool PrepareDatabase(const QString& folder, const QString& account, int credit,
                     bool withConfig = true) {
    try {
        const telvoro::ProgramFolder programFolder(telvoro::ToFsPath(folder));
        telvoro::SqlGateway gateway(QStringLiteral("prepare"));
        gateway.Open(telvoro::ParseDataSource("", programFolder), telvoro::Create::Yes);
        telvoro::ServerUpkeep(gateway.connection()).CreateTables();
        telvoro::ServerUpkeep(gateway.connection()).SetCredit(ToGbk(account), credit);
    } catch (const std::exception& e) {
        qWarning("cannot prepare the database: %s", e.what());
        return false;
    }
    return !withConfig || WriteSettings(folder, account);
}

// The main window on a temporary program folder, driven as an operator
// drives it: by pressing its controls.
class MainWindow {
public:
    QTemporaryDir dir;
    // The program folder: the temporary folder unless a test names another.
    QString folder = dir.path();
    // The account OpenConnected registers and names in the settings file.
    QString account = kAccount;

    QString File(const QString& name) const { return dir.filePath(name); }
    // Opens the window on the folder as prepared so far, on the program's
    // own SQL gateway unless a test gives other options.
    void Open(telvoro::client::SessionOptions options = telvoro::app::SqlSessionOptions()) {
        w_ = std::make_unique<TFrm_Telvoro>(telvoro::ProgramFolder(telvoro::ToFsPath(folder)),
                                            std::move(options));
        c_ = std::make_unique<MainControls>(*w_);
    }
    // Opens the window shown and active.
    bool OpenShown(telvoro::client::SessionOptions options = telvoro::app::SqlSessionOptions()) {
        Open(std::move(options));
        w_->show();
        return QTest::qWaitForWindowActive(w_.get());
    }
    // Opens the window on an account with `credit` and presses 连接服务器.
    bool
    OpenConnected(int credit = 100,
                  telvoro::client::SessionOptions options = telvoro::app::SqlSessionOptions()) {
        if (!PrepareDatabase(folder, account, credit) || !OpenShown(std::move(options)))
            return false;
        Press(c_->Btn_Conn);
        return w_->windowTitle() == QStringLiteral("服务器连接成功。");
    }

    // A click on `button`, which must be enabled.
    static void Press(QAbstractButton* button) {
        QVERIFY2(button->isEnabled(), qPrintable(button->objectName()));
        QTest::mouseClick(button, Qt::LeftButton);
    }
    // One tick of the hand-off timer.
    void Tick() const { QVERIFY(QMetaObject::invokeMethod(c_->Timer_Read, "timeout")); }
    // A click on the check box of the list's row `row`.
    void TickRow(int row) const {
        QTableView* list = c_->ListView1;
        const QRect cell = list->visualRect(list->model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          telvoro::ui::RecipientView::CheckRect(cell).center());
    }

    TFrm_Telvoro& w() const { return *w_; }
    const MainControls& c() const { return *c_; }
    telvoro::RecipientList& List() const { return w_->Session().Recipients(); }

private:
    std::unique_ptr<TFrm_Telvoro> w_;
    std::unique_ptr<MainControls> c_;
};

} // namespace

// Windows shows its own file dialogs, which a test cannot script (and Qt's
// own, under Wine, crash in the shell's icons).
#ifdef Q_OS_WIN
#define SKIP_WHERE_FILE_DIALOGS_ARE_NATIVE() QSKIP("Windows' own file dialogs")
#else
#define SKIP_WHERE_FILE_DIALOGS_ARE_NATIVE()
#endif

class TestTelvoro : public QObject {
    Q_OBJECT

    QStringList MenuCaptions(const TFrm_Telvoro& w) const {
        QStringList captions;
        for (QAction* a : Control<QMenu>(w, "PopupMenu1")->actions())
            captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
        return captions;
    }

    // Answers any dialog a test did not expect, so none ever blocks.
    std::unique_ptr<ScriptedDialogs> fallback_;

private slots:
    void initTestCase() { fallback_ = std::make_unique<ScriptedDialogs>(); }
    void cleanupTestCase() { fallback_.reset(); }

    void startUpInEmptyFolder() {
        MainWindow m;
        ScriptedDialogs dialogs;
        m.Open();

        // Templates file with its nine default lines, and the menu built from it.
        QFile t(telvoro::ToQString(
            telvoro::ProgramFolder(telvoro::ToFsPath(m.dir.path())).TemplatesFile()));
        QVERIFY(t.open(QIODevice::ReadOnly));
        QCOMPARE(t.readAll().toStdString(), telvoro::DefaultTemplatesText());
        QCOMPARE(MenuCaptions(m.w()),
                 (QStringList{"添加、修改模板", "-", "生日快乐", "欠款提示", "五一快乐", "国庆快乐",
                              "元旦快乐", "圣诞节", "春节快乐"}));
        QCOMPARE(m.c().PopupMenu1->actions().at(2)->objectName(), QStringLiteral("Menu_2"));
        QCOMPARE(m.c().PopupMenu1->actions().at(8)->objectName(), QStringLiteral("Menu_8"));
        QVERIFY(dialogs.seen.empty());

        // Caption, size, placement at the top right of the work area.
        QCOMPARE(m.w().windowTitle(), QStringLiteral("短信发送"));
        QCOMPARE(m.w().size(), QSize(323, 564));
        QVERIFY(m.w().windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!(m.w().windowFlags() & Qt::WindowMaximizeButtonHint));
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(m.w().pos(), QPoint(area.width() - 323 - 3, 3));

        // Start states.
        for (QWidget* off :
             {(QWidget*)m.c().ListView1, (QWidget*)m.c().Btn_Save, (QWidget*)m.c().Btn_Load,
              (QWidget*)m.c().Btn_Edit, (QWidget*)m.c().Btn_Modal, (QWidget*)m.c().Edit_YuE,
              (QWidget*)m.c().Edit_CallNo, (QWidget*)m.c().Btn_Begin})
            QVERIFY2(!off->isEnabled(), qPrintable(off->metaObject()->className()));
        for (QWidget* on :
             {(QWidget*)m.c().CheckBox1, (QWidget*)m.c().Memo1, (QWidget*)m.c().Check_Stop,
              (QWidget*)m.c().Btn_Conn, (QWidget*)m.c().Btn_Stop})
            QVERIFY(on->isEnabled());
        QVERIFY(!m.c().CheckBox1->isChecked());
        QVERIFY(!m.c().Check_Stop->isChecked());
        QCOMPARE(m.c().Edit_YuE->text(), QStringLiteral("0"));
        QCOMPARE(m.c().Edit_CallNo->text(), QString());
        QCOMPARE(m.c().Edit_Test->text(), QStringLiteral("158038XXXXX"));
        QVERIFY(m.c().Edit_Test->isHidden());
        QCOMPARE(m.c().Label_Count->text(), QStringLiteral("0个字"));
        QCOMPARE(m.c().ProgressBar1->value(), 0);
        QCOMPARE(m.c().ListView1->model()->rowCount(), 0);
        QVERIFY(m.c().Timer_Read->isActive());
        QCOMPARE(m.c().Timer_Read->interval(), 1000);
        QCOMPARE(m.w().Session().HandoffPath(), telvoro::ToFsPath(m.dir.path()) / "SendGSM.ini");

        // The list's columns and a header that does nothing when clicked.
        QHeaderView* h = m.c().ListView1->horizontalHeader();
        QCOMPARE(h->count(), 4);
        const int widths[] = {40, 60, 120, 46};
        const char* captions[] = {"序号", "客户", "电话", "状态"};
        for (int col = 0; col < 4; ++col) {
            QCOMPARE(h->sectionSize(col), widths[col]);
            QCOMPARE(m.c().ListView1->model()->headerData(col, Qt::Horizontal).toString(),
                     QString::fromUtf8(captions[col]));
        }
        QVERIFY(!h->sectionsClickable());
        QVERIFY(m.c().ListView1->showGrid());
    }

    // Every control where the form puts it, with its caption and the
    // program's font; the controls on the group boxes' edges lie above them.
    void layout_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        const struct {
            const char* name;
            QRect geometry;
            const char* caption;
        } rows[] = {
            {"GroupBox1", {8, 8, 307, 297}, "待发送的列表"},
            {"ListView1", {9, 13, 290, 276}, ""},
            {"CheckBox1", {95, 6, 48, 15}, "全选"},
            {"Btn_Save", {151, 1, 53, 19}, "保存"},
            {"Btn_Load", {205, 1, 53, 19}, "加载"},
            {"Btn_Edit", {259, 1, 53, 19}, "编辑"},
            {"Label7", {72, 312, 170, 12}, "超长短信，65个字算一条短信"},
            {"GroupBox2", {8, 330, 307, 137}, "发送内容"},
            {"Memo1", {7, 20, 294, 111}, ""},
            {"Btn_Modal", {117, 329, 75, 19}, "短信模板"},
            {"Label6", {10, 473, 204, 12}, "您的账户余额还能发送的短信数量为："},
            {"Edit_YuE", {213, 469, 102, 20}, "0"},
            {"Label2", {8, 496, 72, 12}, "发送短信卡号"},
            {"Edit_CallNo", {80, 492, 107, 20}, ""},
            {"Check_Stop", {196, 493, 118, 17}, "启动短信自检功能"},
            {"Btn_Conn", {8, 516, 80, 23}, "连接服务器"},
            {"Btn_Begin", {200, 516, 56, 23}, "发送"},
            {"Btn_Stop", {259, 516, 57, 23}, "取消"},
            {"ProgressBar1", {0, 548, 323, 16}, ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString::fromLatin1(r.name) << r.geometry
                                  << QString::fromUtf8(r.caption);
    }
    void layout() {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        MainWindow m;
        QVERIFY(m.OpenShown());
        auto* control = Control<QWidget>(m.w(), name.toLatin1().constData());
        QCOMPARE(control->geometry(), geometry);
        QCOMPARE(Caption(*control), caption);
        const QFont program = telvoro::ui::UiFont();
        QCOMPARE(control->font().families(), program.families());
        QCOMPARE(control->font().pixelSize(), 12);
        QCOMPARE(control->font().bold(), name == QStringLiteral("Label7"));
        // Nothing else covers the control's middle.
        const QPoint middle = control->mapTo(&m.w(), control->rect().center());
        QWidget* top = m.w().childAt(middle);
        QVERIFY(top == control || control->isAncestorOf(top));
    }

    // Tab goes through the controls in the window's order, the disabled ones
    // included once they are enabled.
    void tabOrder() {
        MainWindow m;
        m.Open();
        const char* order[] = {"ListView1", "Memo1",       "Btn_Begin",  "Btn_Stop",  "Btn_Save",
                               "Btn_Load",  "Edit_CallNo", "Check_Stop", "Btn_Modal", "Edit_YuE",
                               "Btn_Conn",  "CheckBox1",   "Btn_Edit",   "ListView1"};
        for (const char* name : order)
            Control<QWidget>(m.w(), name)->setEnabled(true);
        m.w().show();
        QVERIFY(QTest::qWaitForWindowActive(&m.w()));
        Control<QWidget>(m.w(), order[0])->setFocus();
        for (std::size_t i = 1; i < std::size(order); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(order[i]));
        }
        QCOMPARE(m.w().windowTitle(), QStringLiteral("短信发送"));
        QCOMPARE(m.w().font().families(), telvoro::ui::UiFont().families());
        QCOMPARE(Control<QLabel>(m.w(), "Label7")->palette().color(QPalette::WindowText),
                 QColor(Qt::red));
    }

    // The desktop knows the program by ASCII names and its icon; the window
    // keeps its Chinese title.
    void programIdentity() {
        telvoro::ui::SetProgramIdentity();
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Telvoro"));
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("org.telvoro.Telvoro"));
        MainWindow m;
        m.Open();
        QCOMPARE(m.w().windowTitle(), QStringLiteral("短信发送"));
        for (const int size : {48, 256})
            QVERIFY(m.w().windowIcon().availableSizes().contains(QSize(size, size)));
        telvoro::ui::TFrm_EditSendTel dialog(&m.w());
        QVERIFY(!dialog.windowIcon().isNull());
    }

    // A window that does not fit the work area shrinks as a whole, frame
    // included (1366x768 at a scale of 2 is 683x384 with a 24-pixel panel),
    // and its frame is kept inside the area.
    void fitInWorkArea_data() {
        QTest::addColumn<QMargins>("frame");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QSize>("shown");
        QTest::addColumn<QPoint>("wanted");
        QTest::addColumn<QPoint>("placed");
        QTest::newRow("fits") << QMargins(1, 20, 1, 1) << QRect(0, 0, 1366, 768) << QSize(323, 564)
                              << QPoint(1038, 3) << QPoint(1038, 3);
        QTest::newRow("scale 1.5 on 1366x768")
            << QMargins(1, 20, 1, 1) << QRect(0, 0, 910, 512) << QSize(281, 491) << QPoint(624, 3)
            << QPoint(624, 0);
        QTest::newRow("scale 2 under a top panel")
            << QMargins(1, 20, 1, 1) << QRect(0, 24, 683, 360) << QSize(194, 339) << QPoint(463, 3)
            << QPoint(463, 24);
        QTest::newRow("too narrow") << QMargins() << QRect(0, 0, 200, 800) << QSize(200, 349)
                                    << QPoint(-3, 3) << QPoint(0, 3);
    }
    void fitInWorkArea() {
        QFETCH(QMargins, frame);
        QFETCH(QRect, area);
        QFETCH(QSize, shown);
        QFETCH(QPoint, wanted);
        QFETCH(QPoint, placed);
        const QSize form(323, 564);
        const double scale = telvoro::ui::FitScale(form, frame, area);
        const QSize size = telvoro::ui::ScaledSize(form, scale);
        QCOMPARE(size, shown);
        const QSize outer = size.grownBy(frame);
        QVERIFY(outer.width() <= area.width() && outer.height() <= area.height());
        QCOMPARE(telvoro::ui::KeepInArea(wanted, outer, area), placed);
    }

    // Assistive technology finds the window as a window and every control
    // by the caption beside it.
    void accessibleNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("spoken");
        const struct {
            const char* name;
            const char* spoken;
        } rows[] = {
            {"Edit_YuE", "您的账户余额还能发送的短信数量为："},
            {"Edit_CallNo", "发送短信卡号"},
            {"ListView1", "待发送的列表"},
            {"Memo1", "发送内容"},
            {"ProgressBar1", "发送进度"},
            {"Label_Count", "0个字"},
            {"Btn_Begin", "发送"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString::fromLatin1(r.name) << QString::fromUtf8(r.spoken);
    }
    void accessibleNames() {
        QFETCH(QString, name);
        QFETCH(QString, spoken);
        MainWindow m;
        m.Open();
        QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&m.w());
        QVERIFY(window != nullptr);
        QCOMPARE(window->role(), QAccessible::Window);
        QCOMPARE(window->text(QAccessible::Name), QStringLiteral("短信发送"));
        QAccessibleInterface* control =
            QAccessible::queryAccessibleInterface(Control<QWidget>(m.w(), qPrintable(name)));
        QVERIFY(control != nullptr);
        QCOMPARE(control->text(QAccessible::Name), spoken);
    }

    void startUpReadsAccount() {
        MainWindow m;
        QVERIFY(WriteSettings(m.dir.path(), kAccount));
        m.Open();
        QCOMPARE(m.c().Edit_CallNo->text(), kAccount);
        QCOMPARE(m.c().Edit_Test->text(), kAccount);
    }

    void startUpInUnwritableFolder() {
        // A folder that does not exist cannot be written, even by root.
        MainWindow m;
        m.folder = m.File(QStringLiteral("missing"));
        ScriptedDialogs dialogs;
        m.Open();
        QCOMPARE(dialogs.seen.size(), std::size_t(1));
        QCOMPARE(dialogs.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(dialogs.seen[0].title, QStringLiteral("短信发送"));
        QVERIFY(!dialogs.seen[0].text.isEmpty());
        QCOMPARE(m.w().pos(), QPoint(791, 90));
        QVERIFY(!m.c().Timer_Read->isActive());
        QVERIFY(m.w().Session().HandoffPath().empty());
        QCOMPARE(m.c().PopupMenu1->actions().size(), 2);
    }

    void characterCount_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("caption");
        QTest::newRow("letters in spaces") << "  ab  "
                                           << "2个字";
        QTest::newRow("chinese and letters") << "中文ab"
                                             << "4个字";
        QTest::newRow("only blanks") << " \n \n\t "
                                     << "0个字";
        QTest::newRow("empty") << ""
                               << "0个字";
    }
    void characterCount() {
        QFETCH(QString, text);
        QFETCH(QString, caption);
        MainWindow m;
        m.Open();
        m.c().Memo1->setPlainText(QStringLiteral("x"));
        m.c().Memo1->setPlainText(text);
        QCOMPARE(m.c().Label_Count->text(), caption);
    }

    // Typed characters without a GBK form are refused; a paste takes all
    // the others and drops only those.
    void memoTakesOnlyGbkCharacters() {
        MainWindow m;
        m.Open();
        m.w().show();
        m.c().Memo1->setFocus();
        TypeText(m.c().Memo1, QStringLiteral("中a"));
        TypeText(m.c().Memo1, QString::fromUtf8("\xF0\x9F\x98\x80")); // an emoji
        TypeText(m.c().Memo1, QStringLiteral("\u0E01"));              // Thai
        QCOMPARE(m.c().Memo1->toPlainText(), QStringLiteral("中a"));
        QApplication::clipboard()->setText(QStringLiteral("b\u0E01"));
        m.c().Memo1->paste();
        QCOMPARE(m.c().Memo1->toPlainText(), QStringLiteral("中ab"));
        QApplication::clipboard()->setText(QString::fromUtf8("\xF0\x9F\x98\x80\u0E01"));
        m.c().Memo1->paste();
        QCOMPARE(m.c().Memo1->toPlainText(), QStringLiteral("中ab"));
        QApplication::clipboard()->setText(
            QStringLiteral("\n短") + QString::fromUtf8("\xF0\x9F\x98\x80") + QStringLiteral("信"));
        m.c().Memo1->paste();
        QCOMPARE(m.c().Memo1->toPlainText(), QStringLiteral("中ab\n短信"));
        // Lines reach the core with CR LF.
        QCOMPARE(QByteArray::fromStdString(m.c().Memo1->GbkTextCrLf()), Gbk("中ab\r\n短信"));
    }

    void pasteFilter_data() {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("refused");
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        QTest::newRow("all gbk") << "13900000001\n张三"
                                 << "13900000001\n张三"
                                 << "";
        QTest::newRow("emoji in a phone list") << "13900000001\n" + emoji + "13900000002\n"
                                               << "13900000001\n13900000002\n"
                                               << emoji;
        QTest::newRow("only strangers") << emoji + "\u0E01" + emoji << "" << emoji + "\u0E01";
        QTest::newRow("stranger at each end") << "\u0E01ab" + emoji << "ab"
                                              << "\u0E01" + emoji;
        QTest::newRow("separators stay")
            << QStringLiteral("a\u2028b\u2029c") << QStringLiteral("a\u2028b\u2029c") << "";
        QString many;
        QString kept;
        for (int i = 0; i < 3000; ++i) {
            many += QStringLiteral("1390000%1").arg(i, 4, 10, QLatin1Char('0')) + emoji + u'\n';
            kept += QStringLiteral("1390000%1").arg(i, 4, 10, QLatin1Char('0')) + u'\n';
        }
        QTest::newRow("a stranger on every line") << many << kept << emoji;
    }
    void pasteFilter() {
        QFETCH(QString, pasted);
        QFETCH(QString, kept);
        QFETCH(QString, refused);
        QString dropped = QStringLiteral("stale");
        QCOMPARE(telvoro::ui::GbkTextEdit::WithoutNonGbk(pasted, &dropped), kept);
        QCOMPARE(dropped, refused);
    }

    // Enter on a focused push button presses it, as space does.
    void enterPressesFocusedButton_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("return") << int(Qt::Key_Return);
        QTest::newRow("keypad enter") << int(Qt::Key_Enter);
    }
    void enterPressesFocusedButton() {
        QFETCH(int, key);
        MainWindow m;
        ScriptedDialogs dialogs;
        QVERIFY(m.OpenShown());
        m.c().Btn_Conn->setFocus();
        QTest::keyClick(m.c().Btn_Conn, Qt::Key(key),
                        key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QCOMPARE(m.w().windowTitle(), QStringLiteral("服务器连接失败，请联系供应商。"));
        m.c().Btn_Stop->setFocus();
        QTest::keyClick(m.c().Btn_Stop, Qt::Key(key));
        QVERIFY(!m.w().isVisible());
    }

    void templateChoice_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("memo");
        QTest::newRow("birthday")
            << "生日快乐"
            << "尊敬的客户，感谢您多年来对朗岳软件的支持，我们全体员工祝您生日快乐。";
        QTest::newRow("empty content") << "欠款提示"
                                       << "";
    }
    // 短信模板 opens the menu below itself; an entry chosen there replaces
    // the message.
    void templateChoice() {
        QFETCH(QString, entry);
        QFETCH(QString, memo);
        MainWindow m;
        QVERIFY(m.OpenConnected());
        m.c().Memo1->setPlainText(QStringLiteral("旧"));
        QMenu* menu = m.c().PopupMenu1;
        m.Press(m.c().Btn_Modal);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->pos(), m.w().frameGeometry().topLeft() + QPoint(120, 373));
        QAction* chosen = nullptr;
        for (QAction* a : menu->actions())
            if (a->text() == entry) chosen = a;
        QVERIFY(chosen != nullptr);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center());
        QTRY_VERIFY(!menu->isVisible());
        QCOMPARE(m.c().Memo1->toPlainText(), memo);
        QCOMPARE(m.c().Label_Count->text(),
                 QString::number(telvoro::GetMsgLen(ToGbk(memo))) + QStringLiteral("个字"));
    }

    void templateCaptionsStayExact() {
        MainWindow m;
        WriteFile(m.File(QStringLiteral("短信模板.ini")),
                  Gbk("A&B=甲\r\n=无标题\r\n乱码=") + QByteArray("\x81\x20\r\n"));
        ScriptedDialogs dialogs;
        m.Open();
        const QList<QAction*> actions = m.c().PopupMenu1->actions();
        QCOMPARE(actions.size(), 5);
        QCOMPARE(actions[2]->text(), QStringLiteral("A&&B")); // shows as "A&B"
        actions[2]->trigger();
        QCOMPARE(m.c().Memo1->toPlainText(), QStringLiteral("甲"));
        actions[3]->trigger(); // an empty caption matches nothing
        QCOMPARE(m.c().Memo1->toPlainText(), QStringLiteral("甲"));
        // A content that is not GBK is reported, not shown garbled.
        actions[4]->trigger();
        QCOMPARE(m.c().Memo1->toPlainText(), QStringLiteral("甲"));
        QCOMPARE(dialogs.seen.size(), std::size_t(1));
        QCOMPARE(dialogs.seen[0].icon, QMessageBox::Critical);
    }

    void connectSucceeds() {
        MainWindow m;
        QVERIFY(m.OpenConnected(500));
        QCOMPARE(m.c().Edit_YuE->text(), QStringLiteral("500"));
        for (QWidget* on :
             {(QWidget*)m.c().Btn_Begin, (QWidget*)m.c().Btn_Modal, (QWidget*)m.c().ListView1,
              (QWidget*)m.c().Memo1, (QWidget*)m.c().Btn_Save, (QWidget*)m.c().Btn_Load,
              (QWidget*)m.c().Btn_Edit})
            QVERIFY(on->isEnabled());
        QVERIFY(!m.c().Btn_Conn->isEnabled());
        QVERIFY(!m.c().Edit_YuE->isEnabled());
        QVERIFY(m.w().isVisible());
    }

    void connectFailsWithoutDatabase() {
        MainWindow m;
        ScriptedDialogs dialogs;
        m.Open();
        m.Press(m.c().Btn_Conn);
        QCOMPARE(m.w().windowTitle(), QStringLiteral("服务器连接失败，请联系供应商。"));
        QVERIFY(m.c().Btn_Conn->isEnabled());
        QVERIFY(!m.c().Btn_Begin->isEnabled());
        QVERIFY(dialogs.seen.empty());
        QVERIFY(!QFile::exists(m.File(QStringLiteral("Orvanta.db"))));
    }

    void connectWithUnregisteredAccountEnds() {
        MainWindow m;
        QVERIFY(PrepareDatabase(m.dir.path(), QStringLiteral("13900000000"), 5, false));
        ScriptedDialogs dialogs;
        QVERIFY(m.OpenShown());
        // No account file yet: said so, and the program stays.
        m.Press(m.c().Btn_Conn);
        QCOMPARE(dialogs.Texts().size(), 1);
        QVERIFY(
            dialogs.Texts()[0].startsWith(QStringLiteral("帐户文件GSMConfig.ini不存在或无法读取")));
        QVERIFY(m.w().isVisible());
        // Written now (the set-up steps), for a login the server does not know.
        QVERIFY(WriteSettings(m.dir.path(), QStringLiteral("13900000009")));
        dialogs.seen.clear();
        m.Press(m.c().Btn_Conn);
        QCOMPARE(m.c().Edit_CallNo->text(), QStringLiteral("13900000009"));
        QCOMPARE(dialogs.Texts(), QStringList{QStringLiteral("当前帐户没有注册开通。")});
        QCOMPARE(dialogs.seen[0].title, QStringLiteral("提示信息"));
        QCOMPARE(dialogs.seen[0].icon, QMessageBox::Warning);
        QVERIFY(!m.w().isVisible());
    }

    // Another program holds the embedded database: while the connect waits
    // for it, the window says so with the wait cursor and keeps repainting;
    // once the lock is gone it connects and shows what it showed before.
    void lockedDatabaseWaitShows() {
        MainWindow m;
        QVERIFY(PrepareDatabase(m.folder, m.account, 100));
        QVERIFY(m.OpenShown());
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "other");
            other.setDatabaseName(m.File(QStringLiteral("Orvanta.db")));
            QVERIFY(other.open());
            QSqlQuery lock(other);
            QVERIFY(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            QString shown;
            bool waitCursor = false;
            QTimer::singleShot(1000, &m.w(), [&] {
                shown = m.w().findChild<QLabel*>(QStringLiteral("SetupStatus"))->text();
                waitCursor = QApplication::overrideCursor() != nullptr &&
                             QApplication::overrideCursor()->shape() == Qt::WaitCursor;
                QSqlQuery(other).exec(QStringLiteral("ROLLBACK"));
            });
            m.Press(m.c().Btn_Conn);
            QVERIFY2(shown.startsWith(QStringLiteral("数据库被锁定")), qPrintable(shown));
            QVERIFY(waitCursor);
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
        QCOMPARE(m.w().windowTitle(), QStringLiteral("服务器连接成功。"));
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(!m.w().findChild<QLabel*>(QStringLiteral("SetupStatus"))->isVisible());
    }

    void wholeSendJob() {
        MainWindow m;
        ScriptedDialogs dialogs;
        // Every yield step dispatches, so the close below comes in mid-job.
        ManualClock clock(telvoro::client::kYieldSlice);
        telvoro::client::SessionOptions options = telvoro::app::SqlSessionOptions();
        options.clock = &clock;
        QVERIFY(m.OpenConnected(100, options));
        QCOMPARE(m.c().Edit_YuE->text(), QStringLiteral("100"));
        auto& list = m.List();
        list.AddIfNewPhone(ToGbk(QStringLiteral("张三")), "13900000001");
        list.AddIfNewPhone(ToGbk(QStringLiteral("李四")), "13900000002");
        list.AddIfNewPhone(ToGbk(QStringLiteral("王五")), "13900000003");
        list.AddIfNewPhone(ToGbk(QStringLiteral("赵六")), "13900000004");
        for (int row : {0, 1, 3})
            m.TickRow(row);
        auto* model = m.c().ListView1->model();
        QCOMPARE(model->data(model->index(1, 0), Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(model->data(model->index(2, 0), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        m.Press(m.c().Check_Stop);
        m.c().Memo1->setPlainText(QStringLiteral("通知\n明天开会"));
        // A close asked for in the middle of the job waits for its end.
        bool heldInJob = false;
        QTimer::singleShot(0, &m.w(), [&] {
            m.Press(m.c().Btn_Stop);
            heldInJob = dialogs.seen.empty() && m.w().isVisible();
        });

        m.Press(m.c().Btn_Begin);
        QCOMPARE(dialogs.Texts(),
                 QStringList{QStringLiteral("本次短信发送已经提交服务器，等待最后的发送。")});
        QCOMPARE(dialogs.seen[0].title, QStringLiteral("提示信息"));
        QCOMPARE(m.c().ProgressBar1->maximum(), 4);
        QCOMPARE(m.c().ProgressBar1->value(), 4);
        QCOMPARE(m.c().Edit_YuE->text(), QStringLiteral("96"));
        QVERIFY(heldInJob);
        QVERIFY(!m.w().isVisible());

        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(m.File(QStringLiteral("Orvanta.db")));
        QVERIFY(db.open());
        {
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("select SendNo, SendMemo, list, state from SendTemp")));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), kAccount);
            QCOMPARE(q.value(1).toString(), QStringLiteral("通知\r\n明天开会"));
            QCOMPARE(q.value(2).toString(),
                     QStringLiteral("13900000001;13900000002;13900000004;") + kAccount);
            QCOMPARE(q.value(3).toString(), QStringLiteral("0"));
            QVERIFY(!q.next());
            QVERIFY(q.exec(QStringLiteral("select CurrSum from Users")));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toInt(), 96);
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
    }

    void sendRefusals_data() {
        QTest::addColumn<QString>("account");
        QTest::addColumn<bool>("tick");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("caption");
        QTest::newRow("short account") << "1380013800" << true << "发送短信卡号无效。"
                                       << "提示";
        QTest::newRow("nothing ticked")
            << "13800138000" << false << "您没有选择任何要发送的手机号码，。"
            << "提示信息";
    }
    void sendRefusals() {
        QFETCH(QString, account);
        QFETCH(bool, tick);
        QFETCH(QString, message);
        QFETCH(QString, caption);
        MainWindow m;
        m.account = account;
        ScriptedDialogs dialogs;
        QVERIFY(m.OpenConnected());
        m.List().AddIfNewPhone("a", "13900000001");
        if (tick) m.TickRow(0);
        m.Press(m.c().Btn_Begin);
        QCOMPARE(dialogs.Texts(), QStringList{message});
        QCOMPARE(dialogs.seen[0].title, caption);
        QVERIFY(m.w().isVisible());
    }

    // A batch that fails before its commit reaches the general error report;
    // one whose commit fails is the job's own notice, which says below the
    // stated text how many numbers are queued and why. Either way the window
    // stays open.
    void sendFailures_data() {
        QTest::addColumn<QString>("failAt");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("balance");
        QTest::addColumn<QString>("details");
        QTest::newRow("insert") << "insert" << int(QMessageBox::Critical) << "insert failed."
                                << "100"
                                << "";
        QTest::newRow("commit") << "commit" << int(QMessageBox::Warning) << "发送过程出现错误。"
                                << "99"
                                << "共 1 个号码，已提交 0 个，其余未提交。\n原因：";
    }
    void sendFailures() {
        QFETCH(QString, failAt);
        QFETCH(int, icon);
        QFETCH(QString, text);
        QFETCH(QString, balance);
        QFETCH(QString, details);
        MainWindow m;
        QVERIFY(WriteSettings(m.dir.path(), kAccount));
        telvoro::client::SessionOptions options;
        options.gateway = [&](const telvoro::DataSource&, telvoro::client::LockWait) {
            auto g = std::make_unique<telvoro::FakeGateway>();
            g->credit = "100";
            g->failAt = failAt.toStdString();
            return g;
        };
        ScriptedDialogs dialogs;
        QVERIFY(m.OpenShown(options));
        m.Press(m.c().Btn_Conn);
        QCOMPARE(m.c().Edit_YuE->text(), QStringLiteral("100"));
        m.List().AddIfNewPhone("a", "13900000001");
        m.TickRow(0);
        QString shownDetails;
        dialogs.answer = [&](QDialog& d) {
            shownDetails = static_cast<QMessageBox&>(d).informativeText();
            return int(QMessageBox::Ok);
        };
        m.Press(m.c().Btn_Begin);
        QCOMPARE(dialogs.Texts(), QStringList{text});
        QCOMPARE(int(dialogs.seen[0].icon), icon);
        QVERIFY2(details.isEmpty() ? shownDetails.isEmpty() : shownDetails.startsWith(details),
                 qPrintable(shownDetails));
        QCOMPARE(m.c().Edit_YuE->text(), balance);
        QVERIFY(m.w().isVisible());
    }

    void handOffMergedWithinASecond() {
        MainWindow m;
        m.Open();
        m.w().show();
        const QString file = m.File(QStringLiteral("SendGSM.ini"));
        WriteFile(file, Gbk("张三\t13900000001\r\n李四\t13900000002\r\n重复\t13900000001\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(m.c().ListView1->model()->rowCount(), 2, 2500);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(file), 1000);
        auto* model = m.c().ListView1->model();
        QCOMPARE(model->data(model->index(1, 0)).toString(), QStringLiteral("2"));
        QCOMPARE(model->data(model->index(1, 1)).toString(), QStringLiteral("李四"));
        QCOMPARE(model->data(model->index(1, 2)).toString(), QStringLiteral("13900000002"));
        QCOMPARE(model->data(model->index(1, 3)).toString(), QStringLiteral("待发"));
        QCOMPARE(model->data(model->index(1, 0), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QVERIFY(!m.c().ListView1->isEnabled()); // filled before any connection
    }

    // Merged entries are never wiped by a confirmed edit: the hand-off file
    // waits while the editing dialog is open and is merged after it closed.
    void handOffHeldBackWhileEditing() {
        MainWindow m;
        QVERIFY(m.OpenConnected());
        m.List().AddIfNewPhone("a", "13900000001");
        const QString file = m.File(QStringLiteral("SendGSM.ini"));
        ScriptedDialogs dialogs;
        int countInDialog = -1;
        dialogs.answer = [&](QDialog& d) {
            auto* edit = qobject_cast<telvoro::ui::TFrm_EditSendTel*>(&d);
            if (edit == nullptr) return int(QDialog::Rejected);
            WriteFile(file, "b\t13900000002\r\n");
            m.Tick(); // two ticks while the dialog is open
            m.Tick();
            countInDialog = int(m.List().Count());
            Button1(*edit)->click();
            return int(QDialog::Accepted);
        };
        m.Press(m.c().Btn_Edit);
        QCOMPARE(countInDialog, 1);
        QVERIFY(QFile::exists(file) ||
                QFile::exists(m.File(QStringLiteral("SendGSM.ini.claimed"))));
        // The confirmed edit rebuilt the list, then the waiting file is merged.
        QCOMPARE(m.List().At(0).Customer, ToGbk(QStringLiteral("接收者")));
        m.Tick();
        QCOMPARE(int(m.List().Count()), 2);
        QCOMPARE(m.List().At(1).Phone, std::string("13900000002"));
    }

    void editDialogConfirmAndCancel() {
        MainWindow m;
        QVERIFY(m.OpenConnected());
        auto& list = m.List();
        list.AddIfNewPhone("a", "13900000001");
        list.AddIfNewPhone("b", "");
        ScriptedDialogs dialogs;
        QString shownCount;
        dialogs.answer = [&](QDialog& d) {
            auto& edit = static_cast<telvoro::ui::TFrm_EditSendTel&>(d);
            shownCount = Edit_SL(edit)->text();
            Memo1(edit)->appendPlainText(QStringLiteral("１３９０００００００２"));
            Button2(edit)->click();
            return int(QDialog::Rejected);
        };
        m.Press(m.c().Btn_Edit);
        QCOMPARE(shownCount, QStringLiteral("2"));
        QCOMPARE(list.Count(), std::size_t(2));
        QCOMPARE(list.At(0).Customer, std::string("a"));

        dialogs.answer = [&](QDialog& d) {
            auto& edit = static_cast<telvoro::ui::TFrm_EditSendTel&>(d);
            Memo1(edit)->setPlainText(QStringLiteral("13900000001\nabc\n１３９０００００００２\n"));
            Button1(edit)->click();
            return int(QDialog::Accepted);
        };
        m.Press(m.c().Btn_Edit);
        QCOMPARE(list.Count(), std::size_t(2));
        QCOMPARE(list.At(0).SeqNo, std::string("1"));
        QCOMPARE(list.At(1).SeqNo, std::string("3"));
        QCOMPARE(list.At(1).Phone, std::string("13900000002"));
        QVERIFY(list.At(0).Checked && list.At(1).Checked);
    }

    void editDialogKeepsBytesItCannotShow() {
        // Phones from files are taken byte for byte; one that is not GBK text
        // still comes back unchanged when the operator confirms without editing.
        MainWindow m;
        QVERIFY(m.OpenConnected());
        auto& list = m.List();
        const std::string odd = std::string("1390000000") + "\x81"; // 11 bytes, a cut-off lead byte
        list.AddIfNewPhone("a", odd);
        list.AddIfNewPhone("b", "13900000002");
        ScriptedDialogs dialogs;
        dialogs.answer = [&](QDialog& d) {
            Button1(d)->click();
            return int(QDialog::Accepted);
        };
        m.Press(m.c().Btn_Edit);
        QCOMPARE(dialogs.Texts(), QStringList{QString()}); // the dialog only, no error report
        QCOMPARE(list.Count(), std::size_t(2));
        QCOMPARE(list.At(0).Phone, odd);
        QCOMPARE(list.At(1).Phone, std::string("13900000002"));
    }

    void closeDuringHandlerWaits() {
        MainWindow m;
        QVERIFY(m.OpenConnected());
        ScriptedDialogs dialogs;
        bool visibleAfterClose = false;
        dialogs.answer = [&](QDialog& d) {
            m.w().close(); // the close box while the dialog's handler runs
            visibleAfterClose = m.w().isVisible() && d.parentWidget() == &m.w();
            return int(QDialog::Rejected);
        };
        m.Press(m.c().Btn_Edit);
        QVERIFY(visibleAfterClose);
        QVERIFY(!m.w().isVisible());
    }

    void saveAndLoadThroughTheDialogs() {
        SKIP_WHERE_FILE_DIALOGS_ARE_NATIVE();
        MainWindow m;
        QVERIFY(m.OpenConnected());
        auto& list = m.List();
        list.AddIfNewPhone(ToGbk(QStringLiteral("张三")), "13900000001");
        list.AddIfNewPhone("b", "13900000002");
        ScriptedDialogs dialogs;
        QString proposed;
        const QString target = m.File(QStringLiteral("list"));
        dialogs.answer = [&](QDialog& d) {
            auto& fd = static_cast<QFileDialog&>(d);
            proposed = fd.selectedFiles().value(0);
            fd.selectFile(target);
            return int(QDialog::Accepted);
        };
        m.Press(m.c().Btn_Save);
        QVERIFY(proposed.endsWith(QStringLiteral("SendList.dat")));
        QFile saved(target + QStringLiteral(".dat"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), Gbk("张三\t13900000001\t待发\r\nb\t13900000002\t待发\r\n"));
        m.Press(m.c().Btn_Save);
        QVERIFY(proposed.endsWith(QStringLiteral("list.dat"))); // the last file chosen

        list.AddIfNewPhone("c", "13900000003");
        dialogs.answer = [&](QDialog& d) {
            auto& fd = static_cast<QFileDialog&>(d);
            proposed = fd.selectedFiles().value(0);
            fd.selectFile(target + QStringLiteral(".dat"));
            return int(QDialog::Accepted);
        };
        m.Press(m.c().Btn_Load);
        QVERIFY(proposed.endsWith(QStringLiteral("*.dat")));
        QCOMPARE(list.Count(), std::size_t(2));

        // Accepting a name with wildcards lists those files instead of opening one.
        int asked = 0;
        dialogs.answer = [&](QDialog& d) {
            auto& fd = static_cast<QFileDialog&>(d);
            fd.selectFile(++asked == 1 ? m.File(QStringLiteral("*.dat"))
                                       : target + QStringLiteral(".dat"));
            return int(QDialog::Accepted);
        };
        list.AddIfNewPhone("d", "13900000004");
        m.Press(m.c().Btn_Load);
        QCOMPARE(asked, 2);
        QCOMPARE(list.Count(), std::size_t(2));
        QCOMPARE(m.c().ListView1->model()->rowCount(), 2);

        // Cancelling changes nothing.
        dialogs.answer = [](QDialog&) { return int(QDialog::Rejected); };
        m.Press(m.c().Btn_Load);
        QCOMPARE(list.Count(), std::size_t(2));
    }

    void loadFailureGoesToErrorReport() {
        SKIP_WHERE_FILE_DIALOGS_ARE_NATIVE();
        MainWindow m;
        QVERIFY(m.OpenConnected());
        m.List().AddIfNewPhone("a", "1");
        ScriptedDialogs dialogs;
        dialogs.answer = [&](QDialog& d) {
            if (auto* fd = qobject_cast<QFileDialog*>(&d)) {
                fd->selectFile(m.File(QStringLiteral("nothere.dat")));
                return int(QDialog::Accepted);
            }
            return int(QMessageBox::Ok);
        };
        m.Press(m.c().Btn_Load);
        QCOMPARE(dialogs.seen.size(), std::size_t(2));
        QCOMPARE(dialogs.seen[1].icon, QMessageBox::Critical);
        QCOMPARE(dialogs.seen[1].title, QStringLiteral("短信发送"));
        QVERIFY(dialogs.seen[1].text.contains(QStringLiteral("nothere.dat")));
        QCOMPARE(m.List().Count(), std::size_t(1));
        QVERIFY(m.w().isVisible() || !m.w().testAttribute(Qt::WA_WState_Visible));
    }

    void errorReportText_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "disk full"
                                << "disk full.";
        QTest::newRow("chinese stop") << "无法打开。"
                                      << "无法打开。.";
        QTest::newRow("already a dot") << "done."
                                       << "done.";
        QTest::newRow("bang sorts before") << "oops!"
                                           << "oops!";
        QTest::newRow("empty") << ""
                               << "";
    }
    void errorReportText() {
        QFETCH(QString, what);
        QFETCH(QString, shown);
        QCOMPARE(telvoro::ui::ErrorReportText(what), shown);
    }

    void selectAllTicksEveryRow() {
        MainWindow m;
        QVERIFY(m.OpenShown());
        for (int i = 0; i < 3000; ++i)
            m.List().AddIfNewPhone("n", std::to_string(13900000000LL + i));
        m.Press(m.c().CheckBox1);
        for (std::size_t i = 0; i < m.List().Count(); ++i)
            QVERIFY(m.List().At(i).Checked);
        m.List().AddIfNewPhone("late", "1");
        QVERIFY(!m.List().At(3000).Checked);
        m.Press(m.c().CheckBox1);
        QVERIFY(!m.c().CheckBox1->isChecked());
        QVERIFY(!m.List().At(0).Checked);
    }

    // The list's keys: space ticks the current row whatever cell is current
    // and never edits; Home and End go to the first and the last row; F2
    // edits the first column of the current row, which takes only GBK text.
    void listKeys() {
        MainWindow m;
        QVERIFY(m.OpenConnected());
        auto& list = m.List();
        for (int i = 0; i < 50; ++i)
            list.AddIfNewPhone("n", std::to_string(13900000000LL + i));
        QTableView* v = m.c().ListView1;
        v->setFocus();
        auto* model = v->model();
        auto editing = [&] {
            for (const QLineEdit* e : v->viewport()->findChildren<QLineEdit*>())
                if (e->isVisible()) return true;
            return false;
        };
        for (const int column : {0, 1, 2, 3}) {
            const int row = 3 + column;
            v->setCurrentIndex(model->index(row, column)); // selects the row, as a click does
            QTest::keyClick(v, Qt::Key_Space);
            QVERIFY2(list.At(std::size_t(row)).Checked, qPrintable(QString::number(column)));
            QVERIFY(!editing());
            QCOMPARE(list.At(std::size_t(row)).SeqNo, std::to_string(row + 1));
            QTest::keyClick(v, Qt::Key_Space);
            QVERIFY(!list.At(std::size_t(row)).Checked);
        }
        QTest::keyClick(v, Qt::Key_End);
        QCOMPARE(v->currentIndex().row(), 49);
        QTest::keyClick(v, Qt::Key_Home);
        QCOMPARE(v->currentIndex().row(), 0);
        QVERIFY(!editing());
        auto editRow7 = [&](const QString& text) {
            v->setCurrentIndex(model->index(7, 2));
            QTest::keyClick(v, Qt::Key_F2);
            QVERIFY(editing());
            auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
            QVERIFY(editor != nullptr);
            editor->setText(text);
            QTest::keyClick(editor, Qt::Key_Return);
            QTRY_VERIFY(!editing());
        };
        editRow7(QStringLiteral("八"));
        QCOMPARE(list.At(7).SeqNo, ToGbk(QStringLiteral("八")));
        QCOMPARE(list.At(7).Phone, std::string("13900000007"));
        editRow7(QStringLiteral("\u0E01")); // no GBK form: refused
        QCOMPARE(list.At(7).SeqNo, ToGbk(QStringLiteral("八")));
    }

    // Four digits fit the 40-pixel first column beside its check box.
    void sequenceNumbersLegible() {
        MainWindow m;
        m.Open();
        m.List().AddIfNewPhone("n", "1");
        m.w().show();
        QVERIFY(QTest::qWaitForWindowExposed(&m.w()));
        const QRect cell = m.c().ListView1->visualRect(m.c().ListView1->model()->index(0, 0));
        QCOMPARE(cell.width(), 39); // 40 less the grid line
        const QRect box = telvoro::ui::RecipientView::CheckRect(cell);
        const QRect number = telvoro::ui::RecipientView::NumberRect(cell);
        QVERIFY(cell.contains(box) && cell.contains(number));
        QVERIFY(!box.intersects(number));
        QVERIFY(box.width() >= 11);
        const QFontMetricsF metrics(m.c().ListView1->font());
        for (QChar d = u'0'; d <= u'9'; d = QChar(d.unicode() + 1))
            QVERIFY2(metrics.horizontalAdvance(QString(4, d)) <= number.width(),
                     qPrintable(QString(4, d)));
    }

    // With the keyboard focus the list draws a focus frame, also when empty.
    void listFocusVisible() {
        MainWindow m;
        QVERIFY(m.OpenConnected());
        auto shot = [&] { return m.c().ListView1->viewport()->grab().toImage(); };
        m.c().Memo1->setFocus();
        const QImage emptyUnfocused = shot();
        m.c().ListView1->setFocus();
        QVERIFY(m.c().ListView1->hasFocus());
        QVERIFY(shot() != emptyUnfocused);
        m.List().AddIfNewPhone("n", "13900000001");
        m.List().AddIfNewPhone("n", "13900000002");
        m.c().ListView1->setCurrentIndex(m.c().ListView1->model()->index(1, 2));
        const QImage focused = shot();
        m.c().Memo1->setFocus();
        QVERIFY(shot() != focused);
    }

    // The frame line of the list's group box runs at the middle of its
    // caption, above the list's header.
    void groupBoxFrameAtCaptionMiddle() {
        MainWindow m;
        m.Open();
        for (const char* name : {"GroupBox1", "GroupBox2"}) {
            auto* box = Control<QGroupBox>(m.w(), name);
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QRect frame = box->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                             QStyle::SC_GroupBoxFrame, box);
            const QRect caption = box->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                               QStyle::SC_GroupBoxLabel, box);
            const int height = box->fontMetrics().height();
            QCOMPARE(frame.top(), height / 2);
            QCOMPARE(caption.top(), 0);
            QVERIFY(caption.width() >= box->fontMetrics().horizontalAdvance(box->title()));
            // The frame line is drawn there.
            const QImage image = box->grab().toImage();
            const QColor background = box->palette().color(QPalette::Window);
            QVERIFY(image.pixelColor(box->width() / 2, frame.top()) != background);
            QVERIFY(image.pixelColor(box->width() / 2, frame.top() + 3) == background);
        }
        QVERIFY(m.c().ListView1->geometry().top() >
                Control<QGroupBox>(m.w(), "GroupBox1")->fontMetrics().height() / 2);
    }

    // The count stays whole inside its group box at every length, at its
    // place while it fits there; the controls standing on the group box
    // frames hide the frame line behind them.
    void countAndFrameCaptionsLegible_data() {
        QTest::addColumn<int>("length");
        for (const int length : {0, 12, 123, 1234, 123456})
            QTest::newRow(qPrintable(QString::number(length))) << length;
    }
    void countAndFrameCaptionsLegible() {
        QFETCH(int, length);
        MainWindow m;
        QVERIFY(m.OpenShown());
        m.c().Memo1->setPlainText(QString(length, u'a'));
        QLabel* count = m.c().Label_Count;
        QCOMPARE(count->text(), QString::number(length) + QStringLiteral("个字"));
        auto* box = Control<QGroupBox>(m.w(), "GroupBox2");
        const QFontMetrics metrics(count->font());
        QVERIFY(count->width() >= metrics.horizontalAdvance(count->text()));
        QVERIFY(count->geometry().right() < box->width() - 2); // inside the frame
        QCOMPARE(count->y(), 0);
        if (length < 100) QCOMPARE(count->x(), 260);
        // The longest count a message can have still fits right of 短信模板.
        const int modalRight = m.c().Btn_Modal->geometry().right() - box->x();
        QVERIFY(metrics.horizontalAdvance(QStringLiteral("2147483647个字")) <
                box->width() - 3 - modalRight);
        QVERIFY(count->x() > modalRight);
        for (QWidget* onFrame :
             {static_cast<QWidget*>(count), static_cast<QWidget*>(m.c().CheckBox1)}) {
            const QRect place(onFrame->mapTo(&m.w(), QPoint(0, 0)), onFrame->size());
            QCOMPARE(m.w().grab(place).toImage().convertToFormat(QImage::Format_RGB32),
                     onFrame->grab().toImage().convertToFormat(QImage::Format_RGB32));
        }
    }

    // The open dialog lists the .dat files from its first showing on.
    void openDialogListsDatFiles() {
        SKIP_WHERE_FILE_DIALOGS_ARE_NATIVE();
        MainWindow m;
        for (const char* name : {"a.dat", "b.txt", "m.c().dat"})
            WriteFile(m.File(QString::fromLatin1(name)), "x");
        QVERIFY(m.OpenConnected());
        ScriptedDialogs dialogs;
        QStringList listed;
        QString proposed;
        dialogs.answer = [&](QDialog& d) {
            auto& fd = static_cast<QFileDialog&>(d);
            proposed = fd.selectedFiles().value(0);
            fd.setOption(QFileDialog::DontUseNativeDialog);
            fd.setDirectory(m.dir.path());
            fd.show();
            auto* view = fd.findChild<QListView*>(QStringLiteral("listView"));
            if (view == nullptr) return int(QDialog::Rejected);
            auto names = [&] {
                QStringList n;
                for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
                    n << view->model()->index(r, 0, view->rootIndex()).data().toString();
                n.sort();
                return n;
            };
            static_cast<void>(QTest::qWaitFor([&] { return names().size() >= 2; }, 3000));
            QTest::qWait(50);
            listed = names();
            fd.hide();
            return int(QDialog::Rejected);
        };
        m.Press(m.c().Btn_Load);
        QVERIFY(proposed.endsWith(QStringLiteral("*.dat")));
        QCOMPARE(listed, (QStringList{"a.dat", "m.c().dat"}));

        // Once a file was chosen the dialog proposes it, among all files.
        dialogs.answer = [&](QDialog& d) {
            static_cast<QFileDialog&>(d).selectFile(m.File(QStringLiteral("a.dat")));
            return int(QDialog::Accepted);
        };
        m.Press(m.c().Btn_Load);
        auto* open = m.w().findChild<QFileDialog*>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(open != nullptr);
        for (QFileDialog* fd :
             m.w().findChildren<QFileDialog*>(QString(), Qt::FindDirectChildrenOnly))
            if (fd->acceptMode() == QFileDialog::AcceptOpen) open = fd;
        QVERIFY(!open->nameFilters().contains(QStringLiteral("*.dat")));
        QVERIFY(open->selectedFiles().value(0).endsWith(QStringLiteral("a.dat")));
    }

    // A completion list opened while a name was typed is gone once the
    // dialog has closed.
    void noCompletionLeftOnScreen() {
        MainWindow m;
        WriteFile(m.File(QStringLiteral("million.dat")), "a\t13900000001\t\r\n");
        QVERIFY(m.OpenConnected());
        ScriptedDialogs dialogs;
        QAbstractItemView* popup = nullptr;
        bool popupShown = false;
        dialogs.answer = [&](QDialog& d) {
            auto& fd = static_cast<QFileDialog&>(d);
            fd.setOption(QFileDialog::DontUseNativeDialog);
            fd.setDirectory(m.dir.path());
            fd.show();
            auto* name = fd.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (name == nullptr || name->completer() == nullptr) return int(QDialog::Rejected);
            QCompleter* completer = name->completer();
            popup = completer->popup();
            name->setFocus();
            name->clear();
            // The file list loads in the background; type once it is there.
            static_cast<void>(QTest::qWaitFor(
                [&] {
                    completer->setCompletionPrefix(QStringLiteral("mil"));
                    return completer->completionCount() > 0;
                },
                3000));
            QTest::keyClicks(name, QStringLiteral("mil"));
            static_cast<void>(QTest::qWaitFor([&] { return popup->isVisible(); }, 2000));
            if (!popup->isVisible()) completer->complete();
            popupShown = popup->isVisible();
            name->setText(m.File(QStringLiteral("million.dat")));
            fd.hide();
            return int(QDialog::Accepted);
        };
        m.Press(m.c().Btn_Load);
        QVERIFY(popup != nullptr);
        QVERIFY(popupShown);
        QCOMPARE(m.List().Count(), std::size_t(1));
        QVERIFY(!popup->isVisible());
    }

    // Qt's own texts in the standard dialogs and message boxes are Chinese.
    void standardDialogsSpeakChinese() {
        QVERIFY(telvoro::ui::InstallChineseTranslations());
        QMessageBox box(QMessageBox::Warning, QStringLiteral("提示信息"), QStringLiteral("x"),
                        QMessageBox::Ok);
        QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
        for (const auto& [mode, accept] :
             {std::pair{QFileDialog::AcceptOpen, QStringLiteral("打开")},
              std::pair{QFileDialog::AcceptSave, QStringLiteral("保存")}}) {
            QFileDialog fd;
            fd.setOption(QFileDialog::DontUseNativeDialog);
            fd.setAcceptMode(mode);
            auto* buttons = fd.findChild<QDialogButtonBox*>();
            QVERIFY(buttons != nullptr);
            QVERIFY2(buttons
                         ->button(mode == QFileDialog::AcceptOpen ? QDialogButtonBox::Open
                                                                  : QDialogButtonBox::Save)
                         ->text()
                         .startsWith(accept),
                     qPrintable(accept));
            QCOMPARE(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
        }
    }

    // Renders the window after a connect and a merged hand-off; writes it where
    // TELVORO_SCREENSHOT says (docs/main-window.png in the repository).
    void screenshot() {
        const QByteArray out = qgetenv("TELVORO_SCREENSHOT");
        if (out.isEmpty()) QSKIP("set TELVORO_SCREENSHOT=PATH to write the screenshot");
        MainWindow m;
        QVERIFY(m.OpenConnected(12800));
        WriteFile(m.File(QStringLiteral("SendGSM.ini")),
                  Gbk("张伟\t13912345678\r\n王芳\t13887654321\r\n李娜\t13700001111\r\n"
                      "刘洋\t13622223333\r\n陈静\t13544445555\r\n杨帆\t13466667777\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m.List().Count()), 6, 3000);
        for (int row : {0, 1, 3})
            m.TickRow(row);
        for (QAction* a : m.c().PopupMenu1->actions())
            if (a->text() == QStringLiteral("生日快乐")) a->trigger();
        QTest::qWait(100);
        QVERIFY(m.w().grab().save(QString::fromLocal8Bit(out)));
    }
};

QTEST_MAIN(TestTelvoro)
#include "tst_telvoro.moc"
