#pragma once
// The one conversion between Qt's file names and the standard library's paths.
// Both sides are Unicode; going through UTF-16 keeps every name exact on Linux
// (UTF-8 on disk) and on Windows (UTF-16 on disk) alike.

#include <QString>
#include <filesystem>

namespace telvoro {

inline std::filesystem::path ToFsPath(const QString& name) {
    return std::filesystem::path(name.toStdU16String());
}

inline QString ToQString(const std::filesystem::path& path) {
    return QString::fromStdU16String(path.u16string());
}

} // namespace telvoro
