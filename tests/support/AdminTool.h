#pragma once
// Runs telvoro-admin as an operator does, in a folder of the test's own.

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace telvoro {

struct AdminResult {
    int code; // -1 when the tool did not end normally
    QString out, err;
};

inline AdminResult
RunAdminTool(const QString& folder, const QStringList& args,
             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(TELVORO_BIN_DIR "/telvoro-admin"), args);
    EXPECT_TRUE(p.waitForFinished(60000)) << args.join(' ').toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

inline void WriteInFolder(const QString& folder, const QString& name, const std::string& bytes) {
    std::ofstream(QDir(folder).filePath(name).toStdString(), std::ios::binary) << bytes;
}

} // namespace telvoro
