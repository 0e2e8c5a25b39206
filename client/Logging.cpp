#include "client/Logging.h"

namespace telvoro::client {

Q_LOGGING_CATEGORY(lcServer, "telvoro.server")
Q_LOGGING_CATEGORY(lcHandoff, "telvoro.handoff")

} // namespace telvoro::client
