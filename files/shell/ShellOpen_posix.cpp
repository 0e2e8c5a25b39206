// Starting the text editor on a desktop without notepad.exe: the desktop's
// own editor, else the user's terminal editor.
#include "files/shell/ShellOpen.h"

#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QStringList>
#include <QUrl>
#include <QtGlobal>

namespace telvoro {

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

} // namespace telvoro
