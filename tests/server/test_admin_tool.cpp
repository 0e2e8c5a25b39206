// telvoro-admin's database commands, run as an operator runs them.
#include "tests/support/AdminTool.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>

namespace {

using Result = telvoro::AdminResult;

class AdminTool : public ::testing::Test {
protected:
    Result Run(const QStringList& args) { return telvoro::RunAdminTool(dir.path(), args); }
    void Write(const QString& name, const std::string& bytes) {
        telvoro::WriteInFolder(dir.path(), name, bytes);
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(AdminTool, InitAccountSendAndQueue) {
    // Without tables or a database file, every command fails with one clear line.
    Result r = Run({"credit", "13800138000"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("Orvanta.db")));
    r = Run({"--db", "postgresql://127.0.0.1:1", "credit", "13800138000"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.count('\n'), 1) << "libpq's hint lines are folded: " << r.err.toStdString();

    ASSERT_EQ(Run({"init"}).code, 0);
    ASSERT_EQ(Run({"init"}).code, 0) << "init is idempotent";
    ASSERT_EQ(Run({"account", "13800138000", "250"}).code, 0);
    ASSERT_EQ(Run({"account", "13800138000", "260"}).code, 0) << "sets the credit again";
    EXPECT_EQ(Run({"credit", "13800138000"}).out, "260\n");

    Write("message.txt", "\xC4\xFA\xBA\xC3 it's\r\n"); // 您好 it's
    std::string numbers;
    for (int i = 0; i < 150; ++i)
        numbers += "139" + std::to_string(10000000 + i) + "\r\n";
    Write("numbers.txt", numbers);
    const QStringList send = {"send",        "--account",      "13800138000", "--message-file",
                              "message.txt", "--numbers-file", "numbers.txt"};
    r = Run(send + QStringList{"--self-check", "13800138000"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QString::fromUtf8("本次短信发送已经提交服务器，等待最后的发送。")));
    EXPECT_TRUE(r.out.contains("progress 151/151")) << r.out.toStdString();
    EXPECT_EQ(Run({"credit", "13800138000"}).out, "109\n");

    const QStringList rows = Run({"queue"}).out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].section('\t', 1, 3), "13800138000\t0\t100");
    EXPECT_EQ(rows[1].section('\t', 3, 3), "51");
    EXPECT_TRUE(rows[1].section('\t', 4, 4).endsWith(";13800138000"));
    EXPECT_EQ(rows[1].section('\t', 5), QString::fromUtf8("您好 it's\\r\\n"));

    // A refusal exits 1 after its message; nothing more is written.
    r = Run(send);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.contains(QString::fromUtf8("您的账户短信余额不足，相差：41点。")))
        << r.out.toStdString();
    EXPECT_EQ(Run({"queue"}).out.count('\n'), 2);

    // Bad use and bad files: a message, an exit code, never a crash.
    EXPECT_EQ(Run({"frobnicate"}).code, 2);
    EXPECT_EQ(Run({"send", "--account"}).code, 2);
    EXPECT_EQ(Run({"account", "13800138000", "lots"}).code, 1);
    Write("utf8.txt", "bad \x81\n"); // a lead byte without its second byte
    r = Run({"send", "--account", "13800138000", "--message-file", "utf8.txt", "--numbers-file",
             "numbers.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("not GBK")) << r.err.toStdString();
    r = Run({"send", "--account", "13800138000", "--message-file", "missing.txt", "--numbers-file",
             "numbers.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("missing.txt")) << r.err.toStdString();
}
