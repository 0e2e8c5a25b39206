#pragma once
// A list file of `n` entries as the benchmarks load it: GBK, status "待发".

#include <cstddef>
#include <string>

namespace telvoro::bench {

inline std::string ListFile(int n) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(n) * 24);
    for (int i = 0; i < n; ++i)
        bytes += "customer\t" + std::to_string(13000000000LL + i) + "\t\xB4\xFD\xB7\xA2\r\n";
    return bytes;
}

} // namespace telvoro::bench
