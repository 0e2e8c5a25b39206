#include "tools/admin/ReportCommand.h"

#include "queue/QueueReport.h"
#include "tools/admin/Errors.h"

#include <QDateTime>

#include <iostream>

namespace telvoro::admin {

void Line(const QStringList& cells, bool csv) {
    QStringList out;
    for (QString c : cells) {
        if (csv && (c.contains(QLatin1Char(',')) || c.contains(QLatin1Char('"')) ||
                    c.contains(QLatin1Char('\n')) || c.contains(QLatin1Char('\r')))) {
            c.replace(QLatin1Char('"'), QLatin1String("\"\""));
            c = QLatin1Char('"') + c + QLatin1Char('"');
        } else if (!csv) {
            c.replace(QLatin1Char('\t'), QLatin1Char(' '));
            c.replace(QLatin1Char('\n'), QLatin1Char(' '));
            c.replace(QLatin1Char('\r'), QLatin1Char(' '));
        }
        out << c;
    }
    std::cout << out.join(csv ? QLatin1Char(',') : QLatin1Char('\t')).toStdString()
              << (csv ? "\r\n" : "\n");
}

void RunReport(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits) {
    QString account;
    std::optional<qint64> row;
    bool csv = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value", "report");
            return args[++i];
        };
        if (args[i] == "--account") {
            account = QString::fromStdString(value());
        } else if (args[i] == "--row") {
            const std::string text = value();
            bool ok = false;
            row = QString::fromStdString(text).toLongLong(&ok);
            if (!ok || *row <= 0) throw UsageError("--row needs a row ID: " + text, "report");
        } else if (args[i] == "--csv") {
            csv = true;
        } else {
            throw UsageError("unknown option " + args[i] +
                                 " (report [--account LOGIN] [--row ID] [--csv])",
                             "report");
        }
    }
    Connection connection(QStringLiteral("admin-report"), limits);
    connection.Open(source);
    queue::QueueReport report(connection);
    const auto rows = report.Summaries(account, row);
    if (row && rows.empty()) throw CommandError("report", "no row " + std::to_string(*row));
    Line({"row", "account", "time", "state", "numbers", "delivered", "undelivered", "rejected",
          "invalid", "pending", "unknown", "opted-out", "capped"},
         csv);
    for (const auto& s : rows)
        Line({QString::number(s.id), s.account, s.time, s.state, QString::number(s.numbers),
              QString::number(s.delivered), QString::number(s.undelivered),
              QString::number(s.rejected), QString::number(s.invalid), QString::number(s.pending),
              QString::number(s.unknown), QString::number(s.optedOut), QString::number(s.capped)},
             csv);
    if (!row) return;
    std::cout << (csv ? "\r\n" : "\n");
    Line({"position", "number", "status", "smsc", "updated"}, csv);
    for (const auto& n : report.Numbers(*row))
        Line({QString::number(n.seq), n.phone, n.status, n.text,
              n.updatedAt > 0 ? QDateTime::fromMSecsSinceEpoch(n.updatedAt)
                                    .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                              : QString()},
             csv);
}

} // namespace telvoro::admin
