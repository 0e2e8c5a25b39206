#include "text/GbkCodec.h"

#include <QByteArray>
#include <QList>
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
    if (decoder.hasError()) {
        if (!lenient) throw EncodingError("text is not valid GBK");
        // A lead byte cut off at the end is dropped by the decoder: show it.
        if (!text.contains(QChar::ReplacementCharacter)) text += QChar::ReplacementCharacter;
    }
    return text;
}

std::string ToGbk(const QString& text) {
    QStringEncoder encoder(kCodecName, QStringEncoder::Flag::Stateless);
    if (!encoder.isValid()) throw EncodingError("GBK encoder unavailable");
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError()) {
        // Name the first character that has no GBK form.
        for (const uint c : text.toUcs4()) {
            const char32_t cp = c;
            const QString one = QString::fromUcs4(&cp, 1);
            if (!HasGbkForm(one))
                throw EncodingError("the character “" + one.toStdString() + "” (U+" +
                                    QString::number(uint(c), 16).toUpper().toStdString() +
                                    ") has no GBK form");
        }
        throw EncodingError("text has a character with no GBK form");
    }
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

bool HasGbkForm(const QString& text) {
    QStringEncoder encoder(kCodecName, QStringEncoder::Flag::Stateless);
    const QByteArray bytes = encoder.encode(text); // the conversion runs only when taken
    return encoder.isValid() && !encoder.hasError();
}

std::string ToGbkDropping(const QString& text) {
    if (HasGbkForm(text)) return ToGbk(text);
    QString kept;
    kept.reserve(text.size());
    for (const uint c : text.toUcs4()) {
        const char32_t cp = c;
        const QString one = QString::fromUcs4(&cp, 1);
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
