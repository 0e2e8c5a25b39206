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
