#include "files/shell/ShellOpen.h"

#ifdef _WIN32
#include <string>
// windows.h must come first: shellapi.h builds on its types.
#include <windows.h>

#include <shellapi.h>
#else
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QStringList>
#include <QUrl>
#include <QtGlobal>
#endif

namespace telvoro {

#ifdef _WIN32

void ShellOpen(std::string_view program, const std::filesystem::path& file) {
    const std::wstring prog(program.begin(), program.end()); // ASCII program names only
    // The result is not looked at: a failure shows nothing.
    ShellExecuteW(nullptr, L"open", prog.c_str(), file.c_str(), nullptr, SW_SHOWNORMAL);
}

#else

namespace {

// $VISUAL, else $EDITOR, in a terminal of its own; detached, so never waited for.
void StartTerminalEditor(const QString& path) {
    QString editor = qEnvironmentVariable("VISUAL");
    if (editor.trimmed().isEmpty()) editor = qEnvironmentVariable("EDITOR");
    QStringList command = QProcess::splitCommand(editor); // "vim -u NONE" etc.
    if (command.isEmpty()) return;
    QStringList args{QStringLiteral("-e")};
    args << command << path;
    QProcess::startDetached(QStringLiteral("x-terminal-emulator"), args);
}

} // namespace

void ShellOpen(std::string_view /*program*/, const std::filesystem::path& file) {
    const QString path = QFile::decodeName(file.c_str());
    // The desktop services need the GUI application's platform integration.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) &&
        QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return;
    StartTerminalEditor(path);
}

#endif

} // namespace telvoro
