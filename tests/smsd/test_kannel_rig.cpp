// The Kannel rig itself: what goes in through sendsms comes out whole at the
// SMSC, and each outcome the SMSC chooses comes back as Kannel's report type.

#include "tests/support/KannelRig.h"

#include <gtest/gtest.h>

#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <map>

namespace telvoro::test {
namespace {

// 100 Chinese characters: two UCS-2 parts (67 + 33).
const QString kChinese =
    QString::fromUtf8("尊敬的客户，感谢您多年来对朗岳软件的支持，我们全体员工祝您生日快乐。")
        .repeated(3)
        .left(100);
// 190 GSM characters, two of them from the extension table: two 7-bit parts.
const QString kGsmLong = QString("Price 5€ [x] ").repeated(15) + "ok";

QByteArray Enc(const QString& value) {
    return QUrl::toPercentEncoding(value);
}

HttpReply Send(const KannelRig& rig, const QStringList& to, const QString& text, bool ucs2,
               const QString& dlrUrl = {}) {
    QByteArray url = rig.SendsmsUrl().toLatin1() + "?username=" + Enc(rig.User()) +
                     "&password=" + Enc(rig.Password()) + "&from=10690001&to=" + Enc(to.join(' ')) +
                     "&charset=UTF-8&text=" + Enc(text);
    if (ucs2) url += "&coding=2";
    if (!dlrUrl.isEmpty()) url += "&dlr-mask=31&dlr-url=" + Enc(dlrUrl);
    return HttpGet(QString::fromLatin1(url));
}

bool Accepted(const HttpReply& reply) {
    return reply.status == 202 || reply.body.startsWith("0:") || reply.body.startsWith("3:");
}

// Report types per number from the recorder's "/dlr?p=NUMBER&t=TYPE" requests.
std::map<QString, std::vector<int>> ReportTypes(const std::vector<QByteArray>& requests) {
    std::map<QString, std::vector<int>> types;
    for (const QByteArray& target : requests) {
        const QUrlQuery query(QUrl(QString::fromLatin1(target)).query());
        types[query.queryItemValue("p")].push_back(query.queryItemValue("t").toInt());
    }
    return types;
}

TEST(KannelRig, FakeSmscReceivesEveryNumberOnceWithItsTextWhole) {
    struct Case {
        const char* name;
        QString text;
        bool ucs2;
        int parts;
    };
    const Case cases[] = {
        {"chinese, two UCS-2 parts", kChinese, true, 2},
        {"GSM with extension characters, two parts", kGsmLong, false, 2},
        {"short Latin", "Hello, world", false, 1},
    };
    KannelRig rig;
    HttpRecorder dlr;
    const QStringList numbers{"13800000001", "13800000002", "13800000003"};
    size_t expected = 0;
    for (const Case& c : cases) {
        const HttpReply reply =
            Send(rig, numbers, c.text, c.ucs2, dlr.BaseUrl() + "/dlr?p=%p&t=%d");
        ASSERT_TRUE(Accepted(reply)) << c.name << ": " << reply.status << " " << reply.body.data();
        expected += numbers.size();
        const std::vector<SmscMessage> got = rig.WaitForMessages(expected, 20s);
        ASSERT_EQ(got.size(), expected) << c.name;
        for (size_t i = expected - numbers.size(); i < expected; ++i) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(got[i].to, numbers[static_cast<qsizetype>(i % numbers.size())]);
            EXPECT_EQ(got[i].from, "10690001");
            EXPECT_EQ(got[i].text, c.text);
            EXPECT_EQ(got[i].parts, c.parts);
            EXPECT_EQ(got[i].ucs2, c.ucs2);
            EXPECT_TRUE(got[i].complete);
        }
    }
    // The fake SMSC accepts and delivers everything: 8 then 1 per number and message.
    const auto types = ReportTypes(dlr.WaitForRequests(2 * expected, 20s));
    for (const QString& number : numbers) {
        std::vector<int> t = types.count(number) ? types.at(number) : std::vector<int>{};
        std::sort(t.begin(), t.end());
        EXPECT_EQ(t, (std::vector<int>{1, 1, 1, 8, 8, 8})) << number.toStdString();
    }
}

TEST(KannelRig, SmppOutcomesComeBackAsReportTypes) {
    struct Case {
        const char* number;
        QString text;
        bool ucs2;
        int finalType; // besides 8 (accepted by the SMSC) for an accepted submit
        bool rejectedAtSubmit;
    };
    const Case cases[] = {
        {"13900000001", kChinese, true, 1, false},  // delivered
        {"13900000002", kChinese, true, 2, false},  // receipt UNDELIV
        {"13900000006", kChinese, true, 16, true},  // submit refused
        {"13900000007", kChinese, true, 2, false},  // receipt REJECTD
        {"13900000011", kGsmLong, false, 1, false}, // GSM-7 parts, escapes included
    };
    KannelRig rig({.smsc = KannelRig::Smsc::Smpp});
    HttpRecorder dlr;
    for (const Case& c : cases) {
        const HttpReply reply =
            Send(rig, {c.number}, c.text, c.ucs2, dlr.BaseUrl() + "/dlr?p=%p&t=%d&a=%A");
        ASSERT_TRUE(Accepted(reply))
            << reply.status << " " << reply.body.data() << rig.Status().toStdString();
    }
    const size_t count = std::size(cases);
    const std::vector<SmscMessage> got = rig.WaitForMessages(count, 20s);
    ASSERT_EQ(got.size(), count) << rig.SmscLog().join('\n').toStdString();
    std::map<QString, const SmscMessage*> byNumber;
    for (const SmscMessage& m : got)
        byNumber[m.to] = &m;
    // The parts' reports come back as one per number: a refused submit reports 16 alone.
    const auto types = ReportTypes(dlr.WaitForRequests(2 * count - 1, 20s));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        ASSERT_TRUE(byNumber.count(c.number));
        EXPECT_EQ(byNumber[c.number]->text, c.text);
        EXPECT_EQ(byNumber[c.number]->parts, 2);
        EXPECT_EQ(byNumber[c.number]->rejected, c.rejectedAtSubmit);
        ASSERT_TRUE(types.count(c.number));
        // Kannel calls the dlr-url from several threads: the order is not kept.
        std::vector<int> t = types.at(c.number);
        std::sort(t.begin(), t.end());
        const std::vector<int> expected =
            c.rejectedAtSubmit
                ? std::vector<int>{16}
                : std::vector<int>{std::min(c.finalType, 8), std::max(c.finalType, 8)};
        EXPECT_EQ(t, expected);
    }
}

TEST(KannelRig, WhatBearerboxAcceptedSurvivesARestart) {
    KannelRig rig;
    rig.StopSmsc();
    ASSERT_TRUE(Accepted(Send(rig, {"13700000001"}, kChinese, true)));
    rig.Stop();
    EXPECT_TRUE(rig.Received().empty());
    rig.Start();
    const std::vector<SmscMessage> got = rig.WaitForMessages(1, 20s);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, kChinese);
}

} // namespace
} // namespace telvoro::test
