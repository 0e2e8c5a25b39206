#include "files/Templates.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/TextRules.h"

#include <system_error>
#include <utility>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The code points of valid UTF-8 (no overlong forms, no surrogates), or
// nullopt.
std::optional<std::vector<char32_t>> DecodeUtf8(std::string_view bytes) {
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const int length = b < 0x80   ? 1
                           : b < 0xC2 ? 0
                           : b < 0xE0 ? 2
                           : b < 0xF0 ? 3
                           : b < 0xF5 ? 4
                                      : 0;
        if (length == 0 || i + length > bytes.size()) return std::nullopt;
        char32_t cp = length == 1 ? b : b & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        points.push_back(cp);
        i += length;
    }
    return points;
}

// A character Chinese text is written in, as GBK holds it: CJK ideographs,
// CJK and full-width punctuation, and the symbols of GB2312's first rows.
// Scripts GBK text turns into when misread as UTF-8 (Latin, Greek, Cyrillic,
// kana, rare ideographs) are left out.
bool IsChineseText(char32_t cp) {
    static constexpr std::pair<char32_t, char32_t> kRanges[] = {
        {0x00A4, 0x00A4}, {0x00A7, 0x00A8}, {0x00B0, 0x00B1}, {0x00B7, 0x00B7}, {0x00D7, 0x00D7},
        {0x00F7, 0x00F7}, {0x2010, 0x2027}, {0x2030, 0x203B}, {0x2103, 0x2103}, {0x2116, 0x2116},
        {0x2190, 0x2199}, {0x2200, 0x22FF}, {0x2312, 0x2312}, {0x2460, 0x2473}, {0x25A0, 0x25FF},
        {0x2605, 0x2606}, {0x2640, 0x2642}, {0x3000, 0x303F}, {0x4E00, 0x9FFF}, {0xFE30, 0xFE4F},
        {0xFF01, 0xFF5E}, {0xFFE0, 0xFFE5}};
    for (const auto& [first, last] : kRanges)
        if (cp >= first && cp <= last) return true;
    return false;
}

struct GbkShape {
    bool valid = true;
    std::size_t pairs = 0;    // two-byte characters
    std::size_t uncommon = 0; // of them outside GB2312's first-level hanzi and punctuation
    bool asciiTrail = false;  // a trail byte 40-7E, which UTF-8 would read as ASCII
};

// Reads the bytes by GBK's structure: lead 81-FE, trail 40-7E or 80-FE.
GbkShape ShapeAsGbk(std::string_view bytes) {
    GbkShape shape;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) continue;
        const auto trail = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        if (!IsGbkLeadByte(lead) || trail < 0x40 || trail == 0x7F || trail == 0xFF) {
            shape.valid = false;
            return shape;
        }
        ++shape.pairs;
        // The hanzi of everyday text are GB2312's first level (lead B0-D7);
        // UTF-8 read as GBK gives mostly second-level and GBK-only ones.
        const bool common =
            ((lead >= 0xA1 && lead <= 0xA3) || (lead >= 0xB0 && lead <= 0xD7)) && trail >= 0xA1;
        if (!common) ++shape.uncommon;
        if (trail < 0x80) shape.asciiTrail = true;
        ++i;
    }
    return shape;
}

std::vector<std::string> ReadLines(const fs::path& path, const TemplatesConverter& toGbk) {
    return SplitLines(TemplatesText(ReadText(path), toGbk));
}

} // namespace

TemplatesEncoding DetectTemplatesEncoding(std::string_view bytes) {
    const bool bom = bytes.starts_with(kUtf8Bom);
    const std::string_view text = bom ? bytes.substr(kUtf8Bom.size()) : bytes;
    const std::optional<std::vector<char32_t>> points = DecodeUtf8(text);
    if (!points) return TemplatesEncoding::Gbk;
    if (bom) return TemplatesEncoding::Utf8;
    const GbkShape gbk = ShapeAsGbk(text);
    if (!gbk.valid) return TemplatesEncoding::Utf8;
    if (gbk.pairs == 0) return TemplatesEncoding::Gbk; // ASCII: the same either way
    // Valid both ways: UTF-8 only when it reads as Chinese and GBK reads as
    // mostly unusual characters. A GBK character with an ASCII trail byte
    // (GBK-only hanzi next to each other) is GBK's alone.
    for (const char32_t cp : *points)
        if (cp >= 0x80 && !IsChineseText(cp)) return TemplatesEncoding::Gbk;
    return !gbk.asciiTrail && gbk.uncommon * 2 > gbk.pairs ? TemplatesEncoding::Utf8
                                                           : TemplatesEncoding::Gbk;
}

std::string TemplatesText(std::string_view bytes, const TemplatesConverter& toGbk) {
    if (!toGbk || DetectTemplatesEncoding(bytes) != TemplatesEncoding::Utf8)
        return std::string(bytes);
    if (bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
    return toGbk(bytes);
}

std::string DefaultTemplatesText() {
    std::string text;
    for (const char* line : gbk::kDefaultTemplateLines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

bool CreateTemplatesFile(const fs::path& file) {
    std::error_code ec;
    // A dangling link counts as present too: it is not ours to replace.
    if (fs::exists(fs::symlink_status(file, ec))) return false;
    WriteWholeFile(file, DefaultTemplatesText());
    return true;
}

std::vector<TemplateMenuEntry> TemplateMenuEntries(const std::vector<std::string>& lines) {
    std::vector<TemplateMenuEntry> entries;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find('=') == std::string::npos) continue;
        entries.push_back({"Menu_" + std::to_string(i), GetField(lines[i], '=', 1)});
    }
    return entries;
}

std::vector<TemplateMenuEntry> ReadTemplateMenu(const fs::path& file,
                                                const TemplatesConverter& toGbk) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    return TemplateMenuEntries(ReadLines(file, toGbk));
}

std::optional<std::string> FindTemplateContent(const std::vector<std::string>& lines,
                                               std::string_view caption) {
    if (caption.empty()) return std::nullopt;
    for (const std::string& line : lines)
        if (line.find(caption) != std::string::npos) return GetField(line, '=', 2);
    return std::nullopt;
}

std::optional<std::string> LookUpTemplate(const fs::path& file, std::string_view caption,
                                          const TemplatesConverter& toGbk) {
    return FindTemplateContent(ReadLines(file, toGbk), caption);
}

} // namespace telvoro
