-- The SMS server's tables for Microsoft SQL Server (database Orvanta), as numbered steps.
-- `telvoro-admin init` runs the steps after the version in SchemaVersion (a
-- database from before it is judged by the tables and indexes it has) and
-- records the last. Each step is idempotent: SQL Server has no IF NOT
-- EXISTS in CREATE, so each statement asks the catalog first. A change is a
-- new step at the end; a shipped step is never edited.
-- Statements end with ";" at a line end.

-- step 0: the schema's version, made before any step
IF OBJECT_ID(N'dbo.SchemaVersion', N'U') IS NULL
CREATE TABLE dbo.SchemaVersion (
    Version INT NOT NULL
);

-- step 1: the client's tables
IF OBJECT_ID(N'dbo.Users', N'U') IS NULL
CREATE TABLE dbo.Users (
    Login   NVARCHAR(50) NOT NULL,
    CurrSum INT          NOT NULL DEFAULT 0 CHECK (CurrSum >= 0)
);
IF OBJECT_ID(N'dbo.SendTemp', N'U') IS NULL
CREATE TABLE dbo.SendTemp (
    ID         INT IDENTITY(1, 1) PRIMARY KEY,
    SendNo     NVARCHAR(50),
    SendMemo   NVARCHAR(MAX),
    list       NVARCHAR(2000),
    state      NVARCHAR(10),
    CreateTime DATETIME2 NOT NULL DEFAULT SYSDATETIME()
);

-- step 2: one row per login, so the credit of a login is never split over two rows
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'UQ_Users_Login' AND object_id = OBJECT_ID(N'dbo.Users'))
CREATE UNIQUE INDEX UQ_Users_Login ON dbo.Users (Login);

-- step 3: the queue server's tables
-- Each number of a row by its position, and which worker holds a row.
-- SendTemp keeps its columns; its state goes "0" (new) -> "1" (claimed) ->
-- "2" (handed to Kannel) -> "3" (settled).
IF OBJECT_ID(N'dbo.SendDetail', N'U') IS NULL
CREATE TABLE dbo.SendDetail (
    SendTempID INT           NOT NULL,
    Seq        INT           NOT NULL,
    Round      INT           NOT NULL DEFAULT 0,
    Phone      NVARCHAR(40)  NOT NULL DEFAULT N'',
    Status     NVARCHAR(12)  NOT NULL DEFAULT N'waiting',
    SmscText   NVARCHAR(200),
    SubmitAt   BIGINT,
    UpdatedAt  BIGINT,
    Refunded   INT           NOT NULL DEFAULT 0,
    PRIMARY KEY (SendTempID, Seq)
);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Status')
CREATE INDEX SendDetail_Status ON dbo.SendDetail (Status, SubmitAt);
IF OBJECT_ID(N'dbo.SendClaim', N'U') IS NULL
CREATE TABLE dbo.SendClaim (
    SendTempID INT           NOT NULL PRIMARY KEY,
    Worker     NVARCHAR(100) NOT NULL,
    LeaseUntil BIGINT        NOT NULL,
    Secret     NVARCHAR(64)  NOT NULL,
    ClaimedAt  BIGINT        NOT NULL
);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendTemp_state')
CREATE INDEX SendTemp_state ON dbo.SendTemp (state);

-- step 4: the oldest row in a state, and one row's state, through one index
-- (state) alone is given up; a row's numbers by status.
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Row')
CREATE INDEX SendDetail_Row ON dbo.SendDetail (SendTempID, Status);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendTemp_state_ID')
CREATE INDEX SendTemp_state_ID ON dbo.SendTemp (state, ID);
IF EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendTemp_state')
DROP INDEX SendTemp_state ON dbo.SendTemp;

-- step 5: a delivery report finds its number by row, round and phone
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Number')
CREATE INDEX SendDetail_Number ON dbo.SendDetail (SendTempID, Round, Phone);

-- step 6: no index holds a number's status
-- A number's status changes three or four times, and each change would write
-- every index that holds it. What is left of a row is found among its own
-- numbers (by the primary key), the sweeper's numbers among the rows still open.
IF EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Status' AND object_id = OBJECT_ID(N'dbo.SendDetail'))
DROP INDEX SendDetail_Status ON dbo.SendDetail;
IF EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Row' AND object_id = OBJECT_ID(N'dbo.SendDetail'))
DROP INDEX SendDetail_Row ON dbo.SendDetail;

-- step 7: replies, the accounts' own sender numbers, opt-out lists and daily counts
-- An account's own sender number ("106..." with its extension); a reply to it,
-- or to a number that extends it, belongs to the account.
IF OBJECT_ID(N'dbo.AccountSender', N'U') IS NULL
CREATE TABLE dbo.AccountSender (
    Login  NVARCHAR(50) NOT NULL PRIMARY KEY,
    Sender NVARCHAR(40) NOT NULL
);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'UQ_AccountSender_Sender' AND object_id = OBJECT_ID(N'dbo.AccountSender'))
CREATE UNIQUE INDEX UQ_AccountSender_Sender ON dbo.AccountSender (Sender);
-- Each inbound message once: Kannel's own ID of it (%I) is the same when it
-- calls again after a lost answer.
IF OBJECT_ID(N'dbo.Inbound', N'U') IS NULL
CREATE TABLE dbo.Inbound (
    ID         INT IDENTITY(1, 1) PRIMARY KEY,
    MessageId  NVARCHAR(64)  NOT NULL,
    Sender     NVARCHAR(40)  NOT NULL,
    Receiver   NVARCHAR(40)  NOT NULL,
    Body       NVARCHAR(MAX) NOT NULL,
    SmscId     NVARCHAR(64),
    ReceivedAt BIGINT       NOT NULL,
    Account    NVARCHAR(50),
    Refusal    INT          NOT NULL DEFAULT 0
);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'UQ_Inbound_MessageId' AND object_id = OBJECT_ID(N'dbo.Inbound'))
CREATE UNIQUE INDEX UQ_Inbound_MessageId ON dbo.Inbound (MessageId);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'Inbound_Received' AND object_id = OBJECT_ID(N'dbo.Inbound'))
CREATE INDEX Inbound_Received ON dbo.Inbound (ReceivedAt);
-- Numbers never sent to, per account; Login '' is the all-accounts list.
-- A claim asks for its row's numbers through the primary key.
IF OBJECT_ID(N'dbo.OptOut', N'U') IS NULL
CREATE TABLE dbo.OptOut (
    Login   NVARCHAR(50) NOT NULL,
    Phone   NVARCHAR(40) NOT NULL,
    AddedAt BIGINT      NOT NULL,
    PRIMARY KEY (Login, Phone)
);
-- Every change of an opt-out list: added or removed, when and by what.
IF OBJECT_ID(N'dbo.OptOutLog', N'U') IS NULL
CREATE TABLE dbo.OptOutLog (
    ID     INT IDENTITY(1, 1) PRIMARY KEY,
    Login  NVARCHAR(50)  NOT NULL,
    Phone  NVARCHAR(40)  NOT NULL,
    Kind   NVARCHAR(10)  NOT NULL,
    Source NVARCHAR(100) NOT NULL,
    At     BIGINT       NOT NULL
);
-- Numbers claimed per account, phone and local day (yyyymmdd), for the daily cap.
IF OBJECT_ID(N'dbo.DailyCount', N'U') IS NULL
CREATE TABLE dbo.DailyCount (
    Login NVARCHAR(50) NOT NULL,
    LocalDay INT         NOT NULL,
    Phone NVARCHAR(40) NOT NULL,
    Sent  INT         NOT NULL,
    PRIMARY KEY (Login, LocalDay, Phone)
);
-- step 8: each queue server's last claim and report, and Kannel's reach, for telvoro-admin status
-- Written by the worker every few seconds; times in milliseconds since the epoch, 0 for never.
IF OBJECT_ID(N'dbo.SendWorker', N'U') IS NULL
CREATE TABLE dbo.SendWorker (
    Worker      NVARCHAR(100) NOT NULL PRIMARY KEY,
    StartedAt   BIGINT        NOT NULL,
    SeenAt      BIGINT        NOT NULL,
    LastClaim   BIGINT        NOT NULL DEFAULT 0,
    LastReport  BIGINT        NOT NULL DEFAULT 0,
    KannelUp    INT           NOT NULL DEFAULT 1,
    KannelSince BIGINT        NOT NULL DEFAULT 0
);
