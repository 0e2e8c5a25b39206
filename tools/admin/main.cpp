// telvoro-admin: deployment and support tool beside the client, on the same
// core and gateway. Terminal text is UTF-8; files named by the user are GBK.

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/SendJob.h"
#include "core/TextRules.h"
#include "server/Schema.h"
#include "server/ServerAdmin.h"
#include "server/SqlGateway.h"
#include "text/GbkCodec.h"
#include "tools/admin/ConfigCommands.h"
#include "tools/admin/Errors.h"

#include <QCoreApplication>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace telvoro;

namespace {

constexpr const char* kUsage =
    "usage: telvoro-admin [--db DATASOURCE] COMMAND ... | --help | --version\n"
    "  DATASOURCE: sqlite:PATH | postgresql://HOST[:PORT] | HOST[\\INSTANCE][,PORT]\n"
    "              | odbc:CONNECTION-STRING\n"
    "              (default: Orvanta.db in the current folder)\n"
    "commands:\n"
    "  init                          create the server tables (idempotent)\n"
    "  account LOGIN CREDIT          create the account or set its credit\n"
    "  credit LOGIN                  print the account's credit\n"
    "  queue                         print the queued send rows\n"
    "  send --account LOGIN --message-file FILE --numbers-file FILE [--self-check NUMBER]\n"
    "                                run a send job without a window\n"
    "  config LOGIN [--out PATH] [--force]   write an account settings file\n"
    "  read-config PATH              print the account a settings file holds\n";

fs::path Utf8Path(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

// Every error is one line on stderr.
std::string OneLineError(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return text;
}

void Init(SqlGateway& gw) {
    CreateServerTables(gw);
    std::cout << "tables ready\n";
}

void Account(SqlGateway& gw, const std::string& login, const std::string& creditText) {
    const std::int32_t credit = ParseWholeNumber(creditText);
    SetAccountCredit(gw, Utf8ToGbk(login), credit);
    std::cout << login << ' ' << credit << '\n';
}

void Credit(SqlGateway& gw, const std::string& login) {
    const std::optional<std::string> credit = gw.QueryCredit(Utf8ToGbk(login));
    if (!credit) throw Error("no account " + login);
    std::cout << GbkToUtf8(*credit) << '\n';
}

// A message on one line: its line breaks shown as \r and \n.
std::string OneLine(const QString& text) {
    QString s = text;
    s.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    s.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    s.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    s.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    return s.toStdString();
}

void Queue(SqlGateway& gw) {
    for (const SqlGateway::QueueRow& row : gw.ListQueue()) {
        // A row holds at least one number, an empty one included.
        const qsizetype count = row.list.count(QLatin1Char(';')) + 1;
        std::cout << row.id.toStdString() << '\t' << row.sendNo.toStdString() << '\t'
                  << row.state.toStdString() << '\t' << count << '\t' << OneLine(row.list) << '\t'
                  << OneLine(row.memo) << '\n';
    }
}

// The send job's window, on a terminal.
class TerminalWindow : public SendWindow {
public:
    std::string account, message, selfCheckNumber, balance = "0";
    std::vector<std::string> phones;
    bool selfCheck = false;
    int maximum = 0;

    std::string AccountNumber() override { return account; }
    std::string MessageText() override { return message; }
    std::vector<std::string> CheckedPhones() override { return phones; }
    bool SelfCheckOn() override { return selfCheck; }
    std::string SelfCheckNumber() override { return selfCheckNumber; }
    std::string DisplayedBalance() override { return balance; }
    void SetDisplayedBalance(const std::string& text) override { balance = text; }
    void SetProgressMaximum(int m) override { maximum = m; }
    void SetProgressPosition(int p) override {
        if (p > 0 && (p % 100 == 0 || p == maximum))
            std::cout << "progress " << p << '/' << maximum << ", balance " << GbkToUtf8(balance)
                      << std::endl;
    }
    void ShowNotice(const std::string& text, const std::string& caption) override {
        std::cout << GbkToUtf8(caption) << ": " << GbkToUtf8(text) << std::endl;
    }
    void YieldStep() override {}
    void RequestClose() override {}
};

int Send(SqlGateway& gw, const std::vector<std::string>& args) {
    TerminalWindow window;
    std::string messageFile, numbersFile;
    bool haveAccount = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw admin::UsageError(args[i] + " needs a value");
            return args[++i];
        };
        if (args[i] == "--account") {
            window.account = Utf8ToGbk(value());
            haveAccount = true;
        } else if (args[i] == "--message-file") {
            messageFile = value();
        } else if (args[i] == "--numbers-file") {
            numbersFile = value();
        } else if (args[i] == "--self-check") {
            window.selfCheck = true;
            window.selfCheckNumber = Utf8ToGbk(value());
        } else {
            throw admin::UsageError("unknown option " + args[i]);
        }
    }
    if (!haveAccount || messageFile.empty() || numbersFile.empty())
        throw admin::UsageError("send needs --account, --message-file and --numbers-file");
    window.message = ReadWholeFile(Utf8Path(messageFile));
    try {
        (void)FromGbk(window.message);
    } catch (const EncodingError&) {
        throw Error("the message file " + messageFile + " is not GBK text");
    }
    window.phones = SplitLines(ReadWholeFile(Utf8Path(numbersFile)));
    SendJobRunner runner;
    return runner.Btn_BeginClick(gw, window) == SendOutcome::Submitted ? 0 : 1;
}

int Run(std::vector<std::string> args) {
    std::string dbText;
    if (args.size() >= 2 && args[0] == "--db") {
        dbText = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::cout << "telvoro-admin " TELVORO_VERSION "\n";
        return 0;
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());

    if (command == "config") {
        admin::RunConfig(rest);
        return 0;
    }
    if (command == "read-config") {
        admin::RunReadConfig(rest);
        return 0;
    }

    auto need = [&](std::size_t n) {
        if (rest.size() != n) throw admin::UsageError("wrong number of arguments for " + command);
    };
    const DataSource source = ParseDataSource(dbText, ProgramFolder(fs::current_path()));
    SqlGateway gw(QStringLiteral("admin"));
    if (command == "init") {
        need(0);
        gw.Open(source, SqlGateway::Create::Yes);
        Init(gw);
        return 0;
    }
    if (command == "account") {
        need(2);
        gw.Open(source);
        Account(gw, rest[0], rest[1]);
        return 0;
    }
    if (command == "credit") {
        need(1);
        gw.Open(source);
        Credit(gw, rest[0]);
        return 0;
    }
    if (command == "queue") {
        need(0);
        gw.Open(source);
        Queue(gw);
        return 0;
    }
    if (command == "send") {
        gw.Open(source);
        return Send(gw, rest);
    }
    throw admin::UsageError("unknown command " + command);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<std::string> args;
    for (const QString& a : QCoreApplication::arguments().mid(1))
        args.push_back(a.toStdString());
    try {
        return Run(args);
    } catch (const admin::UsageError& e) {
        if (e.command().empty())
            std::cerr << "telvoro-admin: " << e.what() << "\n" << kUsage;
        else
            std::cerr << "telvoro-admin " << e.command() << ": " << e.what() << '\n';
        return 2;
    } catch (const admin::CommandError& e) {
        std::cerr << "telvoro-admin " << e.command() << ": " << OneLineError(e.what()) << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "telvoro-admin: " << OneLineError(e.what()) << '\n';
        return 1;
    }
}
