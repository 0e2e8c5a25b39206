// telvoro-admin: deployment and support tool beside the client, on the same
// core and gateway. Terminal text is UTF-8; files named by the user are GBK.

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/SendJob.h"
#include "db/Schema.h"
#include "db/SqlError.h"
#include "queue/QueueReport.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "text/GbkCodec.h"
#include "tools/admin/ConfigCommands.h"
#include "tools/admin/Errors.h"
#include "tools/admin/InboxCommands.h"
#include "tools/admin/ReportCommand.h"
#include "tools/admin/SendCommand.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>
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
    "  init                          create the server tables or upgrade them (idempotent)\n"
    "  account LOGIN [CREDIT] [--sender NUMBER]\n"
    "                                create the account or set its credit; --sender gives\n"
    "                                it its own sender number (\"\" for the server's)\n"
    "  inbox [--account LOGIN] [--since TIME] [--csv]\n"
    "                                the inbound messages (replies), oldest first\n"
    "  optout add|remove|list|import FILE|export (--account LOGIN | --all-accounts)\n"
    "       [NUMBER ...]             the opt-out lists, every change recorded\n"
    "  credit LOGIN                  print the account's credit\n"
    "  queue                         print the queued send rows\n"
    "  send --account LOGIN --message-file FILE --numbers-file FILE [--self-check NUMBER]\n"
    "       [--rest-file FILE] [--dropped-file FILE]\n"
    "                                run a send job without a window; the last line says\n"
    "                                how many numbers were queued and how many lines were\n"
    "                                dropped as invalid; --rest-file writes those not\n"
    "                                queued, to send them by the same command;\n"
    "                                --dropped-file writes the dropped lines\n"
    "  report [--account LOGIN] [--row ID] [--csv]\n"
    "                                what became of the queued rows (per number with --row)\n"
    "  status [--stuck SECONDS]      the queue servers at a glance: each worker's last claim\n"
    "                                and report, Kannel reachable or not since when, the\n"
    "                                numbers under way by status, numbers unchanged (or\n"
    "                                waiting in a row claimed) for over SECONDS (600)\n"
    "  config LOGIN [--out PATH] [--force]   write an account settings file\n"
    "  read-config PATH              print the account a settings file holds\n";

// The tool reports every failure itself, once: the drivers' follow-up
// warnings through Qt are dropped; the system's own categories are kept.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::cerr << "telvoro-admin: " << MaskSecrets(text.toStdString()) << std::endl;
        std::abort();
    }
    if (context.category && std::strncmp(context.category, "telvoro.", 8) == 0)
        std::cerr << "telvoro-admin: " << admin::OneLineError(text.toStdString()) << std::endl;
}

void Init(SqlGateway& gw) {
    const SchemaChange change = ServerUpkeep(gw.connection()).CreateTables();
    std::cout << "tables ready: ";
    if (change.from == 0)
        std::cout << "created at schema version " << change.to << '\n';
    else if (change.from == change.to)
        std::cout << "schema version " << change.to << ", up to date\n";
    else
        std::cout << "schema version " << change.from << " -> " << change.to << '\n';
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
    for (const queue::QueueReport::QueueRow& row :
         queue::QueueReport(gw.connection()).ListQueue()) {
        // A row holds at least one number, an empty one included.
        const qsizetype count = row.list.count(QLatin1Char(';')) + 1;
        std::cout << row.id.toStdString() << '\t' << row.sendNo.toStdString() << '\t'
                  << row.state.toStdString() << '\t' << count << '\t' << OneLine(row.list) << '\t'
                  << OneLine(row.memo) << '\n';
    }
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
    if (command == "send") return admin::RunSend(source, rest, limits);
    if (command == "inbox") {
        admin::RunInbox(source, rest, limits);
        return 0;
    }
    if (command == "optout") {
        admin::RunOptOut(source, rest, limits);
        return 0;
    }
    if (command == "report") {
        admin::RunReport(source, rest, limits);
        return 0;
    }
    if (command == "status") {
        admin::RunStatus(source, rest, limits);
        return 0;
    }
    SqlGateway gw(QStringLiteral("admin"), limits);
    if (command == "init") {
        need(0);
        // SQLite says only "unable to open database file" for a missing folder.
        std::error_code ec;
        if (const fs::path folder = fs::absolute(source.sqliteFile, ec).parent_path();
            source.engine == Engine::Sqlite && !fs::exists(source.sqliteFile, ec) &&
            !fs::is_directory(folder, ec))
            throw Error("cannot create the database " + PathText(source.sqliteFile) +
                        ": its folder " + PathText(folder) + " does not exist");
        gw.Open(source, Create::Yes);
        Init(gw);
        return 0;
    }
    if (command == "account") {
        std::vector<std::string> plain;
        std::optional<std::string> sender;
        for (std::size_t i = 0; i < rest.size(); ++i)
            if (rest[i] == "--sender" && i + 1 < rest.size())
                sender = rest[++i];
            else
                plain.push_back(rest[i]);
        if (plain.empty() || plain.size() > 2 || (plain.size() == 1 && !sender))
            throw admin::UsageError("wrong number of arguments for account");
        if (plain.size() == 2) {
            gw.Open(source);
            Account(gw, plain[0], plain[1]);
        }
        if (sender) admin::SetSender(source, plain[0], *sender, limits);
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
        std::cerr << "telvoro-admin " << e.command() << ": " << admin::OneLineError(e.what())
                  << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "telvoro-admin: " << admin::OneLineError(e.what()) << '\n';
        return 1;
    }
}
