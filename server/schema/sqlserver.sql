-- The SMS server's tables as the client uses them, for Microsoft SQL Server (database Orvanta).
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
-- One row per login: the credit of a login is never split over two rows.
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'UQ_Users_Login' AND object_id = OBJECT_ID(N'dbo.Users'))
CREATE UNIQUE INDEX UQ_Users_Login ON dbo.Users (Login);
-- The queue server's own tables: each number of a row by its position, and
-- which worker holds a row. SendTemp keeps its columns; its state goes
-- "0" (new) -> "1" (claimed) -> "2" (handed to Kannel) -> "3" (settled).
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
-- A delivery report names its number by row, round and phone. No index holds
-- a status: a number's status changes three or four times, and each change
-- would write every index that holds it. What is left of a row is found among
-- its own numbers (by the primary key), the sweeper's numbers among the rows
-- still open.
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Number')
CREATE INDEX SendDetail_Number ON dbo.SendDetail (SendTempID, Round, Phone);
IF EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Status' AND object_id = OBJECT_ID(N'dbo.SendDetail'))
DROP INDEX SendDetail_Status ON dbo.SendDetail;
IF EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendDetail_Row' AND object_id = OBJECT_ID(N'dbo.SendDetail'))
DROP INDEX SendDetail_Row ON dbo.SendDetail;
IF OBJECT_ID(N'dbo.SendClaim', N'U') IS NULL
CREATE TABLE dbo.SendClaim (
    SendTempID INT           NOT NULL PRIMARY KEY,
    Worker     NVARCHAR(100) NOT NULL,
    LeaseUntil BIGINT        NOT NULL,
    Secret     NVARCHAR(64)  NOT NULL,
    ClaimedAt  BIGINT        NOT NULL
);
-- The oldest row in a state, and one row's state: (state) alone was given up.
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendTemp_state_ID')
CREATE INDEX SendTemp_state_ID ON dbo.SendTemp (state, ID);
IF EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'SendTemp_state')
DROP INDEX SendTemp_state ON dbo.SendTemp;
