#pragma once
// The text of the Error a call throws, or "no error", for tables of failures.

#include "core/Error.h"

#include <functional>
#include <string>

namespace telvoro {

inline std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "no error";
}

} // namespace telvoro
