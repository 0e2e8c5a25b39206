#pragma once
// Kannel's HTTP sendsms interface, one request per round of a row: all its
// numbers in `to`, the correlation in the dlr-url. A plain HTTP/1.0 exchange on
// a socket of its own, blocking its thread: no library may ever send a request
// a second time on its own, and whether the request can have left is known.

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <atomic>
#include <chrono>

namespace telvoro::smsd {

// Whether every character has a form in the GSM 03.38 default alphabet or its
// extension table: such a text goes as GSM-7, any other as UCS-2.
bool FitsGsm7(const QString& text);

struct KannelSettings {
    QUrl sendsms; // http://HOST:13013/cgi-bin/sendsms
    QString user, password, sender;
    QUrl reportBase; // where the report endpoint listens: http://HOST:PORT/dlr
    std::chrono::milliseconds timeout{30000};
};

enum class Outcome {
    Accepted,  // Kannel took every number (but `failed`, to be tried again)
    Refused,   // this request will never be taken: a field refused, one number not routable
    TryLater,  // nothing was taken: no connection, a wrong password, one number's 503
    Uncertain, // some may have been taken: no answer, a broken answer, a refusal of several
};

struct Answer {
    Outcome outcome = Outcome::Uncertain;
    int httpStatus = 0;
    QString text;         // Kannel's body, or the network error
    QStringList failed;   // numbers Kannel names as not taken
    bool stopped = false; // sent, and a stop came before Kannel's answer
};

// The request's URL (password included: never log it). `from`: the
// account's own sender number, else the settings' sender.
QUrl SendsmsUrl(const KannelSettings& settings, qint64 id, int round, const QString& secret,
                const QStringList& to, const QString& text, const QString& from = {});

// What Kannel's answer to a request of `numbers` numbers means for them.
Answer Classify(int httpStatus, const QString& body, int numbers, bool connected, bool timedOut,
                const QString& networkError);

class KannelClient {
public:
    // Once `stop` is set, a request in flight waits for Kannel's answer
    // kStopGrace at most: a stop never waits out the timeout of a Kannel that
    // hangs (Answer::stopped).
    static constexpr std::chrono::milliseconds kStopGrace{5000};
    explicit KannelClient(KannelSettings settings, const std::atomic<bool>* stop = nullptr);
    Answer Send(qint64 id, int round, const QString& secret, const QStringList& to,
                const QString& text, const QString& from = {});

private:
    KannelSettings settings_;
    const std::atomic<bool>* stop_;
    QList<QHostAddress> addresses_; // Kannel's host, as last looked up
};

} // namespace telvoro::smsd
