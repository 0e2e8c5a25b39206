#include "files/DataSource.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/TextRules.h"

#include <system_error>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

// A TCP port: decimal digits only, 1 to 65535; 0 when it is not one.
int ParsePort(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) return 0;
    int port = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

// The data source as an error shows it: a user name and password written
// before the host ("user:password@host") are never shown, and a long text is
// cut (at a character's start), so the error stays one short line.
std::string Shown(std::string_view text) {
    const std::size_t scheme = text.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t at = text.rfind('@');
    std::string shown =
        at == std::string_view::npos || at < start
            ? std::string(text)
            : std::string(text.substr(0, start)) + "***" + std::string(text.substr(at));
    constexpr std::size_t kShownMax = 200;
    if (shown.size() > kShownMax) {
        std::size_t cut = kShownMax;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80)
            --cut;
        shown.resize(cut);
        shown += "...";
    }
    return shown;
}

} // namespace

DataSource ParseDataSource(std::string_view utf8, const ProgramFolder& folder) {
    DataSource source;
    const std::string_view text = TrimBlanks(utf8);
    source.text = std::string(text);
    if (text.empty()) {
        source.sqliteFile = folder.EmbeddedDatabase();
        return source;
    }
    if (StartsWithNoCase(text, "sqlite:")) {
        const std::string_view name = text.substr(7);
        source.sqliteFile = folder.Resolve(fs::path(std::u8string(name.begin(), name.end())));
        return source;
    }
    if (StartsWithNoCase(text, "postgresql://")) {
        source.engine = Engine::PostgreSql;
        std::string_view hostPort = text.substr(13);
        // The database is always Orvanta: a path after the host is ignored.
        if (const std::size_t slash = hostPort.find('/'); slash != std::string_view::npos)
            hostPort = hostPort.substr(0, slash);
        // The client always logs in as its fixed user: a USER:PASSWORD@ before
        // the host is dropped, so it never reaches the driver or its errors.
        if (const std::size_t at = hostPort.rfind('@'); at != std::string_view::npos)
            hostPort = hostPort.substr(at + 1);
        std::string_view host = hostPort;
        const std::size_t colon = hostPort.rfind(':');
        if (colon != std::string_view::npos && colon > 0 && hostPort.back() != ']') {
            source.port = ParsePort(hostPort.substr(colon + 1));
            if (source.port == 0)
                throw Error("invalid PostgreSQL port in data source: " + Shown(source.text));
            host = hostPort.substr(0, colon);
        }
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (host.empty()) throw Error("no PostgreSQL host in data source: " + Shown(source.text));
        source.host = std::string(host);
        return source;
    }
    source.engine = Engine::SqlServer;
    if (StartsWithNoCase(text, "odbc:")) {
        source.odbc = std::string(text.substr(5));
        return source;
    }
    // SQL Server's own form: HOST[\INSTANCE][,PORT]
    std::string_view rest = text;
    if (const std::size_t comma = rest.find(','); comma != std::string_view::npos) {
        source.port = ParsePort(TrimBlanks(rest.substr(comma + 1)));
        if (source.port == 0)
            throw Error("invalid SQL Server port in data source: " + Shown(source.text));
        rest = rest.substr(0, comma);
    }
    if (const std::size_t slash = rest.find('\\'); slash != std::string_view::npos) {
        source.instance = std::string(TrimBlanks(rest.substr(slash + 1)));
        rest = rest.substr(0, slash);
    }
    source.host = std::string(TrimBlanks(rest));
    if (source.host.empty() || source.host == ".") source.host = "localhost";
    return source;
}

std::string ReadServerSetting(const ProgramFolder& folder) {
    const fs::path ini = folder.ServerFile();
    std::error_code ec;
    if (!fs::exists(ini, ec)) return {};
    // Only the first line counts: a file of any size is read no further.
    const std::vector<std::string> lines = SplitLines(ReadFirstLine(ini));
    return lines.empty() ? std::string() : std::string(Trim(lines.front()));
}

} // namespace telvoro
