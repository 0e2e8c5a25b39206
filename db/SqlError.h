#pragma once
// The one way a driver's error becomes a telvoro::ServerError, for every
// statement the gateway runs, and the masking of secrets in every text that
// leaves the gateway.

#include "core/ServerGateway.h"

#include <QSqlError>
#include <QString>
#include <string>

namespace telvoro {

// The engine's own first line of `error` ("database is locked", "server
// closed the connection unexpectedly"); Qt's own words only when the engine
// said nothing.
QString FirstCause(const QSqlError& error);

// Throws ServerError "WHAT: CAUSE", or CAUSE alone when `what` is empty, with
// CAUSE as its cause; secrets masked.
[[noreturn]] void ThrowSqlError(const QSqlError& error, const QString& what = {});

// `text` with the value of every PWD= or password= key, and the fixed
// database password wherever it stands, replaced by "***".
QString MaskSecrets(QString text);
std::string MaskSecrets(const std::string& text);

} // namespace telvoro
