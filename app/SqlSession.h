#pragma once
// The client session as the program runs it: on the SQL gateway, with the
// gateway's secrets masked in what it logs. The one place where the client
// meets the database code.

#include "client/ClientSession.h"

namespace telvoro::app {

// A factory of SQL gateways, each on a Qt SQL connection of its own name, so
// several sessions in one process never share one.
client::GatewayFactory SqlGatewayFactory();

// The session options of the program: the SQL gateway and its masking.
client::SessionOptions SqlSessionOptions();

} // namespace telvoro::app
