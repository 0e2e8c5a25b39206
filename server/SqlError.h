#pragma once
// The one way a driver's error becomes a telvoro::Error, for every statement
// the gateway runs.

#include "core/Error.h"

#include <QSqlError>
#include <QString>

namespace telvoro {

// Throws Error "WHAT: TEXT", or TEXT alone when `what` is empty. Drivers
// write several lines (libpq adds hints); a message is one line, so the
// driver's text is folded onto one.
[[noreturn]] inline void ThrowSqlError(const QSqlError& error, const QString& what = {}) {
    QString text = error.text().simplified();
    if (text.isEmpty()) text = QStringLiteral("unknown database error");
    if (!what.isEmpty()) text = what + QStringLiteral(": ") + text;
    throw Error(text.toStdString());
}

} // namespace telvoro
