#pragma once
// The message templates file 短信模板.ini: one template per line, title "="
// content; lines without "=" are notes. The file's name is UTF-8 on disk, its
// contents are GBK. Linux editors save it back as UTF-8, so a file that is
// plainly UTF-8 (and not the GBK the program writes) is read as UTF-8.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvoro {

// The nine default lines, each followed by CR LF.
std::string DefaultTemplatesText();

// Writes the default file when no file exists at `file`; an existing file is
// never changed. Returns true when it created the file. Throws Error when it
// cannot be created.
bool CreateTemplatesFile(const std::filesystem::path& file);

enum class TemplatesEncoding { Gbk, Utf8 };

// How the file's bytes are to be read. GBK unless the bytes are valid UTF-8
// and either follow a byte-order mark, or are not valid GBK, or, valid both
// ways, read as Chinese in UTF-8 while more than half of their GBK characters
// lie outside GB2312's first-level hanzi and punctuation. Text of everyday
// hanzi written as GBK is therefore never taken for UTF-8.
TemplatesEncoding DetectTemplatesEncoding(std::string_view bytes);

// Turns UTF-8 text into GBK, dropping characters without a GBK form (the
// codec lives above this layer).
using TemplatesConverter = std::function<std::string(std::string_view utf8)>;

// The file's text as GBK: a UTF-8 file without its byte-order mark, through
// `toGbk`; bytes as they are when it is empty.
std::string TemplatesText(std::string_view bytes, const TemplatesConverter& toGbk);

// One template entry of the template menu.
struct TemplateMenuEntry {
    std::string name;    // "Menu_" + index of its line, counting from 0
    std::string caption; // the title: the text before the first "=" (GBK)

    bool operator==(const TemplateMenuEntry&) const = default;
};

// The entries for the lines that contain "=", in file order.
std::vector<TemplateMenuEntry> TemplateMenuEntries(const std::vector<std::string>& lines);

// Reads `file` and gives its entries; none when the file does not exist.
// Throws Error when it exists but cannot be read.
std::vector<TemplateMenuEntry> ReadTemplateMenu(const std::filesystem::path& file,
                                                const TemplatesConverter& toGbk = {});

// The template a menu choice stands for: the content (field 2 at "=") of the
// first line that contains `caption` anywhere, compared as bytes, so a
// caption that is part of an earlier line's text picks that line. Nullopt
// when no line does, and always for an empty caption. An empty content is a
// match.
std::optional<std::string> FindTemplateContent(const std::vector<std::string>& lines,
                                               std::string_view caption);

// The same on `file` read anew. Throws Error (the text for a file that
// cannot be opened) when it cannot be read, e.g. deleted since the start.
std::optional<std::string> LookUpTemplate(const std::filesystem::path& file,
                                          std::string_view caption,
                                          const TemplatesConverter& toGbk = {});

} // namespace telvoro
