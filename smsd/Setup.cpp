#include "smsd/Setup.h"

#include "core/Error.h"
#include "core/FileIO.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace telvoro::smsd {

namespace fs = std::filesystem;

namespace {

std::string UserName(uid_t uid) {
    if (const passwd* pw = ::getpwuid(uid)) return pw->pw_name;
    return "uid " + std::to_string(uid);
}

} // namespace

void CheckEmbeddedDatabase(const DataSource& source) {
    if (source.engine != Engine::Sqlite) return;
    const fs::path file = fs::absolute(source.sqliteFile);
    const fs::path folder = file.parent_path();
    const std::string me = UserName(::geteuid());
    const std::string init =
        "create it with 'telvoro-admin --db sqlite:" + PathText(file) + " init' run as " + me;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Error("the folder " + PathText(folder) + " of the database does not exist: " +
                    "make it (owner " + me + "), then " + init);
    if (::stat(file.c_str(), &st) != 0)
        throw Error("the database " + PathText(file) + " does not exist: " + init);
    if (!S_ISREG(st.st_mode)) throw Error("the database " + PathText(file) + " is not a file");
    // SQLite needs the file and, for its write-ahead log, the folder.
    for (const fs::path& p : {file, folder}) {
        const bool isFolder = p == folder;
        if (::access(p.c_str(), isFolder ? (W_OK | X_OK) : (R_OK | W_OK)) == 0) continue;
        struct stat owned {};
        ::stat(p.c_str(), &owned);
        throw Error(std::string(isFolder ? "the database's folder " : "the database ") +
                    PathText(p) + " belongs to " + UserName(owned.st_uid) +
                    " and cannot be written by " + me + ", which runs telvoro-smsd" +
                    (isFolder ? " (SQLite writes its log there)" : "") + ": give it to " + me +
                    " with 'chown " + me + ": " + PathText(p) + "'");
    }
}

} // namespace telvoro::smsd
