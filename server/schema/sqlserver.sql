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
