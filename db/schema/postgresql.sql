-- The SMS server's tables for PostgreSQL (database "Orvanta"), as numbered steps.
-- `telvoro-admin init` runs the steps after the version in SchemaVersion (a
-- database from before it is judged by the tables and indexes it has) and
-- records the last. Each step is idempotent. A change is a new step at the
-- end; a shipped step is never edited.
-- Statements end with ";" at a line end.

-- step 0: the schema's version, made before any step
CREATE TABLE IF NOT EXISTS SchemaVersion (
    Version INTEGER NOT NULL
);

-- step 1: the client's tables
CREATE TABLE IF NOT EXISTS Users (
    Login   VARCHAR(50) NOT NULL,
    CurrSum INTEGER     NOT NULL DEFAULT 0 CHECK (CurrSum >= 0)
);
CREATE TABLE IF NOT EXISTS SendTemp (
    ID         SERIAL PRIMARY KEY,
    SendNo     VARCHAR(50),
    SendMemo   TEXT,
    list       VARCHAR(2000),
    state      VARCHAR(10),
    CreateTime TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP
);

-- step 2: one row per login, so the credit of a login is never split over two rows
CREATE UNIQUE INDEX IF NOT EXISTS UQ_Users_Login ON Users (Login);

-- step 3: the queue server's tables
-- Each number of a row by its position, and which worker holds a row.
-- SendTemp keeps its columns; its state goes "0" (new) -> "1" (claimed) ->
-- "2" (handed to Kannel) -> "3" (settled).
CREATE TABLE IF NOT EXISTS SendDetail (
    SendTempID INTEGER      NOT NULL,
    Seq        INTEGER      NOT NULL,
    Round      INTEGER      NOT NULL DEFAULT 0,
    Phone      VARCHAR(40)  NOT NULL DEFAULT '',
    Status     VARCHAR(12)  NOT NULL DEFAULT 'waiting',
    SmscText   VARCHAR(200),
    SubmitAt   BIGINT,
    UpdatedAt  BIGINT,
    Refunded   INTEGER      NOT NULL DEFAULT 0,
    PRIMARY KEY (SendTempID, Seq)
);
CREATE INDEX IF NOT EXISTS SendDetail_Status ON SendDetail (Status, SubmitAt);
CREATE TABLE IF NOT EXISTS SendClaim (
    SendTempID INTEGER      NOT NULL PRIMARY KEY,
    Worker     VARCHAR(100) NOT NULL,
    LeaseUntil BIGINT       NOT NULL,
    Secret     VARCHAR(64)  NOT NULL,
    ClaimedAt  BIGINT       NOT NULL
);
CREATE INDEX IF NOT EXISTS SendTemp_state ON SendTemp (state);

-- step 4: the oldest row in a state, and one row's state, through one index
-- (state) alone is given up; a row's numbers by status.
CREATE INDEX IF NOT EXISTS SendDetail_Row ON SendDetail (SendTempID, Status);
CREATE INDEX IF NOT EXISTS SendTemp_state_ID ON SendTemp (state, ID);
DROP INDEX IF EXISTS SendTemp_state;

-- step 5: a delivery report finds its number by row, round and phone
CREATE INDEX IF NOT EXISTS SendDetail_Number ON SendDetail (SendTempID, Round, Phone);

-- step 6: no index holds a number's status
-- A number's status changes three or four times, and each change would write
-- every index that holds it. What is left of a row is found among its own
-- numbers (by the primary key), the sweeper's numbers among the rows still open.
DROP INDEX IF EXISTS SendDetail_Status;
DROP INDEX IF EXISTS SendDetail_Row;
-- Room on each page for a number's next version: a status change then
-- stays on its page and writes no index (a heap-only update).
ALTER TABLE SendDetail SET (fillfactor = 70);

-- step 7: replies, the accounts' own sender numbers, opt-out lists and daily counts
-- An account's own sender number ("106..." with its extension); a reply to it,
-- or to a number that extends it, belongs to the account.
CREATE TABLE IF NOT EXISTS AccountSender (
    Login  VARCHAR(50) NOT NULL PRIMARY KEY,
    Sender VARCHAR(40) NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS UQ_AccountSender_Sender ON AccountSender (Sender);
-- Each inbound message once: Kannel's own ID of it (%I) is the same when it
-- calls again after a lost answer.
CREATE TABLE IF NOT EXISTS Inbound (
    ID         SERIAL PRIMARY KEY,
    MessageId  VARCHAR(64)  NOT NULL,
    Sender     VARCHAR(40)  NOT NULL,
    Receiver   VARCHAR(40)  NOT NULL,
    Body       TEXT         NOT NULL,
    SmscId     VARCHAR(64),
    ReceivedAt BIGINT       NOT NULL,
    Account    VARCHAR(50),
    Refusal    INTEGER      NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS UQ_Inbound_MessageId ON Inbound (MessageId);
CREATE INDEX IF NOT EXISTS Inbound_Received ON Inbound (ReceivedAt);
-- Numbers never sent to, per account; Login '' is the all-accounts list.
-- A claim asks for its row's numbers through the primary key.
CREATE TABLE IF NOT EXISTS OptOut (
    Login   VARCHAR(50) NOT NULL,
    Phone   VARCHAR(40) NOT NULL,
    AddedAt BIGINT      NOT NULL,
    PRIMARY KEY (Login, Phone)
);
-- Every change of an opt-out list: added or removed, when and by what.
CREATE TABLE IF NOT EXISTS OptOutLog (
    ID     SERIAL PRIMARY KEY,
    Login  VARCHAR(50)  NOT NULL,
    Phone  VARCHAR(40)  NOT NULL,
    Kind   VARCHAR(10)  NOT NULL,
    Source VARCHAR(100) NOT NULL,
    At     BIGINT       NOT NULL
);
-- Numbers claimed per account, phone and local day (yyyymmdd), for the daily cap.
CREATE TABLE IF NOT EXISTS DailyCount (
    Login VARCHAR(50) NOT NULL,
    LocalDay INTEGER     NOT NULL,
    Phone VARCHAR(40) NOT NULL,
    Sent  INTEGER     NOT NULL,
    PRIMARY KEY (Login, LocalDay, Phone)
);
-- step 8: each queue server's last claim and report, and Kannel's reach, for telvoro-admin status
-- Written by the worker every few seconds; times in milliseconds since the epoch, 0 for never.
CREATE TABLE IF NOT EXISTS SendWorker (
    Worker      VARCHAR(100) NOT NULL PRIMARY KEY,
    StartedAt   BIGINT       NOT NULL,
    SeenAt      BIGINT       NOT NULL,
    LastClaim   BIGINT       NOT NULL DEFAULT 0,
    LastReport  BIGINT       NOT NULL DEFAULT 0,
    KannelUp    INTEGER      NOT NULL DEFAULT 1,
    KannelSince BIGINT       NOT NULL DEFAULT 0
);
