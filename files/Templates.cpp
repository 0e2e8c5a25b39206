#include "files/Templates.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/TextRules.h"

#include <system_error>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ReadLines(const fs::path& path) {
    return SplitLines(ReadText(path));
}

} // namespace

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

std::vector<TemplateMenuEntry> ReadTemplateMenu(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    return TemplateMenuEntries(ReadLines(file));
}

std::optional<std::string> FindTemplateContent(const std::vector<std::string>& lines,
                                               std::string_view caption) {
    if (caption.empty()) return std::nullopt;
    for (const std::string& line : lines)
        if (line.find(caption) != std::string::npos) return GetField(line, '=', 2);
    return std::nullopt;
}

std::optional<std::string> LookUpTemplate(const fs::path& file, std::string_view caption) {
    return FindTemplateContent(ReadLines(file), caption);
}

} // namespace telvoro
