// libFuzzer target for the two readers of outside files: the list file
// (RecipientList::LoadList) and the hand-off file (HandoffReader::Tick).
// Whatever the bytes, both must finish, keep what they promise (one entry per
// list line, each hand-off phone once) and never crash.

#include "core/RecipientList.h"
#include "core/TextRules.h"
#include "files/HandoffReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;
using namespace telvoro;

namespace {

char folderName[64]; // plain bytes: still there when the atexit handler runs

void RemoveFolder() {
    std::error_code ec;
    fs::remove_all(folderName, ec);
}

const fs::path& Folder() {
    static const fs::path dir = [] {
        // Memory-backed when there is one: a disk would make every run wait.
        std::snprintf(folderName, sizeof folderName, "%s/telvoro-fuzz-XXXXXX",
                      fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
        if (!::mkdtemp(folderName)) std::abort();
        std::atexit(RemoveFolder);
        return fs::path(folderName);
    }();
    return dir;
}

void Put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t lines = SplitLines(bytes).size();

    const fs::path listFile = Folder() / "list.dat";
    Put(listFile, bytes);
    RecipientList list;
    list.AddIfNewPhone("keep", "keep");
    list.LoadList(listFile);
    fs::remove(listFile);
    Check(list.Count() == lines);
    for (std::size_t i = 0; i < list.Count(); ++i) {
        const RecipientEntry& e = list.At(i);
        Check(e.SeqNo == std::to_string(i + 1) && !e.Checked);
        Check((e.Customer + e.Phone + e.Status).find_first_of(std::string("\t\r\n\0", 4)) ==
              std::string::npos);
    }

    RecipientList merged;
    HandoffReader reader(merged, ProgramFolder(Folder()));
    Put(reader.HandoffPath(), bytes);
    Check(reader.Tick() == HandoffReader::TickResult::Merged);
    Check(!fs::exists(reader.HandoffPath()) && !fs::exists(reader.ClaimedPath()));
    Check(merged.Count() <= lines);
    std::set<std::string> phones;
    for (std::size_t i = 0; i < merged.Count(); ++i)
        Check(phones.insert(merged.At(i).Phone).second);
    return 0;
}
