#pragma once
// Failures inside the system are exceptions of this type (or derived from it).
// Their text is meant for people and is UTF-8, like the file system's names
// and the reasons the system gives; data texts elsewhere are GBK bytes.

#include <stdexcept>
#include <string>

namespace telvoro {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace telvoro
