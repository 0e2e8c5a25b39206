#pragma once
// The client's log: causes the operator's notices do not name, for the
// person who looks after the installation (stderr and the system journal).

#include <QLoggingCategory>

namespace telvoro::client {

// The connection, the credit query and the send job's batches.
Q_DECLARE_LOGGING_CATEGORY(lcServer)
// The hand-off file.
Q_DECLARE_LOGGING_CATEGORY(lcHandoff)

} // namespace telvoro::client
