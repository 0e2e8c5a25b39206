// Program start: the command line, the toolkit, the application title, the
// main window on the program folder, and the event loop until that window closes.

#include "app/FolderLock.h"
#include "app/SqlSession.h"
#include "core/GbkTexts.h"
#include "files/ProgramFolderChoice.h"
#include "text/QtPath.h"
#include "ui/ProgramIdentity.h"
#include "ui/TemplatesEditor.h"
#include "ui/UiCommon.h"
#include "ui/Unit_MsgBox.h"
#include "ui/Unit_Telvoro.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

namespace {

// The folder of the running executable with a trailing separator; the empty
// text when the executable's path cannot be had.
QString GetAppPath() {
    const QString native = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
    const qsizetype cut = native.lastIndexOf(QDir::separator());
    return cut < 0 ? QString() : native.left(cut + 1);
}

// The last line of defence: nothing a handler lets out may end the program.
class TelvoroApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        bool handled = false;
        telvoro::ui::RunGuarded(nullptr, [&] { handled = QApplication::notify(receiver, event); });
        return handled;
    }
};

const QString kFolderOption = QStringLiteral("program-folder");

void DescribeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        QStringLiteral("Telvoro %1: queues bulk SMS send jobs on the SMS server's database.\n\n"
                       "Its files live in the program folder: DIR when --program-folder is\n"
                       "given, else $XDG_DATA_HOME/Telvoro (~/.local/share/Telvoro) for an\n"
                       "installed program, else the executable's own folder.")
            .arg(QStringLiteral(TELVORO_VERSION)));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({kFolderOption,
                      QString::fromUtf8("Keep the program's files (GSMConfig.ini, 短信模板.ini, "
                                        "SendGSM.ini, SMSServer.ini, Orvanta.db) in DIR, created "
                                        "when missing; one folder per account."),
                      QStringLiteral("DIR")});
    // What "添加、修改模板" starts where there is no notepad.exe.
    parser.addOption({QLatin1String(telvoro::ui::TemplatesEditor::kOption),
                      QStringLiteral("Open only the templates editor on FILE (GBK text)."),
                      QStringLiteral("FILE")});
}

telvoro::ProgramFolderChoice FolderChoice(const QCommandLineParser& parser) {
    std::optional<std::filesystem::path> chosen;
    if (parser.isSet(kFolderOption))
        chosen = telvoro::ToFsPath(
            QDir::cleanPath(QDir::current().absoluteFilePath(parser.value(kFolderOption))));
    return telvoro::ChooseProgramFolderHere(telvoro::ToFsPath(GetAppPath()), std::move(chosen));
}

// How a new installation gets its database and account file, for the
// program folder in use: the window says the same when a first start fails.
QString SetupSteps(const QString& folder) {
    return QStringLiteral(
               "Setting up a new installation (the window shows the cause of a failed\n"
               "connection beside \"连接服务器\" and these steps behind its link):\n"
               "  1. cd \"%1\"\n"
               "  2. telvoro-admin init                       create the tables; this makes the\n"
               "                                              embedded database Orvanta.db\n"
               "  3. telvoro-admin account LOGIN CREDIT       open the account with its credit\n"
               "  4. telvoro-admin config LOGIN --out GSMConfig.ini\n"
               "                                              the account file the program reads\n"
               "  5. telvoro                                  press \"连接服务器\"\n"
               "For a database on a server, first put its place into SMSServer.ini in the\n"
               "program folder (e.g. postgresql://HOST:5432) and give steps 2 and 3 the same\n"
               "text as --db \"...\"; see man telvoro.\n")
        .arg(folder);
}

// --help and --version are answered on the terminal, without a display.
bool AsksTerminalOnly(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        for (const char* o : {"-h", "--help", "-?", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], o) == 0) return true;
    return false;
}

int AnswerOnTerminal(int argc, char** argv) {
    QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    DescribeOptions(parser);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "telvoro: %s\n", parser.errorText().toUtf8().constData());
        return 2;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("telvoro %s\n", TELVORO_VERSION);
        return 0;
    }
    QString folder;
    try {
        folder = telvoro::ToQString(FolderChoice(parser).folder);
        if (folder.isEmpty()) folder = QStringLiteral("the current folder");
    } catch (const std::exception& e) {
        folder = QString::fromUtf8(e.what());
    }
    std::printf("%s\nProgram folder in use: %s\n\n%s", parser.helpText().toUtf8().constData(),
                folder.toUtf8().constData(), SetupSteps(folder).toUtf8().constData());
    return 0;
}

// The program folder, created when it is a folder of its own that is missing.
// The executable's folder that cannot be had is reported with the error
// notice and leaves names relative to the current folder, as ever.
std::optional<telvoro::ProgramFolder> OpenProgramFolder(const QCommandLineParser& parser) {
    try {
        const telvoro::ProgramFolderChoice choice = FolderChoice(parser);
        telvoro::CreateProgramFolder(choice);
        if (choice.kind == telvoro::ProgramFolderKind::ExecutableFolder && choice.folder.empty())
            telvoro::ui::ShowErrorNotice();
        return telvoro::ProgramFolder(choice.folder);
    } catch (const std::exception& e) {
        telvoro::ui::ShowErrorReport(nullptr, QString::fromUtf8(e.what()));
        return std::nullopt;
    }
}

// A second start in a folder a running program holds ends here, before it
// touches anything in the folder.
void SayFolderInUse(const telvoro::ProgramFolder& folder) {
    const QString path =
        QDir::toNativeSeparators(QDir(telvoro::ToQString(folder.Path())).absolutePath());
    telvoro::ui::ShowNotice(
        nullptr,
        QString::fromUtf8("本程序已在程序文件夹“%1”中运行，同一文件夹中不能再启动一个。").arg(path),
        telvoro::ui::ShowGbk(telvoro::gbk::kCaptionNotice));
}

} // namespace

int main(int argc, char** argv) {
    if (AsksTerminalOnly(argc, argv)) return AnswerOnTerminal(argc, argv);
    TelvoroApplication app(argc, argv);
    // An ASCII name: it becomes the window class, which is no place for
    // Chinese; the windows keep their Chinese titles.
    telvoro::ui::SetProgramIdentity();
    QApplication::setApplicationVersion(QStringLiteral(TELVORO_VERSION));
    telvoro::ui::InstallChineseTranslations();
    QCommandLineParser parser;
    DescribeOptions(parser);
    if (!parser.parse(QApplication::arguments())) {
        std::fprintf(stderr, "telvoro: %s\n", parser.errorText().toUtf8().constData());
        return 2;
    }
    if (const QString templates = parser.value(QLatin1String(telvoro::ui::TemplatesEditor::kOption));
        !templates.isEmpty()) {
        // The editor alone: no folder lock, no main window; it ends when it closes.
        const auto file = telvoro::ToFsPath(QDir::current().absoluteFilePath(templates));
        return telvoro::ui::TemplatesEditor::Open(nullptr, file) != nullptr ? QApplication::exec()
                                                                            : 1;
    }
    const std::optional<telvoro::ProgramFolder> folder = OpenProgramFolder(parser);
    if (!folder) return 1;
    // Held until the program ends. A folder where no lock file can be made
    // (read-only) is used unlocked, as before: nothing in it can be claimed
    // or written by a second copy either.
    const telvoro::app::FolderLock lock(*folder);
    if (lock.state() == telvoro::app::FolderLock::State::HeldElsewhere) {
        SayFolderInUse(*folder);
        return 1;
    }
    telvoro::ui::TFrm_Telvoro window(*folder, telvoro::app::SqlSessionOptions());
    window.show();
    return QApplication::exec();
}
