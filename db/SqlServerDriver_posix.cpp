// Linux: FreeTDS, told the protocol version and that text crosses as UTF-8.
#include "db/SqlServerDriver.h"

namespace telvoro {

SqlServerDriver LocalSqlServerDriver() {
    return {QStringLiteral("FreeTDS"), false,
            QStringLiteral(";TDS_Version=7.4;ClientCharset=UTF-8")};
}

} // namespace telvoro
