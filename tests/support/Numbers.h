#pragma once
// Phone numbers for tests, and a number list told as ranges so that what a
// batch holds is written out literally: "13900000000-13900000099" is the
// hundred numbers from the first to the last, in order, each once.

#include <string>
#include <vector>

namespace telvoro::testing {

// 13900000000, 13900000001, ... (n numbers from `from`).
inline std::vector<std::string> Numbers(int n, int from = 0) {
    std::vector<std::string> v;
    for (int i = from; i < from + n; ++i) {
        std::string d = std::to_string(i);
        v.push_back("139" + std::string(8 - d.size(), '0') + d);
    }
    return v;
}

// The numbers with each run of consecutive 11-digit numbers shortened to
// "first-last", joined by ","; anything else stands as it is.
inline std::string Ranges(const std::vector<std::string>& numbers) {
    const auto value = [](const std::string& s) {
        if (s.size() != 11 || s.find_first_not_of("0123456789") != std::string::npos) return -1LL;
        return std::stoll(s);
    };
    std::string out;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && value(numbers[j]) >= 0 &&
               value(numbers[j + 1]) == value(numbers[j]) + 1)
            ++j;
        out += (i ? "," : "") + numbers[i] + (j > i ? "-" + numbers[j] : "");
        i = j + 1;
    }
    return out;
}

// The same for a list as a batch row holds it, separated by ";".
inline std::string Ranges(const std::string& list) {
    std::vector<std::string> numbers;
    for (std::size_t start = 0;;) {
        const std::size_t end = list.find(';', start);
        numbers.push_back(list.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return Ranges(numbers);
}

} // namespace telvoro::testing
