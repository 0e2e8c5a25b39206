#include "core/ServerGateway.h"

namespace telvoro {

std::string CauseOf(const std::exception& e) {
    if (const auto* server = dynamic_cast<const ServerError*>(&e);
        server && !server->cause().empty())
        return server->cause();
    return e.what();
}

} // namespace telvoro
