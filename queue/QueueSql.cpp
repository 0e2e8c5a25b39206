#include "queue/QueueSql.h"

#include "core/Error.h"
#include "queue/States.h"

#include <QRegularExpression>
#include <QStringList>
#include <span>

namespace telvoro::queue {

namespace {

QString Literal(Dialect dialect, const char* text) {
    // SQL Server compares an NVARCHAR column with an NVARCHAR literal
    // without converting the column.
    return QString::fromLatin1(dialect == Dialect::SqlServer ? "N'%1'" : "'%1'")
        .arg(QLatin1String(text));
}

QString List(Dialect dialect, std::span<const NumberStatus> statuses) {
    QStringList items;
    for (NumberStatus s : statuses)
        items << Literal(dialect, SqlText(s));
    return QLatin1Char('(') + items.join(QLatin1Char(',')) + QLatin1Char(')');
}

QString Token(Dialect dialect, QStringView name) {
    static const std::pair<const char*, RowState> states[] = {{"New", RowState::New},
                                                              {"Claimed", RowState::Claimed},
                                                              {"Handed", RowState::Handed},
                                                              {"Settled", RowState::Settled}};
    for (const auto& [token, state] : states)
        if (name == QLatin1String(token)) return Literal(dialect, SqlText(state));
    static const std::pair<const char*, std::span<const NumberStatus>> lists[] = {
        {"Open", kOpen},
        {"NotHanded", kNotHanded},
        {"RefundableOrUnknown", kRefundableOrUnknown},
        {"OnTheWay", kOnTheWay},
        {"AwaitingReport", kAwaitingReport},
        {"Reported", kReported},
        {"Refundable", kRefundable},
        {"HeldBack", kHeldBack}};
    for (const auto& [token, members] : lists)
        if (name == QLatin1String(token)) return List(dialect, members);
    // A status by its enum name: {Waiting} is "waiting", {OptedOut} "opted-out".
    for (int i = 0; i <= static_cast<int>(NumberStatus::Checking); ++i) {
        const auto status = static_cast<NumberStatus>(i);
        QString plain = QString::fromLatin1(SqlText(status));
        plain.remove(QLatin1Char('-'));
        if (name.compare(plain, Qt::CaseInsensitive) == 0) return Literal(dialect, SqlText(status));
    }
    throw Error("the queue's statements name an unknown token {" + name.toString().toStdString() +
                "}");
}

} // namespace

QString ResolveTokens(Dialect dialect, const char* text) {
    static const QRegularExpression token(QStringLiteral("\\{([A-Za-z]+)\\}"));
    const QString sql = QString::fromUtf8(text);
    QString out;
    qsizetype from = 0;
    for (auto it = token.globalMatch(sql); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += sql.mid(from, m.capturedStart() - from) + Token(dialect, m.capturedView(1));
        from = m.capturedEnd();
    }
    return out + sql.mid(from);
}

std::vector<std::pair<const char*, const QString*>> QueueSql::All() const {
    std::vector<std::pair<const char*, const QString*>> all;
#define TELVORO_QUEUE_ENTRY(name) all.emplace_back(#name, &name);
    TELVORO_QUEUE_STATEMENTS(TELVORO_QUEUE_ENTRY)
#undef TELVORO_QUEUE_ENTRY
    return all;
}

const QueueSql& QueueSqlFor(Dialect dialect) {
    static const QueueSql sqlite = SqliteQueueSql();
    static const QueueSql postgres = PostgresQueueSql();
    static const QueueSql sqlServer = SqlServerQueueSql();
    return ForDialect(dialect, sqlite, postgres, sqlServer);
}

} // namespace telvoro::queue
