#include "server/GbkCodec.h"

#include <QByteArray>
#include <QStringDecoder>
#include <QStringEncoder>

namespace telvoro {

// "GBK" by name is code page 936 in Qt's ICU backend; "GB2312" would be the
// strict EUC-CN subset.
static constexpr const char* kCodecName = "GBK";

QString FromGbk(std::string_view bytes, bool lenient) {
    QStringDecoder decoder(kCodecName, QStringDecoder::Flag::Stateless);
    if (!decoder.isValid()) throw EncodingError("GBK decoder unavailable");
    QString text = decoder.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (decoder.hasError() && !lenient) throw EncodingError("text is not valid GBK");
    return text;
}

std::string ToGbk(const QString& text) {
    QStringEncoder encoder(kCodecName, QStringEncoder::Flag::Stateless);
    if (!encoder.isValid()) throw EncodingError("GBK encoder unavailable");
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError()) {
        for (const QChar c : text) {
            QStringEncoder one(kCodecName);
            (void)one.encode(QString(c));
            if (one.hasError())
                throw EncodingError("the character “" + QString(c).toStdString() + "” (U+" +
                                    QString::number(c.unicode(), 16).toUpper().toStdString() +
                                    ") has no GBK form");
        }
        throw EncodingError("text has a character with no GBK form");
    }
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

bool HasGbkForm(const QString& text) {
    QStringEncoder encoder(kCodecName, QStringEncoder::Flag::Stateless);
    (void)encoder.encode(text);
    return encoder.isValid() && !encoder.hasError();
}

std::string Utf8ToGbk(std::string_view utf8) {
    return ToGbk(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())));
}

std::string GbkToUtf8(std::string_view bytes, bool lenient) {
    return FromGbk(bytes, lenient).toStdString();
}

} // namespace telvoro
