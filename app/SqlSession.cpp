#include "app/SqlSession.h"

#include "db/SqlError.h"
#include "server/SqlGateway.h"

#include <QString>

namespace telvoro::app {

namespace {

// Qt SQL names each connection; a second session in the same process (tests
// run several) must not take the first one's.
QString NextConnectionName() {
    static int sessions = 0;
    const int n = sessions++;
    return n == 0 ? QStringLiteral("ADOConn") : QStringLiteral("ADOConn_%1").arg(n);
}

} // namespace

client::GatewayFactory SqlGatewayFactory() {
    return [name = NextConnectionName()](const DataSource& source, client::LockWait lockWait) {
        auto gateway = std::make_unique<SqlGateway>(name);
        gateway->connection().SetLockWait(std::move(lockWait));
        gateway->Open(source);
        return std::unique_ptr<ServerGateway>(std::move(gateway));
    };
}

client::SessionOptions SqlSessionOptions() {
    client::SessionOptions options;
    options.gateway = SqlGatewayFactory();
    options.maskSecrets = [](const std::string& text) { return MaskSecrets(text); };
    return options;
}

} // namespace telvoro::app
