-- The SMS server's tables as the client uses them, for the embedded SQLite database.
CREATE TABLE IF NOT EXISTS Users (
    Login   VARCHAR(50) NOT NULL,
    CurrSum INTEGER     NOT NULL DEFAULT 0 CHECK (CurrSum >= 0)
);
CREATE TABLE IF NOT EXISTS SendTemp (
    ID         INTEGER PRIMARY KEY AUTOINCREMENT,
    SendNo     VARCHAR(50),
    SendMemo   TEXT,
    list       VARCHAR(2000),
    state      VARCHAR(10),
    CreateTime TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP
);
-- One row per login: the credit of a login is never split over two rows.
CREATE UNIQUE INDEX IF NOT EXISTS UQ_Users_Login ON Users (Login);
-- The queue server's own tables: each number of a row by its position, and
-- which worker holds a row. SendTemp keeps its columns; its state goes
-- "0" (new) -> "1" (claimed) -> "2" (handed to Kannel) -> "3" (settled).
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
-- A delivery report names its number by row, round and phone. No index holds
-- a status: a number's status changes three or four times, and each change
-- would write every index that holds it. What is left of a row is found among
-- its own numbers (by the primary key), the sweeper's numbers among the rows
-- still open.
CREATE INDEX IF NOT EXISTS SendDetail_Number ON SendDetail (SendTempID, Round, Phone);
DROP INDEX IF EXISTS SendDetail_Status;
DROP INDEX IF EXISTS SendDetail_Row;
CREATE TABLE IF NOT EXISTS SendClaim (
    SendTempID INTEGER      NOT NULL PRIMARY KEY,
    Worker     VARCHAR(100) NOT NULL,
    LeaseUntil BIGINT       NOT NULL,
    Secret     VARCHAR(64)  NOT NULL,
    ClaimedAt  BIGINT       NOT NULL
);
-- The oldest row in a state, and one row's state: (state) alone was given up.
CREATE INDEX IF NOT EXISTS SendTemp_state_ID ON SendTemp (state, ID);
DROP INDEX IF EXISTS SendTemp_state;
