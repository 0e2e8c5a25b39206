#pragma once
// The one crossing between Qt's Unicode and the system's GBK bytes, used by the
// database gateway, the terminal tools and the windows alike.

#include "core/Error.h"

#include <QString>
#include <string>
#include <string_view>

namespace telvoro {

// Thrown when a text has a character with no GBK form (or bytes that are not GBK).
class EncodingError : public Error {
public:
    using Error::Error;
};

// GBK bytes to Unicode. Bytes that are not valid GBK throw EncodingError,
// unless `lenient`, when each becomes U+FFFD (a visible replacement).
QString FromGbk(std::string_view bytes, bool lenient = false);

// Unicode to GBK bytes. A character with no GBK form throws EncodingError
// naming it; nothing is ever silently turned into "?".
std::string ToGbk(const QString& text);

// True when every character of `text` has a GBK form.
bool HasGbkForm(const QString& text);

// UTF-8 (the terminal's and the error texts') to GBK and back.
std::string Utf8ToGbk(std::string_view utf8);
std::string GbkToUtf8(std::string_view bytes, bool lenient = true);

// Unicode to GBK bytes, leaving out each character that has no GBK form, as
// a paste into the message does.
std::string ToGbkDropping(const QString& text);

} // namespace telvoro
