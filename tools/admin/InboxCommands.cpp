#include "tools/admin/InboxCommands.h"

#include "core/FileIO.h"
#include "queue/Inbox.h"
#include "queue/Rules.h"
#include "tools/admin/Errors.h"
#include "tools/admin/ReportCommand.h"

#include <QDateTime>

#include <iostream>

namespace telvoro::admin {

namespace {

QString Time(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

void SetSender(const DataSource& source, const std::string& login, const std::string& sender,
               const TimeLimits& limits) {
    const QString number = QString::fromStdString(sender).trimmed();
    if (!number.isEmpty() && !queue::ValidNumber(number))
        throw UsageError("--sender needs a number of digits: " + sender, "account");
    Connection connection(QStringLiteral("admin-sender"), limits);
    connection.Open(source);
    queue::Inbox(connection, queue::SystemClock).SetSender(QString::fromStdString(login), number);
    std::cout << login << " sender " << (number.isEmpty() ? "(the server's)" : sender) << '\n';
}

void RunInbox(const DataSource& source, const std::vector<std::string>& args,
              const TimeLimits& limits) {
    std::optional<QString> account;
    qint64 since = 0;
    bool csv = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value", "inbox");
            return args[++i];
        };
        if (args[i] == "--account") {
            account = QString::fromStdString(value());
        } else if (args[i] == "--since") {
            const QString text = QString::fromStdString(value());
            QDateTime t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            if (!t.isValid()) t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm"));
            if (!t.isValid())
                t = QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).startOfDay();
            if (!t.isValid())
                throw UsageError("--since needs YYYY-MM-DD[ HH:MM[:SS]] (local time)", "inbox");
            since = t.toMSecsSinceEpoch();
        } else if (args[i] == "--csv") {
            csv = true;
        } else {
            throw UsageError("unknown option " + args[i] +
                                 " (inbox [--account LOGIN] [--since TIME] [--csv])",
                             "inbox");
        }
    }
    Connection connection(QStringLiteral("admin-inbox"), limits);
    connection.Open(source);
    Line({"id", "received", "from", "to", "account", "refusal", "smsc", "text"}, csv);
    for (const auto& m : queue::Inbox(connection, queue::SystemClock).Messages(account, since))
        Line({QString::number(m.id), Time(m.receivedAt), m.sender, m.receiver, m.account,
              m.refusal ? QStringLiteral("yes") : QStringLiteral("no"), m.smscId, m.body},
             csv);
}

void RunOptOut(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits) {
    const char* usage = " (optout add|remove|list|import FILE|export (--account LOGIN | "
                        "--all-accounts) [NUMBER ...])";
    if (args.empty()) throw UsageError(std::string("needs an action") + usage, "optout");
    const std::string action = args[0];
    std::optional<QString> login; // "" is the all-accounts list
    QStringList numbers;
    std::string file;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--account" && i + 1 < args.size())
            login = QString::fromStdString(args[++i]);
        else if (args[i] == "--all-accounts")
            login = QString();
        else if (action == "import" && file.empty())
            file = args[i];
        else
            numbers << QString::fromStdString(args[i]);
    }
    const bool changes = action == "add" || action == "remove" || action == "import";
    if (!changes && action != "list" && action != "export")
        throw UsageError("unknown action " + action + usage, "optout");
    if (changes && !login)
        throw UsageError("needs --account LOGIN or --all-accounts" + std::string(usage), "optout");
    if (action == "import") {
        if (file.empty()) throw UsageError("import needs a FILE" + std::string(usage), "optout");
        const std::string text =
            ReadWholeFile(std::filesystem::path(std::u8string(file.begin(), file.end())));
        for (const QString& line : QString::fromUtf8(text).split(QLatin1Char('\n')))
            if (!line.trimmed().isEmpty() && !line.trimmed().startsWith(QLatin1Char('#')))
                numbers << line.trimmed().split(QLatin1Char(',')).value(0).trimmed();
    }
    for (const QString& n : numbers)
        if (!queue::ValidNumber(n))
            throw UsageError("not a number: " + n.toStdString() + usage, "optout");
    Connection connection(QStringLiteral("admin-optout"), limits);
    connection.Open(source);
    queue::Inbox inbox(connection, queue::SystemClock);
    const QString by = QStringLiteral("telvoro-admin optout ") + QString::fromStdString(action);
    if (action == "add" || action == "import") {
        const int n = inbox.AddOptOut(*login, numbers, by);
        std::cout << n << " added, " << numbers.size() - n << " listed already\n";
        return;
    }
    if (action == "remove") {
        const int n = inbox.RemoveOptOut(*login, numbers, by);
        std::cout << n << " removed, " << numbers.size() - n << " not listed\n";
        return;
    }
    // list: a table; export: one number a line (with its account), as import reads it.
    const auto rows = inbox.OptOuts(login);
    if (action == "list") Line({"account", "number", "added"}, false);
    for (const auto& r : rows) {
        const QString who = r.login.isEmpty() ? QStringLiteral("*") : r.login;
        if (action == "list")
            Line({who, r.phone, Time(r.addedAt)}, false);
        else
            std::cout << r.phone.toStdString() << ',' << who.toStdString() << '\n';
    }
}

} // namespace telvoro::admin
