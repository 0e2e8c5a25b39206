// What an operator on a Linux desktop meets first: the templates editor of
// the program's own, the Chinese wording of the program's error texts, and
// the status line that says why a first start cannot connect.

#include "UiTestSupport.h"

#include "app/SqlSession.h"
#include "tests/support/FakeGateway.h"
#include "tests/support/RecordingView.h"

#include "core/FileIO.h"
#include "files/ProgramFolder.h"
#include "files/Templates.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"
#include "ui/OperatorTexts.h"
#include "ui/SetupStatus.h"
#include "ui/TemplatesEditor.h"
#include "ui/Unit_Telvoro.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <QTreeView>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace telvoro::ui;

namespace {

std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

telvoro::ProgramFolder Folder(const QTemporaryDir& dir) {
    return telvoro::ProgramFolder(telvoro::ToFsPath(dir.path()));
}

} // namespace

class TestFirstStart : public QObject {
    Q_OBJECT

private slots:
    void operatorTexts_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("shown");
        QTest::newRow("not GBK") << "text is not valid GBK"
                                 << "文字不是有效的 GBK 编码";
        QTest::newRow("no GBK form") << "the character “😀” (U+1F600) has no GBK form"
                                     << "字符“😀”（U+1F600）没有 GBK 编码，不能发送";
        QTest::newRow("not connected") << "not connected to the SMS server"
                                       << "没有连接服务器";
        QTest::newRow("time limit") << "credit query: no answer from the server within 300 s"
                                    << "查询余额时出错：服务器在 300 秒内没有应答";
        QTest::newRow("connect") << "cannot connect to postgresql://db:5433: Connection refused"
                                 << "无法连接数据库 postgresql://db:5433：连接被拒绝";
        QTest::newRow("libpq")
            << "cannot connect to postgresql://***@h:1: connection to server at \"h\" "
               "(10.0.0.1), port 1 failed: Connection refused"
            << "无法连接数据库 postgresql://***@h:1：连接服务器 h 的端口 1 失败：连接被拒绝";
        QTest::newRow("lost") << "commit: the connection to the server was lost"
                              << "提交时出错：与服务器的连接已经断开";
        QTest::newRow("system reason") << "无法打开文件“/a/b.dat”：No such file or directory"
                                       << "无法打开文件“/a/b.dat”：没有那个文件或目录";
        QTest::newRow("balance") << "'12x' is not a valid integer value"
                                 << "“12x”不是有效的整数";
        QTest::newRow("locked")
            << "cannot open /p/Orvanta.db: database is locked"
            << "无法打开数据库“/p/Orvanta.db”：数据库被锁定（另一个程序正在写入）";
        QTest::newRow("damaged")
            << "credit query: database disk image is malformed Unable to fetch row"
            << "查询余额时出错：数据库文件已损坏（磁盘映像格式错误） Unable to fetch row";
        QTest::newRow("statement")
            << "Select CurrSum from Users where login=?: database disk image is malformed"
            << "执行数据库语句时出错：数据库文件已损坏（磁盘映像格式错误）";
        QTest::newRow("Chinese stays") << "发送过程出现错误。"
                                       << "发送过程出现错误。";
        QTest::newRow("unknown stays") << "insert failed"
                                       << "insert failed";
    }
    void operatorTexts() {
        QFETCH(QString, what);
        QFETCH(QString, shown);
        QCOMPARE(OperatorText(what), shown);
    }

    // The error report shows the Chinese text, with its stated final ".".
    void errorReportInChinese() {
        ScriptedDialogs dialogs;
        RunGuarded(nullptr, [] { throw telvoro::EncodingError("text is not valid GBK"); });
        QCOMPARE(dialogs.Texts(), QStringList{QStringLiteral("文字不是有效的 GBK 编码.")});
    }

    void templatesEditorReadsAndWritesGbk_data() {
        QTest::addColumn<QByteArray>("bytes");
        const std::string gbk = telvoro::DefaultTemplatesText();
        const std::string utf8 =
            Utf8(u8"[注意每条短信只能写一行，不能使用自动换行，标题和内容用等号分开]\n"
                 u8"[每次修改模板后发送短信的窗口重新启动后生效。]\n"
                 u8"生日快乐=尊敬的客户，感谢您多年来对朗岳软件的支持，"
                 u8"我们全体员工祝您生日快乐。\n"
                 u8"欠款提示=\n五一快乐=\n国庆快乐=\n元旦快乐=\n圣诞节=\n春节快乐=\n");
        QTest::newRow("GBK") << QByteArray::fromStdString(gbk);
        QTest::newRow("UTF-8") << QByteArray::fromStdString(utf8);
        QTest::newRow("UTF-8 with BOM") << QByteArray::fromStdString("\xEF\xBB\xBF" + utf8);
    }
    void templatesEditorReadsAndWritesGbk() {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const auto file = Folder(dir).TemplatesFile();
        telvoro::WriteWholeFile(file, bytes.toStdString());
        QWidget owner;
        ScriptedDialogs dialogs;
        TemplatesEditor* editor = TemplatesEditor::Open(&owner, file);
        QVERIFY(editor != nullptr);
        QVERIFY(dialogs.seen.empty());
        auto* text = Control<GbkTextEdit>(*editor, "TemplatesText");
        QCOMPARE(text->toPlainText().split(u'\n').value(2),
                 QStringLiteral("生日快乐=尊敬的客户，感谢您多年来对朗岳软件的支持，"
                                "我们全体员工祝您生日快乐。"));
        // A second choice of the menu entry raises the same window.
        QCOMPARE(TemplatesEditor::Open(&owner, file), editor);

        // Saved: the GBK text with CR LF after every line, whatever was read.
        QVERIFY(editor->Save());
        QCOMPARE(telvoro::ReadWholeFile(file), telvoro::DefaultTemplatesText());
        // The last line gets its CR LF although the text does not end in one.
        text->moveCursor(QTextCursor::End);
        text->insertPlainText(QStringLiteral("会议=明天开会"));
        Control<QPushButton>(*editor, "TemplatesSave")->click();
        QCOMPARE(telvoro::ReadWholeFile(file),
                 telvoro::DefaultTemplatesText() + telvoro::Utf8ToGbk(Utf8(u8"会议=明天开会\r\n")));
        QVERIFY(editor->close());
    }

    // A templates file a Linux editor saved as UTF-8: the menu shows the
    // titles, a choice puts the content into the message, and the file opens
    // in the program's own editor.
    void mainWindowReadsUtf8Templates() {
        QTemporaryDir dir;
        const auto file = Folder(dir).TemplatesFile();
        telvoro::WriteWholeFile(file, "\xEF\xBB\xBF" +
                                          Utf8(u8"生日快乐=祝您生日快乐！\n会议=明天开会\n"));
        TFrm_Telvoro w(Folder(dir));
        const QList<QAction*> actions = Control<QMenu>(w, "PopupMenu1")->actions();
        QCOMPARE(actions.size(), 4);
        QCOMPARE(actions[2]->text(), QStringLiteral("生日快乐"));
        QCOMPARE(actions[3]->text(), QStringLiteral("会议"));
        actions[2]->trigger();
        QCOMPARE(Control<GbkTextEdit>(w, "Memo1")->toPlainText(), QStringLiteral("祝您生日快乐！"));
        Control<QAction>(w, "N1")->trigger();
#ifdef Q_OS_WIN
        // Windows: notepad.exe on the file, through the shell's "open".
        QVERIFY(w.findChild<TemplatesEditor*>() == nullptr);
        HWND notepad = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((notepad = FindWindowW(L"Notepad", nullptr)) != nullptr, 20000);
        PostMessageW(notepad, WM_CLOSE, 0, 0);
#else
        // "添加、修改模板" starts the program itself as the editor, in a process
        // of its own that outlives the window (here: this test, see main).
        QVERIFY(w.findChild<TemplatesEditor*>() == nullptr);
        const QString started = QDir::toNativeSeparators(telvoro::ToQString(file)) + ".started";
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 10000);
#endif
    }

    void templatesEditorRefusals() {
        QTemporaryDir dir;
        const auto file = Folder(dir).TemplatesFile();
        QWidget owner;
        ScriptedDialogs dialogs;
        // Missing: a Chinese message, no window.
        QCOMPARE(TemplatesEditor::Open(&owner, file), nullptr);
        QCOMPARE(dialogs.Texts().value(0).section(u'\n', 0, 0),
                 QStringLiteral("无法打开模板文件。"));
        // Bytes that are neither GBK nor UTF-8: shown as U+FFFD, said so, and
        // left out when saved; the rest of the line stays.
        telvoro::WriteWholeFile(file, "a=\x81\x20x\r\n");
        TemplatesEditor* broken = TemplatesEditor::Open(&owner, file);
        QVERIFY(broken != nullptr);
        QCOMPARE(dialogs.seen.size(), std::size_t(2));
        QVERIFY(dialogs.seen[1].text.contains(QStringLiteral("既不是 GBK 也不是 UTF-8")));
        QVERIFY(Control<GbkTextEdit>(*broken, "TemplatesText")
                    ->toPlainText()
                    .contains(QChar::ReplacementCharacter));
        // Saving would lose them: asked first; "No" leaves the file as it was.
        dialogs.answer = [](QDialog&) { return int(QMessageBox::No); };
        QVERIFY(!broken->Save());
        QCOMPARE(dialogs.seen.size(), std::size_t(3));
        QVERIFY(dialogs.seen[2].text.contains(QStringLiteral("无法读取的字节")));
        QCOMPARE(telvoro::ReadWholeFile(file), std::string("a=\x81\x20x\r\n"));
        dialogs.answer = [](QDialog&) { return int(QMessageBox::Yes); };
        QVERIFY(broken->Save());
        const std::string saved = telvoro::ReadWholeFile(file);
        QVERIFY2(saved.starts_with("a=") && saved.ends_with("x\r\n") &&
                     saved.find('\x81') == std::string::npos,
                 saved.c_str());
        QVERIFY(broken->close());

        // A UTF-8 file with a character the box cannot take: named when it
        // opens, and kept in the file unless the operator agrees to lose it.
        const std::string utf8 = Utf8(u8"笑=😀好\n");
        telvoro::WriteWholeFile(file, utf8);
        dialogs.seen.clear();
        dialogs.answer = {};
        TemplatesEditor* emoji = TemplatesEditor::Open(&owner, file);
        QVERIFY(emoji != nullptr);
        QCOMPARE(dialogs.seen.size(), std::size_t(1));
        QVERIFY(dialogs.seen[0].text.contains(QStringLiteral("“😀”（U+1F600）没有 GBK 编码")));
        QCOMPARE(Control<GbkTextEdit>(*emoji, "TemplatesText")->toPlainText(),
                 QStringLiteral("笑=好\n"));
        dialogs.answer = [](QDialog&) { return int(QMessageBox::No); };
        QVERIFY(!emoji->Save());
        QCOMPARE(telvoro::ReadWholeFile(file), utf8);
        dialogs.answer = [](QDialog&) { return int(QMessageBox::Yes); };
        QVERIFY(emoji->Save());
        QCOMPARE(telvoro::ReadWholeFile(file), telvoro::Utf8ToGbk(Utf8(u8"笑=好\r\n")));
        QVERIFY(emoji->close());

        // Unsaved changes are asked about; Cancel keeps the window open.
        telvoro::WriteWholeFile(file, "a=b\r\n");
        TemplatesEditor* editor = TemplatesEditor::Open(&owner, file);
        QVERIFY(editor != nullptr && editor != broken); // the closed one is not raised again
        auto* text = Control<GbkTextEdit>(*editor, "TemplatesText");
        QCOMPARE(text->toPlainText(), QStringLiteral("a=b\n"));
        text->appendPlainText(QStringLiteral("c=d"));
        dialogs.answer = [](QDialog&) { return int(QMessageBox::Cancel); };
        QVERIFY(!editor->close());
        dialogs.answer = [](QDialog&) { return int(QMessageBox::Discard); };
        QVERIFY(editor->close());
        QCOMPARE(telvoro::ReadWholeFile(file), std::string("a=b\r\n"));
    }

    // An empty program folder: no account file, no database. The status line
    // says so and its details name the folder and the admin tool's steps.
    void setupStatusOnAFirstStart() {
        QTemporaryDir dir;
        const telvoro::ProgramFolder folder = Folder(dir);
        QWidget window;
        telvoro::RecordingView view;
        const telvoro::client::ClientSession session(folder, view);
        SetupStatus status(session, &window);
        status.CheckAccountFile();
        QVERIFY(!status.isHidden());
        QVERIFY(status.text().startsWith(QStringLiteral("缺少帐户文件")));
        const QString root = QDir::toNativeSeparators(dir.path());
        for (const QString& part :
             {QStringLiteral("GSMConfig.ini"), root, QStringLiteral("telvoro-admin init"),
              QStringLiteral("telvoro-admin account"), QStringLiteral("telvoro-admin config")})
            QVERIFY2(status.Details().contains(part), qPrintable(part));

        const std::string cause = "无法打开数据库“" + (dir.path() + "/Orvanta.db").toStdString() +
                                  "”：No such file or directory";
        status.ShowConnectFailure(cause);
        QVERIFY(status.text().startsWith(QStringLiteral("找不到数据库文件")));
        QVERIFY(status.Details().contains(QStringLiteral("没有那个文件或目录")));
        QVERIFY(status.Details().contains(QStringLiteral("没有 SMSServer.ini")));
        QCOMPARE(status.toolTip(), status.Details());

        ScriptedDialogs dialogs;
        status.ShowDetails();
        QCOMPARE(dialogs.Texts(), QStringList{status.Details()});
        status.ShowConnected();
        QVERIFY(status.isHidden());
    }

    // In the main window: the stated caption and notice stay as they are; the
    // status line and the notice's smaller print say why.
    void mainWindowExplainsAFirstStart() {
        QTemporaryDir dir;
        ScriptedDialogs dialogs;
        {
            TFrm_Telvoro w(Folder(dir), telvoro::app::SqlSessionOptions());
            auto* status = Control<SetupStatus>(w, "SetupStatus");
            QVERIFY(!status->isHidden());
            QCOMPARE(status->geometry(), QRect(91, 513, 106, 34));
            Control<QPushButton>(w, "Btn_Conn")->click();
            QCOMPARE(w.windowTitle(), QStringLiteral("服务器连接失败，请联系供应商。"));
            QVERIFY(status->text().startsWith(QStringLiteral("找不到数据库文件")));
            QVERIFY(status->sizeHint().width() <= status->width());
            QVERIFY(status->sizeHint().height() <= status->height());
            QVERIFY(status->Details().contains(QStringLiteral("Orvanta.db")));
        }
        // A database that answers, but no account file: the missing file and
        // the command that makes it; the program stays for the next connect.
        telvoro::client::SessionOptions options;
        options.gateway = [](const telvoro::DataSource&, telvoro::client::LockWait) {
            auto g = std::make_unique<telvoro::FakeGateway>();
            g->credit = std::nullopt;
            return g;
        };
        TFrm_Telvoro w(Folder(dir), options);
        w.show();
        Control<QPushButton>(w, "Btn_Conn")->click();
        QCOMPARE(dialogs.Texts().size(), 1);
        QVERIFY(dialogs.Texts()[0].startsWith(QStringLiteral("帐户文件GSMConfig.ini不存在")));
        QVERIFY(dialogs.Texts()[0].contains(QStringLiteral("telvoro-admin config")));
        QVERIFY(w.isVisible());
    }

    // The list and save dialogs open in the program folder, and their file
    // list reads Chinese whatever the desktop's language.
    void fileDialogsInChinese() {
#ifdef Q_OS_WIN
        QSKIP("Windows shows its own file dialogs");
#else
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("lists")));
        telvoro::WriteWholeFile(Folder(dir).Path() / "SendList.dat", "a\t13900000001\tx\r\n");
        TFrm_Telvoro w(Folder(dir));
        for (const char* name : {"SaveDialog1", "OpenDialog1"}) {
            auto* dialog = Control<QFileDialog>(w, name);
            QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
            dialog->show();
            auto* view = Control<QTreeView>(*dialog, "treeView");
            const auto shown = [view](const QString& file, int column) {
                QAbstractItemModel* model = view->model();
                const QModelIndex root = view->rootIndex();
                for (int row = 0; row < model->rowCount(root); ++row)
                    if (model->index(row, 0, root).data().toString() == file)
                        return model->index(row, column, root).data().toString();
                return QString();
            };
            QTRY_COMPARE(shown(QStringLiteral("lists"), 2), QStringLiteral("文件夹"));
            QCOMPARE(shown(QStringLiteral("SendList.dat"), 2), QStringLiteral("dat 文件"));
            QCOMPARE(shown(QStringLiteral("SendList.dat"), 1), QStringLiteral("17 字节"));
            dialog->hide();
        }
#endif
    }

    void connectFailureSummaries_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("summary");
        QTest::newRow("time limit") << "cannot connect to db: no answer from the server within 15 s"
                                    << "连不上数据库";
        QTest::newRow("refused") << "cannot connect to postgresql://h: Connection refused"
                                 << "连不上数据库";
        QTest::newRow("bad setting") << "invalid PostgreSQL port in data source: postgresql://h:0"
                                     << "数据库设置有误";
        QTest::newRow("locked") << "cannot open /x: database is locked"
                                << "数据库被锁定";
        QTest::newRow("damaged") << "cannot open /x: database disk image is malformed"
                                 << "数据库文件已损坏";
        QTest::newRow("not a database") << "cannot open /x: file is not a database"
                                        << "数据库文件已损坏";
        QTest::newRow("other") << "cannot open /x: disk I/O error"
                               << "数据库连接出错";
    }
    void connectFailureSummaries() {
        QFETCH(QString, cause);
        QFETCH(QString, summary);
        QCOMPARE(ConnectFailureSummary(cause.toStdString()), summary);
        // One line in the status line's 106 pixels, so its link stays in view.
        QVERIFY(QFontMetrics(UiFont()).horizontalAdvance(summary) <= 106);
    }

    // The help fits the cause: the set-up steps only where the database may
    // be missing, never "init" beside a database that is there.
    void connectFailureHelp_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("remedy");
        QTest::addColumn<bool>("setupSteps");
        QTest::newRow("missing") << "无法打开数据库“/p/Orvanta.db”：No such file or directory"
                                 << "telvoro-admin init" << true;
        QTest::newRow("locked") << "cannot open /p/Orvanta.db: database is locked"
                                << "请关闭那个程序" << false;
        QTest::newRow("damaged") << "cannot open /p/Orvanta.db: database disk image is malformed"
                                 << "备份副本" << false;
        QTest::newRow("not a database") << "cannot open /p/Orvanta.db: file is not a database"
                                        << "备份副本" << false;
    }
    void connectFailureHelp() {
        QFETCH(QString, cause);
        QFETCH(QString, remedy);
        QFETCH(bool, setupSteps);
        QTemporaryDir dir;
        const QString help = ConnectFailureHelp(Folder(dir), {}, cause.toStdString());
        QVERIFY2(help.contains(remedy), qPrintable(help));
        QCOMPARE(help.contains(QStringLiteral("init")), setupSteps);
        QVERIFY2(!help.contains(QLatin1String("database")), qPrintable(help));
    }
};

int main(int argc, char** argv) {
    // Started by the main window as its templates editor: say so and end.
    if (argc == 3 && std::strcmp(argv[1], "--edit-templates") == 0) {
        QFile started(QString::fromLocal8Bit(argv[2]) + ".started");
        return started.open(QIODevice::WriteOnly) ? 0 : 1;
    }
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestFirstStart test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_firststart.moc"
