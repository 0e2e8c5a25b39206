#include "text/GbkCodec.h"

#include "core/TextRules.h"
#include "text/GbkCodecPlatform.h"

#include <QList>

#include <algorithm>
#include <vector>

namespace telvoro {

namespace {

constexpr QChar kReplacement = QChar::ReplacementCharacter;

bool IsGbkTrailByte(unsigned char b) {
    return b >= 0x40 && b <= 0xFE && b != 0x7F;
}

// The length of the character at bytes[i] by GBK's structure: 1 for 00-80
// (80 is the euro sign), 2 for a lead byte 81-FE with a trail byte 40-7E or
// 80-FE, and 0 for a bad byte. FF is bad: code page 936 maps it (to the
// private U+F8F5) only when told not to check, and ICU's converter alone takes it.
std::size_t CharLength(std::string_view bytes, std::size_t i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b <= 0x80) return 1;
    if (IsGbkLeadByte(b) && i + 1 < bytes.size() &&
        IsGbkTrailByte(static_cast<unsigned char>(bytes[i + 1])))
        return 2;
    return 0;
}

bool IsWellFormed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = CharLength(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Each bad byte becomes one U+FFFD and the byte after it is read afresh, as
// ICU's converter does on every platform: "\x81\x7F" is U+FFFD then DEL, and a
// lead byte cut off at the end is U+FFFD too. So is a character the platform
// has no mapping for, which only the slow way below finds.
QString DecodeLeniently(std::string_view bytes) {
    // One call over the whole buffer with "?" standing in for each bad byte:
    // every character is one UTF-16 unit, so the stand-ins' places are known.
    std::string standIn(bytes);
    std::vector<qsizetype> bad;
    qsizetype units = 0;
    for (std::size_t i = 0; i < bytes.size(); ++units) {
        const std::size_t n = CharLength(bytes, i);
        if (n == 0) {
            standIn[i] = '?';
            bad.push_back(units);
        }
        i += std::max<std::size_t>(n, 1);
    }
    QString text;
    if (platform::DecodeGbk(standIn, text) && text.size() == units) {
        for (const qsizetype at : bad)
            text[at] = kReplacement;
        return text;
    }
    text.clear();
    QString one;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = CharLength(bytes, i);
        if (n != 0 && platform::DecodeGbk(bytes.substr(i, n), one))
            text += one;
        else
            text += kReplacement;
        i += std::max<std::size_t>(n, 1);
    }
    return text;
}

// Code page 936 maps the private U+F8F5 to the byte FF, which reading
// refuses: it has no form here, so that what is written can be read.
bool Encode(const QString& text, std::string& bytes) {
    return !text.contains(QChar(0xF8F5)) && platform::EncodeGbk(text, bytes);
}

// One character as a text of its own; QString::fromUcs4 would take U+FEFF for
// a byte order mark and drop it.
QString CharText(char32_t c) {
    return QStringView(QChar::fromUcs4(c)).toString();
}

} // namespace

QString FromGbk(std::string_view bytes, bool lenient) {
    // The whole buffer in one call first: lists of many numbers pass here.
    QString text;
    if (IsWellFormed(bytes) && platform::DecodeGbk(bytes, text)) return text;
    if (!lenient) throw EncodingError("text is not valid GBK");
    return DecodeLeniently(bytes);
}

std::string ToGbk(const QString& text) {
    std::string bytes;
    if (Encode(text, bytes)) return bytes;
    // Name the first character that has no GBK form.
    for (const uint c : text.toUcs4()) {
        const QString one = CharText(c);
        if (!HasGbkForm(one))
            throw EncodingError("the character “" + one.toStdString() + "” (U+" +
                                QString::number(c, 16).toUpper().toStdString() +
                                ") has no GBK form");
    }
    throw EncodingError("text has a character with no GBK form");
}

bool HasGbkForm(const QString& text) {
    std::string bytes;
    try {
        return Encode(text, bytes);
    } catch (const EncodingError&) {
        return false; // no converter: nothing has a form
    }
}

std::string ToGbkDropping(const QString& text) {
    std::string bytes;
    if (Encode(text, bytes)) return bytes;
    QString kept;
    kept.reserve(text.size());
    for (const uint c : text.toUcs4()) {
        const QString one = CharText(c);
        if (HasGbkForm(one)) kept += one;
    }
    return ToGbk(kept);
}

std::string Utf8ToGbk(std::string_view utf8) {
    return ToGbk(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())));
}

std::string GbkToUtf8(std::string_view bytes, bool lenient) {
    return FromGbk(bytes, lenient).toStdString();
}

} // namespace telvoro
