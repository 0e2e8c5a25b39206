// telvoro-admin's database commands, run as an operator runs them.
#include "core/GbkTexts.h"
#include "tests/support/AdminTool.h"
#include "text/GbkCodec.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using AdminTool = telvoro::AdminToolTest;
using Result = telvoro::AdminResult;

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

// Every line of the numbers file is accounted for: queued, in the rest file,
// or dropped by the job's number rules and named; and every run that does
// not queue them all says why on stderr.
TEST_F(AdminTool, SendNamesWhatItDroppedAndWhyItRefused) {
    ASSERT_EQ(Run({"init"}).code, 0);
    ASSERT_EQ(Run({"account", "13800138000", "100"}).code, 0);
    ASSERT_EQ(Run({"account", "13900000000", "1"}).code, 0);
    Write("message.txt", "hello");
    const auto refused = [](const char* notice) {
        return "nothing was sent: " + telvoro::GbkToUtf8(notice);
    };
    const std::string shortfall =
        std::string(telvoro::gbk::kMsgShortfallPrefix) + "1" + telvoro::gbk::kMsgShortfallSuffix;
    std::string sevenBad;
    for (int i = 1; i <= 7; ++i)
        sevenBad += "+861390000000" + std::to_string(i) + "\r\n";
    struct Case {
        const char* name;
        const char* account;
        std::string numbers;
        const char* last;
        std::vector<std::string> errLines; // a part of each stderr line, in order
        std::string rest, dropped;
    };
    const Case cases[] = {
        {"invalid lines dropped",
         "13800138000",
         "13900000011\r\n138-0000-0000\r\n+8613800000000\r\n139 0000 0012 (home)\r\n",
         "queued 2 of 4 numbers, 2 dropped as invalid",
         {"2 lines dropped as invalid: line 2 '138-0000-0000', line 3 '+8613800000000'"},
         "",
         "138-0000-0000\r\n+8613800000000\r\n"},
        {"the first five named",
         "13800138000",
         sevenBad + "13900000001\r\n",
         "queued 1 of 8 numbers, 7 dropped as invalid",
         {"7 lines dropped as invalid: line 1 '+8613900000001',"
          " line 2 '+8613900000002', line 3 '+8613900000003', line 4 '+8613900000004',"
          " line 5 '+8613900000005' and 2 more"},
         "",
         sevenBad},
        {"nothing left to send",
         "13800138000",
         "+8613800000000\r\n",
         "queued 0 of 1 number, 1 dropped as invalid",
         {"1 line dropped as invalid: line 1 '+8613800000000'",
          refused(telvoro::gbk::kMsgNoNumbers)},
         "",
         "+8613800000000\r\n"},
        {"credit short",
         "13900000000",
         "13900000001\r\n13900000002\r\n",
         "queued 0 of 2 numbers",
         {refused(shortfall.c_str())},
         "13900000001\r\n13900000002\r\n",
         ""},
        {"unknown account",
         "13700000000",
         "13900000001\r\n",
         "queued 0 of 1 number",
         {refused(telvoro::gbk::kMsgNotRegistered)},
         "13900000001\r\n",
         ""},
        {"invalid account number",
         "1380013800",
         "13900000001\r\n+8613800000000\r\n",
         "queued 0 of 2 numbers",
         {refused(telvoro::gbk::kMsgInvalidAccount)},
         "13900000001\r\n+8613800000000\r\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write("numbers.txt", c.numbers);
        const Result r =
            Run({"send", "--account", c.account, "--message-file", "message.txt", "--numbers-file",
                 "numbers.txt", "--rest-file", "rest.txt", "--dropped-file", "dropped.txt"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(LastLine(r.out), QString::fromUtf8(c.last));
        const QStringList err = r.err.split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(err.size(), static_cast<qsizetype>(c.errLines.size())) << r.err.toStdString();
        for (std::size_t i = 0; i < c.errLines.size(); ++i)
            EXPECT_TRUE(
                err[static_cast<qsizetype>(i)].contains(QString::fromStdString(c.errLines[i])))
                << r.err.toStdString();
        EXPECT_EQ(Read("rest.txt"), c.rest);
        EXPECT_EQ(Read("dropped.txt"), c.dropped);
#ifndef _WIN32 // Windows has no modes: the folder's own access rules keep them
        // An account's numbers are for its owner's eyes only.
        for (const char* file : {"rest.txt", "dropped.txt"})
            EXPECT_EQ(QFile::permissions(QDir(dir.path()).filePath(file)) &
                          (QFile::ReadGroup | QFile::ReadOther),
                      QFileDevice::Permissions())
                << file;
#endif
    }
    EXPECT_EQ(Run({"credit", "13800138000"}).out, "97\n") << "3 numbers were queued";
}
