#pragma once
// What the GBK codec needs from the platform: code page 936 over whole buffers.
// GbkCodec.cpp holds what both builds share (which bytes are GBK at all, the
// replacements, the error texts); GbkCodec_icu.cpp (Qt's ICU converter) and
// GbkCodec_win.cpp (Windows' own code page), CMake builds one, hold these.

#include <QString>
#include <QStringView>
#include <string>
#include <string_view>

namespace telvoro::platform {

// `bytes` as a whole into `out`; false when a character in them has no
// mapping. Throws EncodingError when the platform has no GBK converter.
bool DecodeGbk(std::string_view bytes, QString& out);

// `text` as a whole into `out`; false when a character in it has no mapping
// (never a substitute such as "?"). Throws as DecodeGbk does.
bool EncodeGbk(QStringView text, std::string& out);

} // namespace telvoro::platform
