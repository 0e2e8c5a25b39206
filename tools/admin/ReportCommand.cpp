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

namespace {

QString When(qint64 at, qint64 now) {
    if (at <= 0) return QStringLiteral("never");
    return QDateTime::fromMSecsSinceEpoch(at).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" (%1 s ago)").arg((now - at) / 1000);
}

} // namespace

void RunStatus(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits) {
    qint64 stuck = 600;
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool ok = false;
        if (args[i] == "--stuck" && i + 1 < args.size())
            stuck = QString::fromStdString(args[++i]).toLongLong(&ok);
        if (!ok || stuck < 1)
            throw UsageError("status takes --stuck SECONDS (default 600)", "status");
    }
    Connection connection(QStringLiteral("admin-status"), limits);
    connection.Open(source);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto road = queue::QueueReport(connection).Status(now - stuck * 1000);
    if (road.workers.empty()) std::cout << "no queue server has run on this database yet\n";
    for (const auto& w : road.workers) {
        std::cout << "worker " << w.worker.toStdString() << ": started "
                  << When(w.started, now).toStdString() << ", last seen "
                  << When(w.seen, now).toStdString()
                  << (now - w.seen > 30000 ? "  NOT RUNNING?" : "") << "\n  last claim "
                  << When(w.lastClaim, now).toStdString() << ", last report "
                  << When(w.lastReport, now).toStdString() << "\n  Kannel "
                  << (w.kannelUp ? "reachable" : "UNREACHABLE") << " since "
                  << When(w.kannelSince, now).toStdString() << "\n";
    }
    QStringList counts;
    for (const char* status :
         {"waiting", "submitting", "checking", "submitted", "accepted", "buffered", "unknown"}) {
        int n = 0;
        for (const auto& c : road.numbers)
            if (c.status == QLatin1String(status)) n = c.numbers;
        counts << QStringLiteral("%1 %2").arg(QLatin1String(status)).arg(n);
    }
    std::cout << "numbers of the rows under way: "
              << counts.join(QStringLiteral(", ")).toStdString()
              << "\nrows no worker took yet: " << road.newRows
              << (road.newRows > 0 ? " (the oldest queued " + road.oldestNew.toStdString() + ")"
                                   : std::string())
              << "\n";
    std::cout << "numbers stuck for over " << stuck
              << " s (unchanged, or waiting in a row claimed that long ago): "
              << (road.stuck.empty() ? "none" : "") << "\n";
    for (const auto& c : road.stuck)
        std::cout << "  row " << c.row << ": " << c.numbers << " " << c.status.toStdString()
                  << ", the oldest changed " << When(c.oldest, now).toStdString() << "\n";
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
