#pragma once
// What telvoro-smsd learns from Kannel beside sendsms: its configuration file
// (the admin interface, how long smsbox retries a delivery report, how many
// parts it sends of one text) and its admin interface (whether bearerbox and
// smsbox restarted, which messages bearerbox still holds in its store).

#include "queue/QueueStore.h"

#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>

namespace telvoro::smsd {

struct KannelConfig {
    QUrl admin; // http://HOST:PORT of bearerbox's admin interface; empty when none
    QString adminPassword;
    // smsbox's http-request-retry and http-queue-delay (seconds).
    int reportRetries = 0, reportDelay = 0;
    // The sendsms-user's max-messages: parts of one text, at most.
    int maxMessages = 1;
    std::chrono::milliseconds ReportWindow() const {
        return std::chrono::seconds(static_cast<qint64>(reportRetries) * reportDelay);
    }
};

// Reads Kannel's kannel.conf for the sendsms-user `user`; throws Error when it
// cannot be read.
KannelConfig ReadKannelConfig(const QString& path, const QString& user);

// How long after its restart a worker waits for the delivery reports of the
// numbers it was submitting when it died: smsbox tries a report again every
// http-queue-delay, and a message on its way into bearerbox's store is there
// within moments.
std::chrono::milliseconds CheckGrace(const KannelConfig& config);

// The parts of an SMS Kannel makes of `text` (GSM-7 or UCS-2, concatenated).
int PartsOf(const QString& text);

// Parsers of the admin interface's pages, for the tests too: the seconds
// bearerbox has run and the shortest time any smsbox has been connected
// (status.xml); the receivers and times of the messages in the store
// (store-status.xml, times in Kannel's local time).
struct KannelStatus {
    qint64 bearerboxUp = 0, smsboxUp = -1; // seconds; -1: no smsbox connected
};
std::optional<KannelStatus> ParseStatusXml(const QByteArray& xml);
std::multimap<QString, qint64> ParseStoreXml(const QByteArray& xml);

class KannelWatch {
public:
    explicit KannelWatch(KannelConfig config) : config_(std::move(config)) {}
    // Asks the admin interface now; nothing when it does not answer (or when
    // no smsbox is connected: reports cannot come). The store's list only
    // `withStore`.
    std::optional<queue::KannelFacts> Facts(std::chrono::milliseconds timeout,
                                            bool withStore = true);

private:
    KannelConfig config_;
    // Bounds on when the boxes last (re)started, on this host's clock: an
    // uptime read to the second puts the start within a second, and each
    // look at the same run narrows it. A restart moves past them: anew.
    qint64 startLow_ = 0, startHigh_ = 0;
};

} // namespace telvoro::smsd
