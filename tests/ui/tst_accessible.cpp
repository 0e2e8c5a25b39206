// What assistive technology finds in every window of the program: each
// control an operator can use has a name, the windows are windows, the open
// template menu is in the tree, and the list keeps no focused cell once the
// focus has left it.

#include "UiTestSupport.h"

#include "tests/support/FakeGateway.h"

#include "files/ProgramFolder.h"
#include "files/Settings.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"
#include "ui/TemplatesEditor.h"
#include "ui/Unit_EditSendTel.h"
#include "ui/Unit_MsgBox.h"
#include "ui/Unit_Telvoro.h"

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QFileDialog>
#include <QMenu>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

using telvoro::ui::TFrm_Telvoro;

namespace {

// Roles an operator acts on, which a screen reader must be able to name.
bool Interactive(QAccessible::Role role) {
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::EditableText:
    case QAccessible::ComboBox:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::Table:
    case QAccessible::List:
    case QAccessible::Tree:
    case QAccessible::MenuItem:
    case QAccessible::PageTab:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::ProgressBar:
        return true;
    default:
        return false;
    }
}

struct Walk {
    QStringList unnamed;
    QList<QAccessible::Role> roles;
};

// Every visible interface below `node`; the rows of lists and tables are
// their data, not controls.
void WalkTree(QAccessibleInterface* node, Walk& walk, int depth = 0) {
    if (node == nullptr || depth > 40 || node->state().invisible) return;
    const QAccessible::Role role = node->role();
    walk.roles << role;
    if (Interactive(role) && node->text(QAccessible::Name).trimmed().isEmpty())
        walk.unnamed << QStringLiteral("%1 \"%2\" (role 0x%3)")
                            .arg(QString::fromLatin1(node->object() != nullptr
                                                         ? node->object()->metaObject()->className()
                                                         : "?"),
                                 node->object() != nullptr ? node->object()->objectName()
                                                           : QString())
                            .arg(int(role), 0, 16);
    if (role == QAccessible::Table || role == QAccessible::List || role == QAccessible::Tree)
        return;
    for (int i = 0; i < node->childCount(); ++i)
        WalkTree(node->child(i), walk, depth + 1);
}

Walk WalkWindow(QWidget& window) {
    Walk walk;
    WalkTree(QAccessible::queryAccessibleInterface(&window), walk);
    return walk;
}

// A program folder with an account file, and a main window on it connected
// to a gateway that answers, with three recipients.
struct ConnectedWindow {
    QTemporaryDir dir;
    std::unique_ptr<TFrm_Telvoro> w;

    ConnectedWindow() {
        const telvoro::ProgramFolder folder(telvoro::ToFsPath(dir.path()));
        telvoro::WriteAccountNumber(folder.SettingsFile(), "13800138000");
        telvoro::client::SessionOptions options;
        options.gateway = [](const telvoro::DataSource&, telvoro::client::LockWait) {
            return std::make_unique<telvoro::FakeGateway>();
        };
        w = std::make_unique<TFrm_Telvoro>(folder, std::move(options));
        for (const char* phone : {"13900000001", "13900000002", "13900000003"})
            w->Session().Recipients().AddIfNewPhone("", phone);
        w->show();
        Control<QPushButton>(*w, "Btn_Conn")->click();
    }
};

} // namespace

class TestAccessible : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QAccessible::setActive(true); }

    // Walks each window as a screen reader does, from the window down.
    void everyControlNamed_data() {
        QTest::addColumn<QString>("window");
        for (const char* window :
             {"main window", "template menu", "editing dialog", "templates editor", "message box",
              "notice", "save dialog", "open dialog"})
            QTest::newRow(window) << QString::fromLatin1(window);
    }
    void everyControlNamed() {
        QFETCH(QString, window);
#ifdef Q_OS_WIN
        // Windows shows its own file dialogs, outside Qt's tree.
        if (window.endsWith(QLatin1String("dialog")) && window != QLatin1String("editing dialog"))
            QSKIP("native file dialog");
#endif
        ConnectedWindow main;
        QCOMPARE(main.w->windowTitle(), QStringLiteral("服务器连接成功。"));
        Walk walk;
        if (window == QLatin1String("main window")) {
            walk = WalkWindow(*main.w);
            QCOMPARE(QAccessible::queryAccessibleInterface(main.w.get())->role(),
                     QAccessible::Window);
        } else if (window == QLatin1String("template menu")) {
            auto* menu = Control<QMenu>(*main.w, "PopupMenu1");
            menu->popup(main.w->geometry().topLeft());
            QTRY_VERIFY(menu->isVisible());
            // Found from the window, as the menu's own parent.
            walk = WalkWindow(*main.w);
            QVERIFY(walk.roles.contains(QAccessible::PopupMenu));
            QVERIFY(walk.roles.count(QAccessible::MenuItem) >= 8);
            menu->close();
        } else if (window == QLatin1String("editing dialog")) {
            telvoro::ui::TFrm_EditSendTel dialog(main.w.get());
            dialog.show();
            walk = WalkWindow(dialog);
        } else if (window == QLatin1String("templates editor")) {
            const auto file = main.w->Session().Folder().TemplatesFile();
            ScriptedDialogs dialogs;
            auto* editor = telvoro::ui::TemplatesEditor::Open(main.w.get(), file);
            QVERIFY(editor != nullptr);
            QCOMPARE(QAccessible::queryAccessibleInterface(editor)->role(), QAccessible::Window);
            walk = WalkWindow(*editor);
            editor->close();
        } else if (window == QLatin1String("message box") || window == QLatin1String("notice")) {
            ScriptedDialogs dialogs;
            dialogs.answer = [&walk](QDialog& box) {
                box.show();
                walk = WalkWindow(box);
                return int(QDialog::Rejected);
            };
            if (window == QLatin1String("notice"))
                telvoro::ui::ShowNotice(main.w.get(), QStringLiteral("提示"),
                                        QStringLiteral("提示信息"));
            else
                telvoro::ui::ShowMsgBox(QStringLiteral("确定吗？"), QStringLiteral("提示"), 33);
            QCOMPARE(dialogs.seen.size(), std::size_t(1));
        } else {
            auto* dialog = Control<QFileDialog>(
                *main.w, window == QLatin1String("save dialog") ? "SaveDialog1" : "OpenDialog1");
            dialog->show();
            walk = WalkWindow(*dialog);
            dialog->hide();
        }
        QVERIFY(!walk.roles.isEmpty());
        QVERIFY2(walk.unnamed.isEmpty(), qPrintable(walk.unnamed.join(u'\n')));
    }

    // The current cell is the focused one only while the list has the focus.
    void noFocusedCellOutsideTheList() {
        ConnectedWindow main;
        auto* list = Control<QTableView>(*main.w, "ListView1");
        QVERIFY(QTest::qWaitForWindowActive(main.w.get()));
        list->setFocus();
        list->setCurrentIndex(list->model()->index(1, 2));
        QAccessibleInterface* table = QAccessible::queryAccessibleInterface(list);
        const auto focused = [table] {
            return table->tableInterface()->cellAt(1, 2)->state().focused;
        };
        QVERIFY(focused());
        Control<QWidget>(*main.w, "Memo1")->setFocus();
        QVERIFY(!focused());
        list->setFocus();
        QVERIFY(focused());
        QCOMPARE(list->currentIndex(), list->model()->index(1, 2));
    }
};

QTEST_MAIN(TestAccessible)
#include "tst_accessible.moc"
