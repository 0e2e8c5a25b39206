// Both builds (ICU on Linux, Windows' code page 936) against one table of
// every GBK byte sequence and every BMP character: gbk_table.txt, compiled in.
#include "text/GbkCodec.h"

#include <gtest/gtest.h>

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

using namespace telvoro;

extern const char kGbkTable[];

namespace {

constexpr int kNotGbk = -1;

// Lenient decoding of bad bytes, as ICU's converter does it.
const std::string kLenientInputs[] = {
    "\x81\x30", // a lead byte without a trail: the next byte stays
    "\x81\x7F",
    "\x81\xFF",     // and FF is not GBK
    "ab\x81",       // a lead byte cut off at the end
    "\x81\x30\x81", // also after an earlier replacement
    "\x81\x81\x81",
    "\xB6\xCC\x80\xFE", // 短, the euro sign
    "\xA1\xA1\x81\n\xB6",
};

struct Table {
    std::vector<std::pair<std::string, int>> decode; // bytes, code point or kNotGbk
    std::map<char32_t, std::string> encode;          // hex where not the inverse; "-" for no form
    std::vector<std::pair<std::string, QString>> lenient;
};

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += char(std::stoul(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string CodeHex(char32_t c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X", unsigned(c));
    return buf;
}

// The sequences in table order: single bytes 00-FF, then lead 81-FE by trail 40-FE.
std::vector<std::string> AllSequences() {
    std::vector<std::string> all;
    for (int b = 0; b <= 0xFF; ++b)
        all.push_back(std::string(1, char(b)));
    for (int lead = 0x81; lead <= 0xFE; ++lead)
        for (int trail = 0x40; trail <= 0xFE; ++trail)
            all.push_back({char(lead), char(trail)});
    return all;
}

Table Parse(const char* text) {
    Table table;
    const std::vector<std::string> all = AllSequences();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string head, word;
        words >> head;
        if (head.empty() || head[0] == '#') continue;
        if (head == "E") {
            std::string code, bytes;
            words >> code >> bytes;
            table.encode[char32_t(std::stoul(code, nullptr, 16))] = bytes;
        } else if (head == "L") {
            std::string bytes;
            words >> bytes;
            QString decoded;
            while (words >> word)
                decoded += QChar(char16_t(std::stoul(word, nullptr, 16)));
            table.lenient.emplace_back(Unhex(bytes), decoded);
        } else {
            // "--" the single bytes, else a lead byte's row; "code*n" runs count up.
            while (words >> word) {
                const auto star = word.find('*');
                const int n = star == std::string::npos ? 1 : std::stoi(word.substr(star + 1));
                const std::string code = word.substr(0, star);
                for (int i = 0; i < n; ++i) {
                    const int cp = code == "-" ? kNotGbk : int(std::stoul(code, nullptr, 16)) + i;
                    const std::size_t at = table.decode.size();
                    table.decode.emplace_back(at < all.size() ? all[at] : "", cp);
                }
            }
        }
    }
    return table;
}

std::optional<QString> Strict(const std::string& bytes) {
    try {
        return FromGbk(bytes);
    } catch (const EncodingError&) {
        return std::nullopt;
    }
}

std::string Units(const std::optional<QString>& text) {
    if (!text) return "-";
    std::string units;
    for (const QChar c : *text)
        units += (units.empty() ? "" : " ") + CodeHex(c.unicode());
    return units;
}

QString One(char32_t c) {
    return QStringView(QChar::fromUcs4(c)).toString(); // fromUcs4 would drop U+FEFF
}

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// The character's GBK bytes in hex, or "-" when it has none.
std::string Encoded(char32_t c) {
    return HasGbkForm(One(c)) ? Hex(ToGbk(One(c))) : "-";
}

// What this build gives, as the table has it. Run on the Linux build:
// TELVORO_WRITE_GBK_TABLE=tests/text/gbk_table.txt build/bin/telvoro_text_tests
void WriteTable(const char* path) {
    std::ofstream out(path, std::ios::binary);
    out << "# GBK (code page 936) as both builds read and write it; written by telvoro_text_tests "
           "with TELVORO_WRITE_GBK_TABLE=this file.\n"
           "# \"-- c..\": bytes 00-FF, \"LL c..\": LL40-LLFE decode to c (hex; c*n: n counting "
           "up; -: not GBK); \"E c bytes|-\": encoding not the inverse; \"L bytes c..\": "
           "lenient.\n";
    const std::vector<std::string> all = AllSequences();
    std::map<char32_t, std::vector<std::string>> inverse;
    int runCode = 0, runLength = 0;
    const auto flush = [&] {
        if (runLength == 0) return;
        out << ' ' << (runCode == kNotGbk ? "-" : CodeHex(char32_t(runCode)));
        if (runLength > 1) out << '*' << runLength;
        runLength = 0;
    };
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string& bytes = all[i];
        if (i == 0 || (bytes.size() == 2 && bytes[1] == '\x40')) {
            flush();
            out << (i == 0 ? "" : "\n") << (i == 0 ? "--" : Hex(bytes.substr(0, 1)));
        }
        const std::optional<QString> text = Strict(bytes);
        const int cp = text && text->size() == 1 ? text->at(0).unicode() : kNotGbk;
        if (text && cp == kNotGbk) ADD_FAILURE() << Hex(bytes) << " gives " << Units(text);
        if (cp != kNotGbk) inverse[char32_t(cp)].push_back(Hex(bytes));
        const bool continues =
            runLength > 0 &&
            (cp == kNotGbk ? runCode == kNotGbk : runCode != kNotGbk && cp == runCode + runLength);
        if (!continues) {
            flush();
            runCode = cp;
        }
        ++runLength;
    }
    flush();
    out << '\n';
    for (char32_t c = 0; c <= 0xFFFF; ++c) {
        if (IsSurrogate(c)) continue;
        const std::string bytes = Encoded(c);
        const auto it = inverse.find(c);
        const bool implied =
            it == inverse.end() ? bytes == "-" : it->second.size() == 1 && it->second[0] == bytes;
        if (!implied) out << "E " << CodeHex(c) << ' ' << bytes << '\n';
    }
    for (const std::string& bytes : kLenientInputs) {
        out << "L " << Hex(bytes) << ' ' << Units(FromGbk(bytes, true)) << '\n';
    }
}

// Collects mismatches so that a wholly different code page fails readably.
class Mismatches {
public:
    explicit Mismatches(const char* what) : what_(what) {}
    ~Mismatches() { EXPECT_EQ(count_, 0) << what_ << ", e.g.:" << examples_; }
    void Add(const std::string& example) {
        if (count_++ < 20) examples_ += "\n  " + example;
    }

private:
    const char* what_;
    int count_ = 0;
    std::string examples_;
};

} // namespace

TEST(GbkTable, EveryByteSequenceAndEveryCharacterAsTheTableHasThem) {
    if (const char* path = std::getenv("TELVORO_WRITE_GBK_TABLE")) {
        WriteTable(path);
        GTEST_SKIP() << "wrote " << path;
    }
    const Table table = Parse(kGbkTable);
    ASSERT_EQ(table.decode.size(), AllSequences().size());

    std::map<char32_t, std::string> inverse;
    std::string allBytes;
    QString allText;
    {
        Mismatches bad("byte sequences decoded otherwise");
        for (const auto& [bytes, cp] : table.decode) {
            const std::optional<QString> text = Strict(bytes);
            const std::optional<QString> want =
                cp == kNotGbk ? std::nullopt : std::optional(One(char32_t(cp)));
            if (text != want) bad.Add(Hex(bytes) + " gives " + Units(text));
            if (cp == kNotGbk) continue;
            inverse[char32_t(cp)] = Hex(bytes);
            allBytes += bytes;
            allText += One(char32_t(cp));
        }
    }
    EXPECT_TRUE(Strict(allBytes) == allText) << "all valid sequences in one buffer";

    Mismatches bad("characters encoded otherwise");
    std::string allEncoded;
    QString allEncodable;
    for (char32_t c = 0; c <= 0xFFFF; ++c) {
        if (IsSurrogate(c)) continue;
        const auto exception = table.encode.find(c);
        const auto it = inverse.find(c);
        const std::string want = exception != table.encode.end() ? exception->second
                                 : it != inverse.end()           ? it->second
                                                                 : "-";
        const std::string got = Encoded(c);
        if (got != want) bad.Add("U+" + CodeHex(c) + " gives " + got);
        if (want == "-") continue;
        allEncoded += Unhex(want);
        allEncodable += One(c);
    }
    EXPECT_TRUE(ToGbk(allEncodable) == allEncoded) << "all characters with a form in one text";

    ASSERT_EQ(table.lenient.size(), std::size(kLenientInputs));
    for (const auto& [bytes, want] : table.lenient)
        EXPECT_EQ(Units(FromGbk(bytes, true)), Units(want)) << Hex(bytes);
}
