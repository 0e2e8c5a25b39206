#include "smsd/Inbound.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace telvoro::smsd {

QString KannelServiceBlock(const QUrl& mo, const QString& secret) {
    // Kannel fills in %I (its own ID of the message: the same when it calls
    // again), %p (the sender), %P (the number it was sent to), %i (the SMSC),
    // %c (the coding) and %b (the text's bytes). Written out by hand: QUrl
    // would escape the "%" of Kannel's codes.
    const QString url = mo.toString(QUrl::FullyEncoded | QUrl::RemoveQuery) +
                        QStringLiteral("?k=") +
                        QString::fromLatin1(QUrl::toPercentEncoding(secret)) +
                        QStringLiteral("&id=%I&from=%p&to=%P&smsc=%i&coding=%c&text=%b");
    return QStringLiteral(
               "# Inbound messages to telvoro-smsd (its /mo). In group = core, keep\n"
               "# sms-combine-concatenated-mo = true (Kannel's default): the parts of a long\n"
               "# message come as one. In group = smsbox, leave global-sender unset: it would\n"
               "# replace the number a message was sent to, which names its account.\n"
               "group = sms-service\n"
               "keyword = default\n"
               "catch-all = true\n"
               "get-url = \"%1\"\n"
               "max-messages = 0\n")
        .arg(url);
}

namespace {

QByteArray Raw(const QUrlQuery& query, const char* key) {
    // Kannel writes the bytes percent-encoded; '+' would be an encoded space.
    QByteArray v = query.queryItemValue(QString::fromLatin1(key), QUrl::FullyEncoded).toLatin1();
    v.replace('+', ' ');
    return QByteArray::fromPercentEncoding(v);
}

} // namespace

std::optional<queue::InboundMessage> ParseInbound(const QUrlQuery& query) {
    queue::InboundMessage m;
    m.messageId = QString::fromUtf8(Raw(query, "id")).trimmed();
    m.sender = QString::fromUtf8(Raw(query, "from")).trimmed();
    m.receiver = QString::fromUtf8(Raw(query, "to")).trimmed();
    m.smscId = QString::fromUtf8(Raw(query, "smsc")).trimmed();
    if (m.messageId.isEmpty() || m.messageId.size() > 64 || m.sender.isEmpty() ||
        m.receiver.isEmpty() || !query.hasQueryItem(QStringLiteral("text")))
        return std::nullopt;
    const QByteArray bytes = Raw(query, "text");
    // Coding 2 is UCS-2 as the SMSC gave it; otherwise Kannel's own text,
    // UTF-8 (Latin-1 when it is not valid UTF-8).
    if (Raw(query, "coding").trimmed() == "2") {
        for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
            m.text += QChar(char16_t((uchar(bytes[i]) << 8) | uchar(bytes[i + 1])));
    } else {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        m.text = utf8.decode(bytes);
        if (utf8.hasError()) m.text = QString::fromLatin1(bytes);
    }
    return m;
}

bool SecretMatches(const QString& given, const QString& secret) {
    if (secret.isEmpty()) return false;
    const QByteArray a = given.toUtf8(), b = secret.toUtf8();
    unsigned diff = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < b.size(); ++i)
        diff |= unsigned(uchar(i < a.size() ? a[i] : 0) ^ uchar(b[i]));
    return diff == 0;
}

void InboundQueue::Push(PendingInbound item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
}

std::vector<PendingInbound> InboundQueue::TakeAll() {
    std::lock_guard lock(mutex_);
    std::vector<PendingInbound> all(std::make_move_iterator(items_.begin()),
                                    std::make_move_iterator(items_.end()));
    items_.clear();
    return all;
}

void InboundQueue::Return(std::vector<PendingInbound> items) {
    std::lock_guard lock(mutex_);
    items_.insert(items_.begin(), std::make_move_iterator(items.begin()),
                  std::make_move_iterator(items.end()));
}

std::size_t InboundQueue::Size() {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::optional<SendWindow> SendWindow::Parse(const QString& text) {
    static const QRegularExpression re(
        QStringLiteral("^([01]\\d|2[0-3]):([0-5]\\d)-([01]\\d|2[0-4]):([0-5]\\d)$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch()) return std::nullopt;
    SendWindow w;
    w.from = m.captured(1).toInt() * 60 + m.captured(2).toInt();
    w.to = m.captured(3).toInt() * 60 + m.captured(4).toInt();
    if (w.to > 24 * 60 || w.from == w.to) return std::nullopt;
    return w;
}

bool SendWindow::Contains(const QDateTime& local) const {
    const int t = local.time().hour() * 60 + local.time().minute();
    return from < to ? t >= from && t < to : t >= from || t < to;
}

QDateTime SendWindow::NextOpening(const QDateTime& local) const {
    QDateTime open(local.date(), QTime(from / 60, from % 60), local.timeZone());
    if (open <= local) open = open.addDays(1);
    return open;
}

QString SendWindow::Text() const {
    return QStringLiteral("%1:%2-%3:%4")
        .arg(from / 60, 2, 10, QLatin1Char('0'))
        .arg(from % 60, 2, 10, QLatin1Char('0'))
        .arg(to / 60, 2, 10, QLatin1Char('0'))
        .arg(to % 60, 2, 10, QLatin1Char('0'));
}

} // namespace telvoro::smsd
