#include "ui/OperatorTexts.h"

#include "files/DataSource.h"
#include "files/Settings.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"

#include <QDir>
#include <QRegularExpression>
#include <filesystem>
#include <utility>

namespace telvoro::ui {

namespace {

namespace fs = std::filesystem;

struct Phrase {
    const char* pattern; // a regular expression over the English text
    const char* chinese; // with \\1, \\2 for what the pattern captured
};

// Longest and most specific first: the operations of the gateway ("WHAT:
// CAUSE"), then the causes, then the system's and the engines' own words.
constexpr Phrase kPhrases[] = {
    {R"(^cannot connect to (.*?): )", "无法连接数据库 \\1："},
    {R"(^cannot open (.*?): )", "无法打开数据库“\\1”："},
    {R"(^credit query: )", "查询余额时出错："},
    // A statement the engine refused before it ran names itself by its SQL.
    {R"((?i)^(?:select|insert|update|delete|pragma)\b[^:]*: )", "执行数据库语句时出错："},
    {R"(^append to SendTemp: )", "写入发送队列时出错："},
    {R"(^credit deduction: )", "扣除余额时出错："},
    {R"(^begin transaction: )", "开始事务时出错："},
    {R"(^commit: )", "提交时出错："},
    {R"(^rollback: )", "撤销时出错："},
    {R"(^look up row (\d+) of SendTemp: )", "查找发送队列第 \\1 行时出错："},
    {R"(no answer from the server within (\d+) s\b)", "服务器在 \\1 秒内没有应答"},
    {R"(no answer from the server within (\d+) ms\b)", "服务器在 \\1 毫秒内没有应答"},
    {R"(not connected to the (?:SMS )?server)", "没有连接服务器"},
    {R"(the connection to the server was lost)", "与服务器的连接已经断开"},
    {R"(the server gave no row ID)", "服务器没有给出行号"},
    {R"(the session that sent its commit still runs)", "提交它的会话仍在运行"},
    {R"(the credit no longer covers the batch)", "余额已经不够支付这一批"},
    {R"(^no connection was opened$)", "没有打开连接"},
    {R"(the database driver (\S+) is not installed)", "没有安装数据库驱动 \\1"},
    {R"(invalid PostgreSQL port in data source: (.*))",
     "SMSServer.ini 中 PostgreSQL 的端口无效：\\1"},
    {R"(no PostgreSQL host in data source: (.*))", "SMSServer.ini 中没有 PostgreSQL 的主机：\\1"},
    {R"(invalid SQL Server port in data source: (.*))",
     "SMSServer.ini 中 SQL Server 的端口无效：\\1"},
    {R"(SendTemp has no column (\S+))", "发送队列表 SendTemp 没有 \\1 列"},
    {R"(a transaction is already open)", "已经有一个事务在进行"},
    {R"(: no result$)", "：没有结果"},
    {R"(text is not valid GBK)", "文字不是有效的 GBK 编码"},
    {R"(the character “(.*)” \(U\+([0-9A-F]+)\) has no GBK form)",
     "字符“\\1”（U+\\2）没有 GBK 编码，不能发送"},
    {R"(text has a character with no GBK form)", "文字中有没有 GBK 编码的字符"},
    {R"(GBK (?:de|en)coder unavailable)", "GBK 编码转换不可用"},
    {R"('(.*)' is not a valid integer value)", "“\\1”不是有效的整数"},
    {R"(Error: not a Hex String)", "不是十六进制文本"},
    {R"(^no per-user program folder: .*)",
     "找不到用户的程序文件夹：XDG_DATA_HOME 和 HOME 都不是绝对路径；请用 --program-folder "
     "指定一个文件夹"},
    {R"(unknown database error)", "未知的数据库错误"},
    {R"(unknown failure)", "未知错误"},
    // The engines' own first lines that an operator meets most.
    {R"(database is locked)", "数据库被锁定（另一个程序正在写入）"},
    {R"(database or disk is full)", "数据库或磁盘已满"},
    {R"(unable to open database file)", "无法打开数据库文件"},
    {R"(file is not a database)", "文件不是数据库"},
    {R"(database disk image is malformed)", "数据库文件已损坏（磁盘映像格式错误）"},
    {R"(file is encrypted or is not a database)", "文件已加密或不是数据库"},
    {R"(attempt to write a readonly database)", "数据库是只读的，不能写入"},
    {R"(database table is locked)", "数据库的表被锁定（另一个程序正在使用）"},
    {R"(disk I/O error)", "磁盘读写错误"},
    {R"(server closed the connection unexpectedly)", "服务器意外关闭了连接"},
    {R"re(password authentication failed for user "?(\w+)"?)re", "用户 \\1 的密码验证失败"},
    {R"re(database "?(\w+)"? does not exist)re", "数据库 \\1 不存在"},
    {R"re(could not translate host name "?([^" ]+)"? to address.*)re", "无法解析主机名 \\1"},
    {R"re(connection to server at "([^"]*)"(?: \([^)]*\))?, port (\d+) failed: )re",
     "连接服务器 \\1 的端口 \\2 失败："},
    {R"(could not connect to server: )", "无法连接服务器："},
    {R"(Unable to connect to data source)", "无法连接数据源"},
    {R"(Unknown host machine name)", "未知的主机名"},
    {R"re(Login failed for user '?(\w+)'?\.?)re", "用户 \\1 登录失败"},
    {R"(Data source name not found and no default driver specified)",
     "找不到数据源名称，也没有指定默认驱动"},
    {R"(Connection refused)", "连接被拒绝"},
    {R"(Connection timed out|timeout expired)", "连接超时"},
    {R"(No route to host)", "没有到主机的路由"},
    {R"(Network is unreachable)", "网络不可达"},
    // The system's reasons (strerror) where the locale gives them in English.
    {R"(No such file or directory)", "没有那个文件或目录"},
    {R"(Permission denied)", "权限不够"},
    {R"(Is a directory)", "是一个目录"},
    {R"(Not a directory)", "不是目录"},
    {R"(No space left on device)", "设备上没有空间"},
    {R"(Read-only file system)", "只读文件系统"},
    {R"(Disk quota exceeded)", "超出磁盘限额"},
    {R"(Input/output error)", "输入/输出错误"},
    {R"(File too large)", "文件太大"},
    {R"(Too many open files)", "打开的文件太多"},
    {R"(Operation not permitted)", "不允许的操作"},
    {R"(Device or resource busy)", "设备或资源忙"},
    {R"(Resource temporarily unavailable)", "资源暂时不可用"},
};

const std::vector<std::pair<QRegularExpression, QString>>& Phrases() {
    static const auto phrases = [] {
        std::vector<std::pair<QRegularExpression, QString>> list;
        for (const Phrase& p : kPhrases)
            list.emplace_back(QRegularExpression(QString::fromUtf8(p.pattern)),
                              QString::fromUtf8(p.chinese));
        return list;
    }();
    return phrases;
}

QString Path(const fs::path& path) {
    return QDir::toNativeSeparators(ToQString(path));
}

// The admin tool's database option for commands run in the program folder:
// none for the embedded database, which is its default there.
QString DatabaseOption(const QString& line) {
    return line.isEmpty() ? QString() : QStringLiteral(" --db \"%1\"").arg(line);
}

} // namespace

QString AccountFileState(const ProgramFolder& folder) {
    const fs::path file = folder.SettingsFile();
    std::error_code ec;
    if (!fs::exists(file, ec))
        return QStringLiteral("程序文件夹中没有帐户文件 GSMConfig.ini，所以没有发送短信卡号。");
    try {
        if (!LoadAccountNumber(file).empty()) return {};
        return QStringLiteral("帐户文件 GSMConfig.ini 中没有帐号。");
    } catch (const std::exception& e) {
        return QStringLiteral("帐户文件 GSMConfig.ini 无法读取：") + OperatorText(e.what());
    }
}

QString OperatorText(std::string_view what) {
    return OperatorText(QString::fromUtf8(what.data(), static_cast<qsizetype>(what.size())));
}

QString OperatorText(const QString& what) {
    QString text = what;
    for (const auto& [pattern, chinese] : Phrases())
        text.replace(pattern, chinese);
    return text;
}

QString AccountFileProblem(const ProgramFolder& folder) {
    const QString state = AccountFileState(folder);
    if (state.isEmpty()) return {};
    return state +
           QStringLiteral("\n请管理员生成帐户文件：\ntelvoro-admin config 帐号 --out \"%1\"")
               .arg(Path(folder.SettingsFile()));
}

namespace {

// The causes whose remedy is not the set-up of a new installation.
enum class DatabaseState { Locked, Damaged, Other };

DatabaseState StateIn(const QString& text) {
    for (const char* locked : {"database is locked", "database table is locked"})
        if (text.contains(QLatin1String(locked))) return DatabaseState::Locked;
    for (const char* damaged : {"database disk image is malformed", "file is not a database",
                                "file is encrypted or is not a database"})
        if (text.contains(QLatin1String(damaged))) return DatabaseState::Damaged;
    return DatabaseState::Other;
}

QString Text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

} // namespace

QString ConnectFailureSummary(std::string_view cause) {
    const QString text = Text(cause);
    switch (StateIn(text)) {
    case DatabaseState::Locked:
        return QStringLiteral("数据库被锁定");
    case DatabaseState::Damaged:
        return QStringLiteral("数据库文件已损坏");
    case DatabaseState::Other:
        break;
    }
    if (text.contains(QStringLiteral("无法打开数据库")) &&
        (text.contains(QStringLiteral("没有那个文件")) ||
         text.contains(QLatin1String("No such file"))))
        return QStringLiteral("找不到数据库文件");
    if (text.contains(QLatin1String("no answer from the server")) ||
        text.contains(QLatin1String("Connection refused")) ||
        text.contains(QLatin1String("Unable to connect to data source")) ||
        text.contains(QLatin1String("could not translate host name")) ||
        text.contains(QLatin1String("timeout expired")) ||
        text.contains(QLatin1String("No route to host")) ||
        text.contains(QLatin1String("Network is unreachable")))
        return QStringLiteral("连不上数据库");
    if (text.contains(QLatin1String("data source"))) return QStringLiteral("数据库设置有误");
    return QStringLiteral("数据库连接出错");
}

QString NotRegisteredHelp(const ProgramFolder& folder, const QString& serverLine,
                          const QString& account) {
    const QString problem = AccountFileProblem(folder);
    if (!problem.isEmpty()) return problem;
    return QStringLiteral("数据库中没有帐号 %1。请管理员在程序文件夹“%2”中开通：\n"
                          "telvoro-admin%3 account %1 条数")
        .arg(account, Path(folder.Path()), DatabaseOption(serverLine));
}

QString SetupSteps(const ProgramFolder& folder, const QString& serverLine) {
    const QString db = DatabaseOption(serverLine);
    QString steps = QStringLiteral("新安装的设置步骤（管理员在终端中运行）：\n"
                                   "1. 进入程序文件夹：cd \"%1\"\n"
                                   "2. 建立数据库的表：telvoro-admin%2 init\n"
                                   "3. 开通帐号并设定余额：telvoro-admin%2 account 帐号 条数\n"
                                   "4. 生成帐户文件：telvoro-admin config 帐号 --out GSMConfig.ini")
                        .arg(Path(folder.Path()), db);
    if (db.isEmpty())
        steps += QStringLiteral("\n数据库不在本机时，先在程序文件夹中放一个 SMSServer.ini，第一行写"
                                "数据库的位置（例如 postgresql://服务器:5432），第 2、3 步加上 "
                                "--db \"同一行\"。");
    return steps;
}

QString ConnectFailureHelp(const ProgramFolder& folder, const QString& line,
                           std::string_view cause) {
    const QString where =
        line.isEmpty() ? QStringLiteral("程序文件夹中没有 SMSServer.ini，使用内置数据库 %1。")
                             .arg(Path(folder.EmbeddedDatabase()))
                       : QStringLiteral("SMSServer.ini 指定的数据库：%1").arg(line);
    QString help = QStringLiteral("连接服务器失败的原因：%1\n\n%2\n程序文件夹：%3\n")
                       .arg(OperatorText(cause), where, Path(folder.Path()));
    const QString account = AccountFileState(folder);
    if (!account.isEmpty()) help += account + u'\n';
    // The database is there: the steps of a new installation would not help,
    // and "init" beside a damaged file would only mislead.
    const QString database =
        line.isEmpty() ? Path(folder.EmbeddedDatabase()) : QStringLiteral("“%1”").arg(line);
    switch (StateIn(Text(cause))) {
    case DatabaseState::Locked:
        return help +
               QStringLiteral("\n数据库 %1 正被另一个程序使用（例如 telvoro-admin，或在另一个"
                              "程序文件夹中运行的本程序）。请关闭那个程序或等它结束，然后"
                              "再按“连接服务器”。")
                   .arg(database);
    case DatabaseState::Damaged:
        return help + QStringLiteral("\n数据库文件 %1 已损坏，或者不是数据库。请关闭本程序，把这个"
                                     "文件移走，再把它的备份副本复制回原处，然后重新启动程序。")
                          .arg(database);
    case DatabaseState::Other:
        break;
    }
    return help + u'\n' + SetupSteps(folder, line);
}

QString PartialJobText(const SendReport& report) {
    QString text = QStringLiteral("共 %1 个号码，已提交 %2 个，其余未提交。")
                       .arg(report.selection.size())
                       .arg(report.Count(BatchState::Queued));
    if (const std::size_t unknown = report.Count(BatchState::Unknown); unknown > 0)
        text += QStringLiteral("另有 %1 个是否已提交无法确定。").arg(unknown);
    if (!report.cause.empty()) text += QStringLiteral("\n原因：") + OperatorText(report.cause);
    return text;
}

} // namespace telvoro::ui
