#pragma once
// The queue as the operator reads it, read-only: `telvoro-admin report` (rows
// and their numbers' outcomes) and `telvoro-admin queue` (every SendTemp row
// as stored). It claims nothing and needs no worker name.

#include "db/Connection.h"

#include <QString>
#include <optional>
#include <vector>

namespace telvoro::queue {

class QueueReport {
public:
    explicit QueueReport(Connection& connection) : db_(connection) {}

    struct RowSummary {
        qint64 id = 0;
        QString account, time, state;
        int numbers = 0, delivered = 0, undelivered = 0, rejected = 0, invalid = 0, pending = 0,
            unknown = 0, optedOut = 0, capped = 0;
    };
    struct NumberLine {
        int seq = 0;
        QString phone, status, text;
        qint64 updatedAt = 0;
    };
    // Every SendTemp row, in ID order, as the driver gives the texts.
    struct QueueRow {
        QString id, sendNo, state, list, memo;
    };

    // `telvoro-admin status`: the road at a glance. Times in milliseconds
    // since the epoch, 0 for never.
    struct WorkerLine {
        QString worker;
        qint64 started = 0, seen = 0, lastClaim = 0, lastReport = 0;
        bool kannelUp = true;
        qint64 kannelSince = 0;
    };
    struct Count {
        qint64 row = 0; // 0: every open row
        QString status;
        int numbers = 0;
        qint64 oldest = 0; // the longest unchanged number's last change
    };
    struct Road {
        std::vector<WorkerLine> workers;
        std::vector<Count> numbers; // of the rows claimed or handed over, by status
        // Open numbers unchanged since the time asked, or waiting in a row
        // claimed before it (tried again and again), by row.
        std::vector<Count> stuck;
        int newRows = 0;   // rows no worker took yet
        QString oldestNew; // the oldest one's CreateTime
    };
    Road Status(qint64 stuckBefore);

    // The rows of `account` (all when empty), or the one `row`.
    std::vector<RowSummary> Summaries(const QString& account, std::optional<qint64> row);
    std::vector<NumberLine> Numbers(qint64 row);
    std::vector<QueueRow> ListQueue();

private:
    Connection& db_;
};

} // namespace telvoro::queue
