#pragma once
// Runs telvoro-admin as an operator does, in a folder of the test's own.

#include "core/FileIO.h"
#include "text/QtPath.h"

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

namespace telvoro {

struct AdminResult {
    int code; // -1 when the tool did not end normally
    QString out, err;
};

// `inChild` runs in the tool's process before it starts (limits, signals).
inline AdminResult
RunAdminTool(const QString& folder, const QStringList& args,
             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
             const std::function<void()>& inChild = {}) {
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessEnvironment(env);
#ifndef Q_OS_WIN
    if (inChild) p.setChildProcessModifier(inChild);
#else
    EXPECT_FALSE(inChild) << "no child process modifier on Windows";
#endif
    p.start(QStringLiteral(TELVORO_BIN_DIR "/telvoro-admin"), args);
    EXPECT_TRUE(p.waitForFinished(60000)) << args.join(' ').toStdString();
    // A Windows console program ends its lines with CR LF, as Windows users expect.
    const auto text = [](const QByteArray& bytes) {
        QString t = QString::fromUtf8(bytes);
#ifdef Q_OS_WIN
        t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#endif
        return t;
    };
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            text(p.readAllStandardOutput()), text(p.readAllStandardError())};
}

inline void WriteInFolder(const QString& folder, const QString& name, const std::string& bytes) {
    std::ofstream(QDir(folder).filePath(name).toStdString(), std::ios::binary) << bytes;
}

// The tool's tests: a folder of their own; `leading` goes before the
// arguments of every run.
class AdminToolTest : public ::testing::Test {
protected:
    AdminResult Run(const QStringList& args) { return RunAdminTool(dir.path(), leading + args); }
    void Write(const QString& name, const std::string& bytes) {
        WriteInFolder(dir.path(), name, bytes);
    }
    std::string Read(const QString& name) const {
        return ReadWholeFile(ToFsPath(QDir(dir.path()).filePath(name)));
    }
    static QString LastLine(const QString& out) { return out.trimmed().section('\n', -1); }

    QStringList leading;
    QTemporaryDir dir;
};

} // namespace telvoro
