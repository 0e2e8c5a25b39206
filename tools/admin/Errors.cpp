#include "tools/admin/Errors.h"

#include "db/SqlError.h"

namespace telvoro::admin {

std::string OneLineError(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return MaskSecrets(text);
}

} // namespace telvoro::admin
