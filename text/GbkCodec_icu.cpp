#include "text/GbkCodec.h"
#include "text/GbkCodecPlatform.h"

#include <QByteArray>
#include <QStringDecoder>
#include <QStringEncoder>

namespace telvoro::platform {

// "GBK" by name is ICU's windows-936-2000, Windows' code page 936; "GB2312"
// would be the strict EUC-CN subset.
static constexpr const char* kCodecName = "GBK";

bool DecodeGbk(std::string_view bytes, QString& out) {
    QStringDecoder decoder(kCodecName, QStringDecoder::Flag::Stateless);
    if (!decoder.isValid()) throw EncodingError("GBK decoder unavailable");
    out = decoder.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    return !decoder.hasError();
}

bool EncodeGbk(QStringView text, std::string& out) {
    QStringEncoder encoder(kCodecName, QStringEncoder::Flag::Stateless);
    if (!encoder.isValid()) throw EncodingError("GBK encoder unavailable");
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError()) return false;
    out.assign(bytes.constData(), std::size_t(bytes.size()));
    return true;
}

} // namespace telvoro::platform
