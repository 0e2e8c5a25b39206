#include "core/TextRules.h"

#include "core/GbkTexts.h"

namespace telvoro {

std::string GetField(std::string_view text, char sep, int n) {
    if (n <= 0) return {};
    std::string_view rest = text;
    // The text is read as if a separator closed it, unless one already does.
    const bool closed = !rest.empty() && rest.back() == sep;
    for (int i = 1;; ++i) {
        const std::size_t at = rest.find(sep);
        if (at == std::string_view::npos) {
            // Only the virtual closing separator is left.
            if (closed || i != n) return {};
            return std::string(rest);
        }
        if (i == n) return std::string(rest.substr(0, at));
        rest.remove_prefix(at + 1);
    }
}

namespace {

// Upper-cases single-byte letters only: a trail byte of a two-byte character
// can look like a letter and must keep its value.
std::string UpperCp936(std::string_view s) {
    std::string out(s);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto b = static_cast<unsigned char>(out[i]);
        if (IsGbkLeadByte(b) && i + 1 < out.size()) {
            ++i;
        } else if (b >= 'a' && b <= 'z') {
            out[i] = static_cast<char>(b - 'a' + 'A');
        }
    }
    return out;
}

std::size_t CharWidthAt(std::string_view s, std::size_t i) {
    return (IsGbkLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ? 2 : 1;
}

} // namespace

std::string ReplaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement) {
    if (text.empty()) return {};
    if (pattern.empty()) return std::string(text);
    const std::string upText = UpperCp936(text);
    const std::string upPattern = UpperCp936(pattern);
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0; // text[copied..] is not yet in `out`
    std::size_t i = 0;
    while (i < text.size()) {
        if (upText.compare(i, upPattern.size(), upPattern) == 0) {
            out.append(text.substr(copied, i - copied));
            out.append(replacement);
            i += pattern.size();
            copied = i;
        } else {
            i += CharWidthAt(text, i);
        }
    }
    out.append(text.substr(copied));
    return out;
}

bool IsNumber(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string GetOkTel(std::string_view text) {
    // Every pattern below starts with byte A3 or is a space: a text with
    // neither (nearly every phone) comes out as it went in.
    if (text.find_first_of("\xA3 ") == std::string_view::npos) return std::string(text);
    std::string s(text);
    for (char d = 0; d < 10; ++d) {
        const char fullWidth[] = {'\xA3', static_cast<char>('\xB0' + d), '\0'};
        const char ascii[] = {static_cast<char>('0' + d), '\0'};
        s = ReplaceAll(s, fullWidth, ascii);
    }
    return ReplaceAll(s, " ", "");
}

std::int32_t GetMsgLen(std::string_view text) {
    std::int32_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count)
        i += static_cast<unsigned char>(text[i]) > 160 ? 2 : 1;
    return count;
}

std::int32_t GetSegCount(std::int32_t k) {
    if (k <= 65) return 1;
    return k / 65 + (k % 65 != 0 ? 1 : 0);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
        text.remove_suffix(1);
    return text;
}

std::string SumLenCaption(std::string_view messageText) {
    return std::to_string(GetMsgLen(Trim(messageText))) + gbk::kCharsSuffix;
}

void ForEachLine(std::string_view bytes, const std::function<void(std::string_view)>& line) {
    if (const std::size_t nul = bytes.find('\0'); nul != std::string_view::npos)
        bytes = bytes.substr(0, nul);
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') continue;
        line(bytes.substr(start, i - start));
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < bytes.size()) line(bytes.substr(start));
}

std::vector<std::string> SplitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    ForEachLine(bytes, [&](std::string_view l) { lines.emplace_back(l); });
    return lines;
}

} // namespace telvoro
