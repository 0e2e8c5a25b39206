// The queue server's rules: what goes to Kannel and what its answers and
// reports mean.

#include "core/Error.h"
#include "smsd/Inbound.h"
#include "smsd/KannelClient.h"
#include "smsd/KannelWatch.h"
#include "smsd/Options.h"
#include "smsd/ReportQueue.h"
#include "smsd/Setup.h"
#include "tests/smsd/SmsdTestSupport.h"

#include <QDateTime>
#include <QThread>

#include <filesystem>
#include <fstream>
#include <memory>

using namespace telvoro;
using namespace telvoro::smsd;

TEST(SmsdRules, KannelAnswers) {
    struct Row {
        int status;
        const char* body;
        int numbers;
        bool connected, timedOut;
        Outcome expected;
        const char* failed;
    } rows[] = {
        {202, "0: Accepted for delivery", 100, true, false, Outcome::Accepted, ""},
        {202, "3: Queued for later delivery", 100, true, false, Outcome::Accepted, ""},
        {202, "Sent.", 100, true, false, Outcome::Accepted, ""},
        {500, "Sending failed. Failed receivers are: 13900000002 13900000005", 5, true, false,
         Outcome::Accepted, "13900000002,13900000005"},
        {202, "something else", 1, true, false, Outcome::Uncertain, ""},
        // A wrong password refuses the request, not the numbers.
        {403, "Authorization failed for sendsms", 100, true, false, Outcome::TryLater, ""},
        {400, "Missing receiver number, rejected", 100, true, false, Outcome::Refused, ""},
        // The verdict on the first number alone: the others may be on their way.
        {403, "Not routable. Do not try again.", 1, true, false, Outcome::Refused, ""},
        {403, "Not routable. Do not try again.", 2, true, false, Outcome::Uncertain, ""},
        {503, "Temporal failure, try again later.", 1, true, false, Outcome::TryLater, ""},
        {503, "Temporal failure, try again later.", 2, true, false, Outcome::Uncertain, ""},
        {500, "", 1, true, false, Outcome::Uncertain, ""},
        {0, "", 100, false, false, Outcome::TryLater, ""}, // refused: never left
        {0, "", 100, true, false, Outcome::Uncertain, ""}, // closed after the request went out
        {0, "", 100, true, true, Outcome::Uncertain, ""},  // no answer in time
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.status) + " " + r.body + " x" + std::to_string(r.numbers));
        const Answer a =
            Classify(r.status, QString::fromLatin1(r.body), r.numbers, r.connected, r.timedOut, {});
        EXPECT_EQ(a.outcome, r.expected);
        EXPECT_EQ(a.failed.join(QLatin1Char(',')), QString::fromLatin1(r.failed));
    }
}

// Kannel's host by name: looked up within the time limit (a drain's thread,
// as in the server), each of its addresses tried; a name that does not
// resolve is a request that never left.
TEST(SmsdRules, KannelStorePage) {
    // bearerbox's store-status.xml: only a message still to be sent counts
    // for its receiver; the reports it holds for smsbox name the same receiver.
    const auto page = [](const char* type, const char* receiver) {
        return QStringLiteral("<message><id>x</id><type>%1</type><time>2026-01-02 03:04:05</time>"
                              "<sender>10</sender><receiver>%2</receiver></message>")
            .arg(QLatin1String(type), QLatin1String(receiver));
    };
    const qint64 at = QDateTime::fromString(QStringLiteral("2026-01-02 03:04:05"),
                                            QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          .toMSecsSinceEpoch();
    const struct Row {
        const char *type, *receiver;
        int counted;
    } rows[] = {
        {"MT-PUSH", "13900000001", 1},
        {"MT-REPLY", "13900000001", 1},
        {"DLR-MO", "13900000001", 0},
        {"DLR-MT", "13900000001", 0},
        {"MO", "10", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type);
        const auto stored = ParseStoreXml(
            (QStringLiteral("<gateway>") + page(r.type, r.receiver) + QStringLiteral("</gateway>"))
                .toUtf8());
        EXPECT_EQ(static_cast<int>(stored.count(QString::fromLatin1(r.receiver))), r.counted);
        if (r.counted) {
            EXPECT_EQ(stored.begin()->second, at);
        }
    }
}

TEST(SmsdRules, KannelReachedByName) {
    telvoro::test::HttpRecorder kannel;
    KannelSettings s;
    s.user = QStringLiteral("telvoro");
    s.password = QStringLiteral("pw");
    s.reportBase = QUrl(QStringLiteral("http://127.0.0.1:13080/dlr"));
    s.timeout = std::chrono::seconds(5);
    const struct Row {
        QString host;
        int port;
        bool reaches;
    } rows[] = {
        {QStringLiteral("localhost"), kannel.Port(), true},
        {QStringLiteral("127.0.0.1"), telvoro::test::FreePort(), false},
        {QStringLiteral("no-such-host.invalid"), 13013, false},
    };
    for (const Row& r : rows) {
        s.sendsms = QUrl(QStringLiteral("http://%1:%2/cgi-bin/sendsms").arg(r.host).arg(r.port));
        Answer a;
        std::unique_ptr<QThread> drain(QThread::create([&] {
            a = KannelClient(s).Send(1, 0, QStringLiteral("k"), {QStringLiteral("13900000001")},
                                     QStringLiteral("hi"));
        }));
        drain->start();
        ASSERT_TRUE(drain->wait(30000)) << r.host.toStdString();
        EXPECT_EQ(a.outcome == Outcome::TryLater, !r.reaches)
            << r.host.toStdString() << ": " << a.text.toStdString();
    }
    EXPECT_EQ(kannel.Requests().size(), 1u);
}

TEST(SmsdRules, RequestCarriesCodingAndCorrelation) {
    KannelSettings s;
    s.sendsms = QUrl(QStringLiteral("http://127.0.0.1:13013/cgi-bin/sendsms"));
    s.user = QStringLiteral("telvoro");
    s.password = QStringLiteral("p&w d");
    s.reportBase = QUrl(QStringLiteral("http://127.0.0.1:13080/dlr"));
    struct Row {
        QString text;
        const char* coding;
        QByteArray encodedText;
    } rows[] = {
        {QStringLiteral("Hello {x} €5"), "coding=0&charset=UTF-8", "Hello%20%7Bx%7D%20%E2%82%AC5"},
        {QStringLiteral("价格 €5"), "coding=2&charset=UTF-16BE", "N%F7h%3C%00%20%20%AC%005"},
        {QStringLiteral("back`tick"), "coding=2&charset=UTF-16BE", "%00b%00a"},
    };
    for (const Row& r : rows) {
        const QUrl url =
            SendsmsUrl(s, 42, 1, QStringLiteral("s3cr3t"),
                       {QStringLiteral("13900000001"), QStringLiteral("13900000002")}, r.text);
        const QByteArray q = url.query(QUrl::FullyEncoded).toLatin1();
        SCOPED_TRACE(q.toStdString());
        EXPECT_TRUE(q.contains(r.coding));
        EXPECT_TRUE(q.contains("&text=" + r.encodedText));
        EXPECT_TRUE(q.contains("&to=13900000001%2013900000002&"));
        EXPECT_TRUE(q.contains("password=p%26w%20d&"));
        // One decoding gives Kannel the dlr-url with its codes intact.
        const QString dlr =
            QUrlQuery(url).queryItemValue(QStringLiteral("dlr-url"), QUrl::FullyDecoded);
        EXPECT_EQ(dlr, "http://127.0.0.1:13080/dlr?r=42&g=1&k=s3cr3t&p=%p&t=%d&a=%A");
        EXPECT_TRUE(q.contains("dlr-mask=31"));
    }
}

TEST(SmsdRules, ReportQueries) {
    struct Row {
        const char* query;
        bool ok;
    } rows[] = {
        {"r=5&g=0&k=abc&p=13900000001&t=1&a=id%3A1%20stat%3ADELIVRD", true},
        {"r=5&g=0&k=abc&p=%2B8613900000001&t=8&a=", true},
        {"r=x&g=0&k=abc&p=1&t=1", false},
        {"r=5&g=0&p=1&t=1", false},
        {"r=5&g=0&k=abc&p=&t=1", false},
        {"r=-1&g=0&k=abc&p=1&t=1", false},
        {"r=2147483648&g=0&k=abc&p=1&t=1", false}, // no row has it: the database would refuse it
        {"r=5&g=0&k=abc&p=12345678901234567890123456789012345678901&t=1", false},
        {"", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.query);
        const auto report = ParseReport(QUrlQuery(QString::fromLatin1(r.query)));
        EXPECT_EQ(report.has_value(), r.ok);
    }
    const auto plus =
        ParseReport(QUrlQuery(QStringLiteral("r=5&g=0&k=abc&p=%2B86139&t=1&a=id%3A1%20x")));
    EXPECT_EQ(plus->phone, "+86139");
    EXPECT_EQ(plus->text, "id:1 x");
    // Kannel form-encodes %A: "+" is a space, "%2B" a plus.
    const auto form = ParseReport(
        QUrlQuery(QStringLiteral("r=5&g=0&k=abc&p=1&t=1&a=id%3A1+stat%3AREJECTD+err%3A%2B1")));
    EXPECT_EQ(form->text, "id:1 stat:REJECTD err:+1");
    const auto nul = ParseReport(QUrlQuery(QStringLiteral("r=5&g=0&k=abc&p=1&t=1&a=a%00b%0Ac")));
    EXPECT_EQ(nul->text, "a b c");
}

TEST(SmsdRules, CommandLineAndConfigFile) {
    TempFolder folder;
    std::ofstream(folder / "pw") << "s3cret\nignored\n";
    std::ofstream(folder / "smsd.conf")
        << "# sample\nkannel = http://127.0.0.1:13013/cgi-bin/sendsms\n"
           "kannel-user = telvoro\nkannel-password-file = "
        << (folder / "pw").string()
        << "\nlisten = 127.0.0.1:13080\nworker = \"a b\"\nrefund = true\n";
    const std::string conf = (folder / "smsd.conf").string();
    const Settings s = ParseOptions({"--config", conf, "--worker", "w2", "--validity", "600",
                                     "--report-url", "http://10.0.0.5:13080/dlr"});
    EXPECT_EQ(s.reportUrl, QUrl(QStringLiteral("http://10.0.0.5:13080/dlr")));
    EXPECT_EQ(s.kannel.password, "s3cret");
    EXPECT_EQ(s.worker, "w2"); // the command line wins
    EXPECT_TRUE(s.refund);
    EXPECT_EQ(s.validity, std::chrono::seconds(600));
    EXPECT_EQ(s.listenPort, 13080);
    const std::vector<std::vector<std::string>> wrong = {
        {"--config", conf, "--kannel-password", "x"},
        {"--config", conf, "--listen", "localhost"},
        {"--config", conf, "--listen", "127.0.0.1:0"},
        {"--config", conf, "--kannel", "ftp://x"},
        {"--config", conf, "--lease", "-3"},
        {"--config", conf, "--report-url", "http://h:1/dlr?x=1"},
        {"--config", conf, "--report-url", "13080"},
        {"--kannel", "http://h/", "--kannel-user", "u", "--listen", "127.0.0.1:1"},
    };
    for (const auto& args : wrong)
        EXPECT_THROW(ParseOptions(args), UsageError) << args.back();
}

// Every config file mistake names the file, the line and the key, or the
// option that named an unreadable file; a trailing comment is no mistake.
TEST(SmsdRules, ConfigFileMistakes) {
    TempFolder folder;
    std::ofstream(folder / "pw") << "s3cret\n";
    const std::string pw = (folder / "pw").string(), conf = (folder / "smsd.conf").string();
    const std::string base = "kannel = http://127.0.0.1:13013/cgi-bin/sendsms\n"
                             "kannel-user = telvoro   # Kannel's sendsms-user\n"
                             "kannel-password-file = " +
                             pw + "\n";
    struct Row {
        std::string lines;            // after the three lines above
        std::vector<std::string> cli; // after --config FILE
        std::string error;            // "": accepted; FILE stands for the config file
    } rows[] = {
        {"listen = 127.0.0.1:13080 # reports\nworker = \"a # b\"\n", {}, ""},
        {"listen = 127.0.0.1:13080\nlisten = 127.0.0.1:13081\n",
         {},
         "FILE:5: key 'listen' given again (first on line 4)"},
        {"listen = 127.0.0.1:13080\nkanel-user = x\n", {}, "FILE:5: unknown key 'kanel-user'"},
        {"listen = 127.0.0.1:13080\nkannel-password = x\n", {}, "FILE:5: kannel-password:"},
        {"listen = 127.0.0.1:13080\ndrains\n", {}, "FILE:5: not a KEY = VALUE line"},
        {"listen = localhost # no address\n", {}, "FILE:4: listen needs HOST:PORT"},
        {"listen = 127.0.0.1:13080\nvalidity = 2 days\n",
         {},
         "FILE:5: validity needs a number of seconds"},
        {"listen = 127.0.0.1:13080\n",
         {"--kannel-password-file", "/nonexistent/pw"},
         "cannot read the Kannel password file /nonexistent/pw (--kannel-password-file): "
         "No such file or directory"},
        {"listen = 127.0.0.1:13080\n",
         {"--config", "/nonexistent/smsd.conf"},
         "cannot read the config file /nonexistent/smsd.conf (--config): No such file or "
         "directory"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.lines);
        std::ofstream(conf, std::ios::trunc) << base << r.lines;
        std::vector<std::string> args{"--config", conf};
        args.insert(args.end(), r.cli.begin(), r.cli.end());
        std::string error;
        try {
            const Settings s = ParseOptions(args);
            EXPECT_EQ(s.kannel.user, "telvoro");
        } catch (const ConfigError& e) {
            error = e.what();
        }
        std::string want = r.error;
        if (const auto at = want.find("FILE"); at != std::string::npos) want.replace(at, 4, conf);
        if (want.empty())
            EXPECT_EQ(error, "");
        else
            EXPECT_EQ(error.substr(0, want.size()), want);
    }
    std::ofstream(conf, std::ios::trunc)
        << "kannel-password-file = " << (folder / "nopw").string() << "\n";
    try {
        ParseOptions({"--config", conf, "--kannel", "http://h/", "--kannel-user", "u", "--listen",
                      "127.0.0.1:1"});
        ADD_FAILURE() << "no error for a missing password file";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("(kannel-password-file at " + conf + ":1)"),
                  std::string::npos)
            << e.what();
    }
}

// A missing embedded database, or its folder, is named with the command that
// makes it; a database server is not looked at.
TEST(SmsdRules, EmbeddedDatabaseMustExist) {
    TempFolder folder;
    std::ofstream(folder / "Orvanta.db") << "";
    std::filesystem::create_directory(folder / "dir.db");
    const std::string f = std::filesystem::absolute(folder.path).string();
    struct Row {
        std::string source, error;
    } rows[] = {
        {"sqlite:" + f + "/Orvanta.db", ""},
        {"postgresql://127.0.0.1:1", ""},
        {"sqlite:" + f + "/none.db",
         "the database " + f +
             "/none.db does not exist: create it with 'telvoro-admin --db "
             "sqlite:" +
             f + "/none.db init' run as "},
        {"sqlite:" + f + "/no/Orvanta.db",
         "the folder " + f + "/no of the database does not exist: make it (owner "},
        {"sqlite:" + f + "/dir.db", "the database " + f + "/dir.db is not a file"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.source);
        std::string error;
        try {
            CheckEmbeddedDatabase(ParseDataSource(r.source, ProgramFolder(folder.path)));
        } catch (const Error& e) {
            error = e.what();
        }
        EXPECT_EQ(error.substr(0, r.error.size()), r.error);
        EXPECT_EQ(error.empty(), r.error.empty()) << error;
    }
}

namespace {

// The sending window in local time, one over midnight too, and when it opens next.
TEST(SmsdRules, SendingWindow) {
    const QTimeZone shanghai(QByteArrayLiteral("Asia/Shanghai"));
    struct Row {
        const char *window, *at;
        bool inside;
        const char* opens; // when outside
    } rows[] = {
        {"08:00-20:00", "2024-03-01 07:59", false, "2024-03-01 08:00"},
        {"08:00-20:00", "2024-03-01 08:00", true, ""},
        {"08:00-20:00", "2024-03-01 19:59", true, ""},
        {"08:00-20:00", "2024-03-01 20:00", false, "2024-03-02 08:00"},
        {"22:00-06:30", "2024-03-01 23:15", true, ""},
        {"22:00-06:30", "2024-03-01 06:30", false, "2024-03-01 22:00"},
    };
    for (const Row& r : rows) {
        const auto w = SendWindow::Parse(QString::fromLatin1(r.window));
        ASSERT_TRUE(w) << r.window;
        const QDateTime at(
            QDateTime::fromString(QString::fromLatin1(r.at), QStringLiteral("yyyy-MM-dd HH:mm"))
                .date(),
            QDateTime::fromString(QString::fromLatin1(r.at), QStringLiteral("yyyy-MM-dd HH:mm"))
                .time(),
            shanghai);
        EXPECT_EQ(w->Contains(at), r.inside) << r.window << ' ' << r.at;
        if (!r.inside) {
            EXPECT_EQ(w->NextOpening(at).toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                      QString::fromLatin1(r.opens))
                << r.window << ' ' << r.at;
        }
    }
    for (const char* wrong : {"8:00-20:00", "08:00-08:00", "08:00", "25:00-26:00"})
        EXPECT_FALSE(SendWindow::Parse(QString::fromLatin1(wrong))) << wrong;
}

// An inbound call's fields as smsbox writes them: GSM/UTF-8 text and UCS-2 bytes.
TEST(SmsdRules, InboundCall) {
    struct Row {
        const char* query;
        const char* text; // nullptr: refused
    } rows[] = {
        {"id=a&from=%2B8613900000005&to=1069001&smsc=s&coding=0&text=T", "T"},
        {"id=a&from=1&to=2&smsc=s&coding=2&text=%90%00%8B%A2", "退订"},
        {"id=a&from=1&to=2&smsc=s&coding=0&text=%E9%80%80%E8%AE%A2+T", "退订 T"},
        {"id=a&from=1&to=2&coding=0", nullptr},
        {"from=1&to=2&coding=0&text=T", nullptr},
    };
    for (const Row& r : rows) {
        const auto m = ParseInbound(QUrlQuery(QString::fromLatin1(r.query)));
        ASSERT_EQ(m.has_value(), r.text != nullptr) << r.query;
        if (m) {
            EXPECT_EQ(m->text, QString::fromUtf8(r.text)) << r.query;
        }
    }
    EXPECT_FALSE(SecretMatches(QString(), QString()));
    EXPECT_FALSE(SecretMatches(QStringLiteral("abc"), QStringLiteral("abd")));
    EXPECT_TRUE(SecretMatches(QStringLiteral("abc"), QStringLiteral("abc")));
}

} // namespace
