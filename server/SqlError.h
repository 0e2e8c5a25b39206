#pragma once
// The one way a driver's error becomes a telvoro::Error, for every statement
// the gateway runs.

#include "core/Error.h"

#include <QSqlError>
#include <QString>

namespace telvoro {

// "WHAT: TEXT", or TEXT alone when `what` is empty. Drivers write several
// lines (libpq adds hints); a message is one line, so the text is folded.
inline QString SqlErrorText(const QSqlError& error, const QString& what = {}) {
    QString text = error.text().simplified();
    if (text.isEmpty()) text = QStringLiteral("unknown database error");
    return what.isEmpty() ? text : what + QStringLiteral(": ") + text;
}

[[noreturn]] inline void ThrowSqlError(const QSqlError& error, const QString& what = {}) {
    throw Error(SqlErrorText(error, what).toStdString());
}

} // namespace telvoro
