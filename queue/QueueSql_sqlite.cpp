// The queue's statements on SQLite, the embedded database. One writer at a
// time: a transaction begins with BEGIN IMMEDIATE and holds the write lock
// from its first statement, so a claim needs no row locks.

#include "queue/QueueSql.h"

#include "core/Error.h"
#include "db/Connection.h"

#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::queue {

void PrepareQueueDatabase(Connection& c) {
    if (c.dialect() != Dialect::Sqlite) return;
    // Write-ahead logging: a commit costs one sync of the log, not three of
    // journal and file, and the client's readers no longer wait for the
    // writers. Every commit is still synced before it returns (a number
    // marked "submitting" must survive a power cut before its request goes out).
    try {
        QSqlQuery q(c.database());
        QString mode;
        const auto wal = [&] {
            mode = q.next() ? q.value(0).toString() : QString();
            return mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
        };
        // Another of the server's connections may be switching it right now.
        if (!(q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && wal())) {
            // SQLite refuses the switch without a word when it cannot write
            // the file or make the log beside it.
            QString why = q.lastError().text().trimmed();
            if (why.isEmpty())
                why = QStringLiteral("SQLite gives no reason; most often the file "
                                     "or its folder is read-only for this user");
            if (!(q.exec(QStringLiteral("PRAGMA journal_mode")) && wal()))
                throw Error("the database stays in journal mode '" + mode.toStdString() +
                            "', not write-ahead logging: " + why.toStdString());
        }
        ExecDirect(c.database(), QStringLiteral("PRAGMA synchronous=FULL"));
    } catch (const Error& e) {
        // Slower, not wrong: the next connection tries again.
        qCWarning(lcQueue, "%s", e.what());
    }
}

QueueSql SqliteQueueSql() {
    const auto S = [](const char* text) { return ResolveTokens(Dialect::Sqlite, text); };
    QueueSql q;
    q.dialect = Dialect::Sqlite;
    // SQLite looks up hundreds of parameters by name, over and over, and
    // parses a new statement for every batch of another size: the batch goes
    // as one JSON text, one statement of one shape.
    q.reportBatch = ReportBatch::Json;

    // Claim. The write lock is held already: the first row found is ours.
    q.takeExpired = S("Select t.ID from SendTemp t join SendClaim c on c.SendTempID=t.ID where "
                      "t.state={Claimed} and c.LeaseUntil<? order by t.ID limit 1");
    q.takeNew = S("Select ID from SendTemp where state={New} order by ID limit 1");
    q.rowOf = S("Select SendNo, SendMemo, list from SendTemp where ID=?");
    q.markClaimed = S("Update SendTemp set state={Claimed} where ID=? and state={New}");
    q.insertClaim = S("Insert into SendClaim (SendTempID, Worker, LeaseUntil, Secret, ClaimedAt) "
                      "values (?, ?, ?, ?, ?)");
    q.insertNumbers = S("Insert into SendDetail (SendTempID, Seq, Round, Phone, Status, SmscText, "
                        "UpdatedAt, SubmitAt) values ");
    q.claimOf = S("Select Worker, Secret, ClaimedAt from SendClaim where SendTempID=?");
    q.takeOver = S("Update SendClaim set Worker=?, LeaseUntil=?, ClaimedAt=? where SendTempID=? "
                   "and LeaseUntil<?");
    q.submittingChecking = S("Update SendDetail set Status={Checking}, SmscText=?, UpdatedAt=? "
                             "where SendTempID=? and Status={Submitting}");
    q.renew = S("Update SendClaim set LeaseUntil=? where SendTempID=? and Worker=?");
    q.renewOwn =
        S("Update SendClaim set LeaseUntil=? where SendTempID=? and Worker=? and ClaimedAt=?");
    q.settleOwn = S("Update SendDetail set Status={Checking}, SmscText=?, UpdatedAt=? where "
                    "Status={Submitting} and SendTempID in (select c.SendTempID from SendClaim c "
                    "join SendTemp t on t.ID=c.SendTempID where c.Worker=? and t.state={Claimed})");
    q.releaseOwn = S("Update SendClaim set LeaseUntil=0 where Worker=? and SendTempID in (select "
                     "ID from SendTemp where state={Claimed})");

    // Rounds: a row's numbers through its primary key.
    q.firstOpenRound =
        S("Select min(Round) from SendDetail where SendTempID=? and Status in {NotHanded}");
    q.roundPhones = S("Select Phone from SendDetail where SendTempID=? and Round=? and Status in "
                      "{NotHanded} order by Seq");
    q.markRound = S("Update SendDetail set Status={Submitting}, UpdatedAt=?, SubmitAt=? where "
                    "SendTempID=? and Round=? and Status={Waiting}");
    q.retryNumber = S("Update SendDetail set Status={Waiting}, UpdatedAt=? where SendTempID=? and "
                      "Round=? and Phone=? and Status={Submitting}");
    q.answerRound = S("Update SendDetail set Status=?, SmscText=?, UpdatedAt=? where SendTempID=? "
                      "and Round=? and Status={Submitting}");

    // A row moves on. The status test sits inside a case: out of reach of
    // any index on the status (none is made; one a DBA adds would tempt a
    // planner misled by stale statistics to walk every open number).
    q.readyToHand = S("Select ID from SendTemp where state={Claimed} and ID in %1 and not exists "
                      "(select 1 from SendDetail d where d.SendTempID=SendTemp.ID and (case when "
                      "d.Status in {NotHanded} then 1 else 0 end)=1)");
    q.readyToSettle = S("Select ID from SendTemp where state={Handed} and ID in %1 and not exists "
                        "(select 1 from SendDetail d where d.SendTempID=SendTemp.ID and (case "
                        "when d.Status in {Open} then 1 else 0 end)=1)");
    q.advance = S("Update SendTemp set state=? where ID=? and state=?");

    // Reports. A final report settles any number still open, an unknown one
    // too; a passing one moves only a number on its way.
    q.secretOf = S("Select Secret from SendClaim where SendTempID=?");
    q.applyReports =
        S("Update SendDetail as d set Status=v.st, SmscText=v.txt, UpdatedAt=? from (select "
          "json_extract(value, '$[0]') as id, json_extract(value, '$[1]') as rnd, "
          "json_extract(value, '$[2]') as phone, json_extract(value, '$[3]') as st, "
          "json_extract(value, '$[4]') as txt, json_extract(value, '$[5]') as final from "
          "json_each(?)) as v where d.SendTempID in (select value from json_each(?)) and "
          "d.SendTempID=v.id and d.Round=v.rnd and d.Phone=v.phone and (case when d.Status in "
          "{OnTheWay} then 1 when v.final=1 and d.Status={Unknown} then 1 else 0 end)=1");

    // Sweep: open numbers live in open rows only, named outright.
    q.openRows = S("Select ID, state from SendTemp where state in ({Claimed},{Handed})");
    q.sweep = S("Update SendDetail set Status={Unknown}, SmscText=?, UpdatedAt=? where Status in "
                "{AwaitingReport} and SubmitAt<? and SendTempID in %1");

    // Refund.
    q.accountOf = S("Select SendNo, SendMemo from SendTemp where ID=?");
    q.markRefunded = S("Update SendDetail set Refunded=1 where SendTempID=? and Refunded=0 and "
                       "Status in {Refundable}");
    q.markRefundedUnknown =
        S("Update SendDetail set Refunded=1 where SendTempID=? and Refunded=0 and "
          "Status in {RefundableOrUnknown}");

    // A worker that died while submitting: what Kannel's facts decide for each
    // number checked. A row goes back to be claimed only once handed over.
    // Asked first, at every look: whether any number is being checked at all.
    q.rowsChecking = S("Select distinct SendTempID from SendDetail where Status={Checking} and "
                       "SendTempID in %1");
    q.checkingNumbers =
        S("Select SendTempID, Round, Phone, SubmitAt, UpdatedAt, Status from "
          "SendDetail where Status in ({Checking},{Submitted}) and SendTempID in %1");
    // One index range a row: a row's numbers are few next to the table.
    q.reportedRounds =
        S("Select distinct c.SendTempID, c.Round from SendDetail c join SendDetail r on "
          "r.SendTempID=c.SendTempID and r.Round=c.Round where c.Status={Checking} and "
          "r.Status in {Reported} and c.SendTempID in %1");
    q.checkSettle = S("Update SendDetail set Status=?, SmscText=?, UpdatedAt=? where SendTempID=? "
                      "and Round=? and Phone=? and Status={Checking}");
    q.reopenRow = S("Update SendTemp set state={Claimed} where ID=? and state={Handed}");
    q.releaseRow = S("Update SendClaim set LeaseUntil=0 where SendTempID=?");
    q.credit = S("Update Users set CurrSum=CurrSum+? where Login=?");
    // The rowid's last page: nothing else is read, so it can be asked
    // every few milliseconds.
    q.latestRow = S("Select max(ID) from SendTemp");

    // Rules of sending. A claim asks for its row's numbers on the opt-out
    // lists at once, through the list's primary key.
    q.markHeldRefunded = S("Update SendDetail set Refunded=1 where SendTempID=? and Refunded=0 "
                           "and Status in {HeldBack}");
    q.senderOf = S("Select Sender from AccountSender where Login=?");
    q.optedOut = S("Select distinct Phone from OptOut where Login in (?, '') and Phone in %1");
    q.dayCounts =
        S("Select Phone, Sent from DailyCount where Login=? and LocalDay=? and Phone in %1");
    q.bumpDay = S("Update DailyCount set Sent=Sent+1 where Login=? and LocalDay=? and Phone=?");
    q.accountSenders = S("Select Login, Sender from AccountSender");
    q.clearSender = S("Delete from AccountSender where Login=?");
    q.insertSender = S("Insert into AccountSender (Login, Sender) values (?, ?)");
    q.removeOptOut = S("Delete from OptOut where Login=? and Phone=?");
    q.logOptOut =
        S("Insert into OptOutLog (Login, Phone, Kind, Source, At) values (?, ?, ?, ?, ?)");
    q.listOptOut = S("Select Login, Phone, AddedAt from OptOut%1 order by Login, Phone");
    q.listInbound =
        S("Select ID, ReceivedAt, Sender, Receiver, Account, Refusal, SmscId, Body from "
          "Inbound%1 order by ID");

    // Inbound messages: a repeated call (the same message ID) stores nothing.
    q.insertInbound =
        S("Insert into Inbound (MessageId, Sender, Receiver, Body, SmscId, ReceivedAt, "
          "Account, Refusal) values (?, ?, ?, ?, ?, ?, ?, ?) on conflict (MessageId) "
          "do nothing");
    q.addOptOut = S("Insert into OptOut (Login, Phone, AddedAt) values (?, ?, ?) on conflict "
                    "(Login, Phone) do nothing");
    q.countDay = S("Insert into DailyCount (Login, LocalDay, Phone, Sent) values (?, ?, ?, 1) on "
                   "conflict (Login, LocalDay, Phone) do update set Sent=DailyCount.Sent+1");

    // The operator's report (read only).
    q.reportRows = S("Select ID, SendNo, CreateTime, state, list from SendTemp%1 order by ID");
    q.reportCounts = S("Select SendTempID, Status, count(*) from SendDetail where SendTempID in "
                       "(select ID from SendTemp%1) group by SendTempID, Status");
    q.reportNumbers = S("Select Seq, Phone, Status, SmscText, UpdatedAt from SendDetail where "
                        "SendTempID=? order by Seq");
    q.listQueue = S("Select ID, SendNo, state, list, SendMemo from SendTemp order by ID");
    q.workerSeen = S("Update SendWorker set StartedAt=?, SeenAt=?, LastClaim=?, LastReport=?, "
                     "KannelUp=?, KannelSince=? where Worker=?");
    q.workerNew = S("Insert into SendWorker (Worker, StartedAt, SeenAt, LastClaim, LastReport, "
                    "KannelUp, KannelSince) values (?, ?, ?, ?, ?, ?, ?)");
    q.statusWorkers = S("Select Worker, StartedAt, SeenAt, LastClaim, LastReport, KannelUp, "
                        "KannelSince from SendWorker order by Worker");
    q.statusNumbers = S("Select Status, count(*), min(UpdatedAt) from SendDetail where SendTempID "
                        "in (select ID from SendTemp where state in ({Claimed},{Handed})) group "
                        "by Status");
    q.statusStuck = S("Select SendTempID, Status, count(*), min(UpdatedAt) from SendDetail where "
                      "SendTempID in (select ID from SendTemp where state in ({Claimed},{Handed})) "
                      "and Status in {Open} and (UpdatedAt<? or (Status={Waiting} and SendTempID "
                      "in (select SendTempID from SendClaim where ClaimedAt<?))) group by "
                      "SendTempID, Status order by SendTempID, Status");
    q.statusNewRows = S("Select count(*), min(CreateTime) from SendTemp where state={New}");
    return q;
}

} // namespace telvoro::queue
