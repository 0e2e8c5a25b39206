#pragma once
// Every statement of the queue for one engine, as text: QueueSql_sqlite.cpp,
// QueueSql_postgres.cpp and QueueSql_sqlserver.cpp each hold the whole set
// with that engine's reasons beside them. QueueStorage runs them; nothing
// else in the queue knows an engine.
//
// In the texts, {New} ... {Settled} stand for a row's state, {Waiting} ...
// {Checking} for a number's status and {Open}, {NotHanded}, {OnTheWay},
// {AwaitingReport}, {Reported}, {Refundable}, {RefundableOrUnknown} for the lists of States.h; an
// unknown token stops the program at its first statement. %1 marks a list of row IDs,
// "(?, ?, ...)"; %2 SQL Server's rows of report values.

#include "db/Dialect.h"

#include <QString>
#include <utility>
#include <vector>

namespace telvoro {
class Connection;
}

namespace telvoro::queue {

// How a batch of delivery reports reaches the engine in one statement.
enum class ReportBatch {
    Arrays, // one array per column, as bound text (PostgreSQL)
    Json,   // one JSON text of rows and one of row IDs (SQLite)
    Values, // rows of values, up to 250 numbers a statement (SQL Server)
};

#define TELVORO_QUEUE_STATEMENTS(X)                                                                \
    X(takeExpired)         /* the oldest claimed row whose lease ran out: ? now */                 \
    X(takeNew)             /* the oldest new row */                                                \
    X(rowOf)               /* SendNo, SendMemo, list of ? row */                                   \
    X(markClaimed)         /* ? row from New to Claimed */                                         \
    X(insertClaim)         /* ? row, worker, lease, secret, claimed at */                          \
    X(insertNumbers)       /* the statement's start; kNumberValues follow, comma-separated */      \
    X(claimOf)             /* Worker, Secret, ClaimedAt of ? row */                                \
    X(takeOver)            /* ? worker, lease, claimed at, row, now */                             \
    X(submittingChecking)  /* ? text, now, row */                                                  \
    X(renew)               /* ? lease, row, worker */                                              \
    X(renewOwn)            /* ? lease, row, worker, claimed at */                                  \
    X(settleOwn)           /* ? text, now, worker */                                               \
    X(releaseOwn)          /* ? worker */                                                          \
    X(firstOpenRound)      /* ? row */                                                             \
    X(roundPhones)         /* ? row, round */                                                      \
    X(markRound)           /* ? now, now, row, round */                                            \
    X(retryNumber)         /* ? now, row, round, phone */                                          \
    X(answerRound)         /* ? status, text, now, row, round */                                   \
    X(readyToHand)         /* rows among %1 with no number left to hand over */                    \
    X(readyToSettle)       /* rows among %1 with no open number */                                 \
    X(advance)             /* ? to, row, from */                                                   \
    X(secretOf)            /* ? row */                                                             \
    X(applyReports)        /* ? now, then the batch (see ReportBatch) */                           \
    X(openRows)            /* ID, state of the rows claimed or handed */                           \
    X(sweep)               /* ? text, now, before; rows %1 */                                      \
    X(accountOf)           /* SendNo, SendMemo of ? row */                                         \
    X(markRefunded)        /* ? row */                                                             \
    X(markRefundedUnknown) /* ? row: the same, unknown numbers too */                              \
    X(rowsChecking)        /* the rows with a number checked; rows %1 */                           \
    X(checkingNumbers)     /* row, round, phone, submitted, updated, status of numbers checked or  \
                              submitted; rows %1 */                                                \
    X(reportedRounds)      /* row, round of the rounds with a number checked and one reported;     \
                              rows %1 */                                                           \
    X(checkSettle)         /* ? status, text, now, row, round, phone */                            \
    X(reopenRow)           /* ? row from Handed back to Claimed */                                 \
    X(releaseRow)          /* ? row: its lease out, to be claimed at once */                       \
    X(markHeldRefunded) /* ? row: numbers held back by a rule, refunded whatever --refund says */  \
    X(senderOf)         /* Sender of ? login */                                                    \
    X(optedOut)         /* Phone among %1 on the list of ? login or of all accounts */             \
    X(dayCounts)        /* Phone, Sent of ? login, day; phones %1 */                               \
    X(bumpDay)          /* one more number counted: ? login, day, phone */                         \
    X(countDay)         /* the first (when bumpDay found none): ? login, day, phone */             \
    X(insertInbound)    /* ? message ID, sender, receiver, body, SMSC, time, account, refusal */   \
    X(accountSenders)   /* Login, Sender of every account that has its own */                      \
    X(clearSender)      /* ? login */                                                              \
    X(insertSender)     /* ? login, sender */                                                      \
    X(addOptOut)        /* ? login, phone, time; nothing when listed */                            \
    X(removeOptOut)     /* ? login, phone */                                                       \
    X(logOptOut)        /* ? login, phone, kind, source, time */                                   \
    X(listOptOut)       /* Login, Phone, AddedAt: %1 the condition */                              \
    X(listInbound)   /* ID, time, sender, receiver, account, refusal, SMSC, body: %1 the condition \
                      */                                                                           \
    X(credit)        /* ? units, login */                                                          \
    X(latestRow)     /* the highest row ID: a new row wakes the drains */                          \
    X(reportRows)    /* the operator's report: %1 the condition on SendTemp */                     \
    X(reportCounts)  /* numbers by row and status, same condition */                               \
    X(reportNumbers) /* ? row */                                                                   \
    X(listQueue)     /* every row of SendTemp */                                                   \
    X(workerSeen)    /* ? started, seen, claim, report, kannel up, since, worker */                \
    X(workerNew)     /* ? worker, started, seen, claim, report, kannel up, since */                \
    X(statusWorkers) /* every worker's row of SendWorker */                                        \
    X(statusNumbers) /* status, count, oldest UpdatedAt of the numbers of open rows */             \
    X(statusStuck)   /* row, status, count, oldest: open numbers unchanged since ?, or             \
                        waiting in a row claimed before ? */                                       \
    X(statusNewRows) /* count and oldest CreateTime of the rows no worker took yet */

struct QueueSql {
    Dialect dialect = Dialect::Sqlite;
    ReportBatch reportBatch = ReportBatch::Json;
#define TELVORO_QUEUE_FIELD(name) QString name;
    TELVORO_QUEUE_STATEMENTS(TELVORO_QUEUE_FIELD)
#undef TELVORO_QUEUE_FIELD
    // Every statement by its name, for the checks that parse them.
    std::vector<std::pair<const char*, const QString*>> All() const;
};

// One number of insertNumbers: row, position, round, phone, status, text,
// updated, submitted.
inline constexpr const char* kNumberValues = "(?, ?, ?, ?, ?, ?, ?, ?)";
// One report of the Values batch: row, round, phone, status, text, final.
inline constexpr const char* kReportValues = "(?, ?, ?, ?, ?, ?)";

const QueueSql& QueueSqlFor(Dialect dialect);

// The texts of each engine, with their tokens resolved (QueueSql_*.cpp).
QueueSql SqliteQueueSql();
QueueSql PostgresQueueSql();
QueueSql SqlServerQueueSql();

// `text` with its {Token}s resolved for `dialect`; throws on an unknown token.
QString ResolveTokens(Dialect dialect, const char* text);

// Engine set-up of each queue server connection (SQLite's journal; nothing
// elsewhere). Slower, not wrong, when it fails: it only warns.
void PrepareQueueDatabase(Connection& connection);

} // namespace telvoro::queue
