#pragma once
// Where the SMS server's database is. The program folder's "SMSServer.ini"
// names it on its first line; the admin tool takes the same text on its
// command line:
//   empty or no file        the embedded "Orvanta.db" in the program folder
//   sqlite:PATH             that SQLite file (relative to the program folder)
//   postgresql://HOST[:PORT]
//   odbc:CONNECTION-STRING  any ODBC data source, driven as SQL Server is (for
//                           other drivers and tests of the ODBC path)
//   anything else           SQL Server's Data Source, HOST[\INSTANCE][,PORT]

#include "files/ProgramFolder.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace telvoro {

enum class Engine { Sqlite, PostgreSql, SqlServer };

struct DataSource {
    Engine engine = Engine::Sqlite;
    std::filesystem::path sqliteFile;
    std::string host;     // PostgreSQL or SQL Server host (UTF-8)
    std::string instance; // SQL Server named instance
    int port = 0;         // 0: the engine's default
    std::string odbc;     // an explicit ODBC connection string
    std::string text;     // the data source as written, trimmed (UTF-8)
};

// Parses a data source text (UTF-8); relative SQLite paths count from `folder`.
// Throws Error for a port that is not 1 to 65535 or a PostgreSQL form without host.
DataSource ParseDataSource(std::string_view utf8, const ProgramFolder& folder);

// The first line of the folder's "SMSServer.ini", trimmed, as GBK bytes; empty
// when there is no such file. Throws Error when it exists but cannot be read.
std::string ReadServerSetting(const ProgramFolder& folder);

} // namespace telvoro
