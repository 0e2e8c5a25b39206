#include "text/GbkCodec.h"
#include "text/GbkCodecPlatform.h"

#include <climits>

#include <windows.h>

namespace telvoro::platform {

static constexpr UINT kGbkCodePage = 936;

[[noreturn]] static void ThrowUnavailable() {
    throw EncodingError("Windows' GBK code page (936) is unavailable (error " +
                        std::to_string(GetLastError()) + ")");
}

bool DecodeGbk(std::string_view bytes, QString& out) {
    out.clear();
    if (bytes.empty()) return true; // a zero length is an error to Windows
    if (bytes.size() > INT_MAX) throw EncodingError("text too long for GBK");
    // Each character is one or two bytes and one UTF-16 unit.
    out.resize(qsizetype(bytes.size()));
    const int n =
        MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()),
                            reinterpret_cast<wchar_t*>(out.data()), int(out.size()));
    if (n > 0) {
        out.resize(n);
        return true;
    }
    if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION) return false;
    ThrowUnavailable();
}

bool EncodeGbk(QStringView text, std::string& out) {
    out.clear();
    if (text.isEmpty()) return true;
    if (text.size() > INT_MAX / 2) throw EncodingError("text too long for GBK");
    out.resize(std::size_t(text.size()) * 2);
    // No best fit (no "ä" as "a"), and the default character only reported,
    // never kept: a character without a form of its own has none.
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(
        kGbkCodePage, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(text.utf16()),
        int(text.size()), out.data(), int(out.size()), nullptr, &usedDefault);
    if (n <= 0) ThrowUnavailable();
    out.resize(std::size_t(n));
    return !usedDefault;
}

} // namespace telvoro::platform
