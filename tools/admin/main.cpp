// telvoro-admin: deployment and support tool beside the client, on the same
// core and gateway. Terminal text is UTF-8; files named by the user are GBK.

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/SendJob.h"
#include "core/TextRules.h"
#include "server/Schema.h"
#include "server/ServerUpkeep.h"
#include "server/SqlError.h"
#include "server/SqlGateway.h"
#include "text/GbkCodec.h"
#include "tools/admin/ConfigCommands.h"
#include "tools/admin/Errors.h"
#include "tools/admin/ReportCommand.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace telvoro;

namespace {

constexpr const char* kUsage =
    "usage: telvoro-admin [--db DATASOURCE] [--time-limit-ms N] COMMAND ... | --help | --version\n"
    "  DATASOURCE: sqlite:PATH | postgresql://HOST[:PORT] | HOST[\\INSTANCE][,PORT]\n"
    "              | odbc:CONNECTION-STRING\n"
    "              (default: Orvanta.db in the current folder)\n"
    "  --time-limit-ms N: every call to the database may take N ms (default: the\n"
    "              client's limits: connect 15 s, queries 300 s, commands 30 s)\n"
    "commands:\n"
    "  init                          create the server tables (idempotent)\n"
    "  account LOGIN CREDIT          create the account or set its credit\n"
    "  credit LOGIN                  print the account's credit\n"
    "  queue                         print the queued send rows\n"
    "  send --account LOGIN --message-file FILE --numbers-file FILE [--self-check NUMBER]\n"
    "       [--rest-file FILE]       run a send job without a window; the last line says\n"
    "                                how many numbers were queued; --rest-file writes\n"
    "                                those not queued, to send them by the same command\n"
    "  report [--account LOGIN] [--row ID] [--csv]\n"
    "                                what became of the queued rows (per number with --row)\n"
    "  config LOGIN [--out PATH] [--force]   write an account settings file\n"
    "  read-config PATH              print the account a settings file holds\n";

fs::path Utf8Path(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

// Every error is one line on stderr, without the database password.
std::string OneLineError(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return MaskSecrets(text);
}

// The tool reports every failure itself, once: the drivers' follow-up
// warnings through Qt are dropped; the system's own categories are kept.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::cerr << "telvoro-admin: " << MaskSecrets(text.toStdString()) << std::endl;
        std::abort();
    }
    if (context.category && std::strncmp(context.category, "telvoro.", 8) == 0)
        std::cerr << "telvoro-admin: " << OneLineError(text.toStdString()) << std::endl;
}

void Init(SqlGateway& gw) {
    ServerUpkeep(gw.connection()).CreateTables();
    std::cout << "tables ready\n";
}

void Account(SqlGateway& gw, const std::string& login, const std::string& creditText) {
    const std::int32_t credit = ParseWholeNumber(creditText);
    ServerUpkeep(gw.connection()).SetCredit(Utf8ToGbk(login), credit);
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
    for (const ServerUpkeep::QueueRow& row : ServerUpkeep(gw.connection()).ListQueue()) {
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

// A message file is GBK text: no byte outside GBK, no control byte but
// TAB, CR and LF.
void CheckMessageText(const std::string& bytes, const std::string& file) {
    bool text = true;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t' && b != '\r' && b != '\n') || b == 0x7F) text = false;
    }
    try {
        (void)FromGbk(bytes);
    } catch (const EncodingError&) {
        text = false;
    }
    if (!text) throw Error("the message file " + file + " is not GBK text");
}

// The job's selection would drop every number after a NUL unseen: refuse it.
void CheckNumbersText(const std::string& bytes, const std::string& file) {
    if (const std::size_t nul = bytes.find('\0'); nul != std::string::npos)
        throw Error("the numbers file " + file + " holds a NUL byte (at byte " +
                    std::to_string(nul) + "): it is not a text file");
}

// The self-check number goes to the server unchanged: it must be one number
// that the job's preparation keeps as it is.
void CheckSelfCheck(const std::string& number) {
    if (number.empty() || PrepareNumber(number) != number || !IsNumber(number))
        throw admin::UsageError("--self-check needs one phone number of digits only, as the job "
                                "sends it (at most 11 digits, 12 when it starts with 0): '" +
                                    GbkToUtf8(number) + "'",
                                "send");
}

std::string Numbers(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " number" : " numbers");
}

int Send(const DataSource& source, const std::vector<std::string>& args, const TimeLimits& limits) {
    TerminalWindow window;
    std::string messageFile, numbersFile, restFile;
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
        } else if (args[i] == "--rest-file") {
            restFile = value();
        } else if (args[i] == "--self-check") {
            window.selfCheck = true;
            window.selfCheckNumber = Utf8ToGbk(value());
            CheckSelfCheck(window.selfCheckNumber);
        } else {
            throw admin::UsageError("unknown option " + args[i]);
        }
    }
    if (!haveAccount || messageFile.empty() || numbersFile.empty())
        throw admin::UsageError("send needs --account, --message-file and --numbers-file");
    window.message = ReadWholeFile(Utf8Path(messageFile));
    CheckMessageText(window.message, messageFile);
    const std::string numbers = ReadWholeFile(Utf8Path(numbersFile));
    CheckNumbersText(numbers, numbersFile);
    window.phones = SplitLines(numbers);

    std::size_t blanks = 0;
    for (const std::string& phone : window.phones)
        blanks += PrepareNumber(phone).empty() ? 1 : 0;
    if (blanks > 0 && blanks < window.phones.size())
        std::cout << "charging for " << blanks << " blank " << (blanks == 1 ? "number" : "numbers")
                  << " in " << numbersFile << ", priced like any other number" << std::endl;

    SqlGateway gw(QStringLiteral("admin"), limits);
    SendJobRunner runner;
    SendOutcome outcome = SendOutcome::Failed;
    std::exception_ptr failure;
    try {
        gw.Open(source);
        outcome = runner.Btn_BeginClick(gw, window);
    } catch (...) {
        failure = std::current_exception();
    }
    const SendReport& report = runner.Report();

    // What is not queued, in order, so that the same command on this file
    // sends exactly the rest; a number of unknown outcome is left out.
    std::string rest;
    std::size_t total = 0;
    if (report.selected) {
        total = report.selection.size();
        for (std::size_t i = 0; i < total; ++i)
            if (report.StateOf(i) == BatchState::NotQueued &&
                report.entryOf[i] != SendReport::kNoEntry)
                rest += report.selection[i] + "\r\n";
    } else {
        total = window.phones.size() + (window.selfCheck ? 1 : 0);
        for (const std::string& phone : window.phones)
            rest += phone + "\r\n";
    }
    for (const BatchReport& b : report.batches)
        if (b.state == BatchState::Unknown)
            std::cerr << "telvoro-admin send: unknown whether numbers " << b.first + 1 << "-"
                      << b.first + b.count << " (SendTemp row " << b.rowId
                      << ") were queued; see the queue command" << std::endl;
    if (!failure && outcome != SendOutcome::Submitted && !report.cause.empty())
        std::cerr << "telvoro-admin send: " << MaskSecrets(OneLineError(report.cause)) << std::endl;

    const std::size_t queued = report.Count(BatchState::Queued);
    const std::size_t unknown = report.Count(BatchState::Unknown);
    std::cout << "queued " << queued << " of " << Numbers(total);
    if (unknown > 0) std::cout << ", " << unknown << " unknown";
    std::cout << std::endl;
    // The account of what was queued is out before the rest file is written:
    // a rest file that cannot be written must never leave an older one, whose
    // numbers may now be queued, in its place to be sent again.
    bool restWritten = true;
    if (!restFile.empty()) {
        const fs::path restPath = Utf8Path(restFile);
        try {
            WriteWholeFile(restPath, rest);
        } catch (const std::exception& e) {
            std::error_code ec;
            const fs::file_status status = fs::symlink_status(restPath, ec);
            const bool stale = fs::exists(status) && !fs::is_directory(status);
            if (stale) fs::remove(restPath, ec);
            std::cerr << "telvoro-admin send: " << OneLineError(e.what()) << std::endl;
            std::cerr << "telvoro-admin send: "
                      << (stale && ec ? "the old rest file could not be removed; do not send it"
                                      : "no rest file was written")
                      << std::endl;
            restWritten = false;
        }
    }
    if (failure) std::rethrow_exception(failure);
    return restWritten && outcome == SendOutcome::Submitted && queued == total ? 0 : 1;
}

int Run(std::vector<std::string> args) {
    std::string dbText;
    TimeLimits limits = TimeLimits::Stated();
    while (args.size() >= 2 && (args[0] == "--db" || args[0] == "--time-limit-ms")) {
        if (args[0] == "--db") {
            dbText = args[1];
        } else {
            char* end = nullptr;
            const long long ms = std::strtoll(args[1].c_str(), &end, 10);
            if (args[1].empty() || *end != '\0' || ms <= 0 || ms > 3600000)
                throw admin::UsageError("--time-limit-ms needs a whole number of milliseconds");
            limits = TimeLimits::Uniform(std::chrono::milliseconds(ms));
        }
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
    if (command == "send") return Send(source, rest, limits);
    if (command == "report") {
        admin::RunReport(source, rest, limits);
        return 0;
    }
    SqlGateway gw(QStringLiteral("admin"), limits);
    if (command == "init") {
        need(0);
        gw.Open(source, Create::Yes);
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
    throw admin::UsageError("unknown command " + command);
}

} // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(QuietMessages);
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
