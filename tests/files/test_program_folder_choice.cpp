#include "files/ProgramFolderChoice.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace telvoro;

namespace {

using K = ProgramFolderKind;
constexpr const char* N = nullptr; // unset
constexpr const char* H = "/home/li";
constexpr const char* Usr = "/usr/share/telvoro";
constexpr const char* PerUser = "/home/li/.local/share/Telvoro";

struct Case {
    const char* name;
    const char* executableFolder;
    const char* option;      // --program-folder
    const char* xdgDataHome; // $XDG_DATA_HOME
    const char* home;        // $HOME
    const char* directory;   // the one folder that exists
    const char* expected;    // nullptr: no folder can be had
    K kind;
};

std::optional<fs::path> Optional(const char* text) {
    return text ? std::optional<fs::path>(text) : std::nullopt;
}

} // namespace

TEST(ProgramFolderChoice, Table) {
    const Case cases[] = {
        {"own folder kept as given", "/home/li/demo/", N, N, H, N, "/home/li/demo/",
         K::ExecutableFolder},
        {"build tree: bin without share/telvoro", "/src/b/bin/", N, N, H, "/src/b/share",
         "/src/b/bin/", K::ExecutableFolder},
        {"installed under /usr", "/usr/bin/", N, N, H, Usr, PerUser, K::PerUser},
        {"installed, no trailing separator", "/usr/bin", N, N, H, Usr, PerUser, K::PerUser},
        {"installed under a scratch root", "/tmp/r/usr/bin/", N, N, H, "/tmp/r/usr/share/telvoro",
         PerUser, K::PerUser},
        {"installed under /", "/bin/", N, N, H, "/share/telvoro", PerUser, K::PerUser},
        {"XDG_DATA_HOME wins over HOME", "/usr/bin/", N, "/data/li", H, Usr, "/data/li/Telvoro",
         K::PerUser},
        {"empty XDG_DATA_HOME counts as unset", "/usr/bin/", N, "", H, Usr, PerUser, K::PerUser},
        {"relative XDG_DATA_HOME counts as unset", "/usr/bin/", N, "data", H, Usr, PerUser,
         K::PerUser},
        {"beside a folder not named bin", "/usr/lib/", N, N, H, Usr, "/usr/lib/",
         K::ExecutableFolder},
        {"inside bin, not beside it", "/opt/bin/", N, N, H, "/opt/bin/share/telvoro", "/opt/bin/",
         K::ExecutableFolder},
        {"share without telvoro", "/usr/bin/", N, N, H, "/usr/share", "/usr/bin/",
         K::ExecutableFolder},
        {"option over the installed layout", "/usr/bin/", "/srv/a2", N, H, Usr, "/srv/a2",
         K::Chosen},
        {"option over the own folder", "/home/li/demo/", "/srv/a2", N, H, N, "/srv/a2", K::Chosen},
        {"executable's folder unknown", "", N, N, H, Usr, "", K::ExecutableFolder},
        {"installed without HOME", "/usr/bin/", N, N, N, Usr, N, K::PerUser},
        {"installed with a relative HOME", "/usr/bin/", N, N, "li", Usr, N, K::PerUser},
        {"own folder needs no HOME", "/home/li/demo/", N, N, N, N, "/home/li/demo/",
         K::ExecutableFolder},
        {"option needs no HOME", "/usr/bin/", "/srv/a2", N, N, Usr, "/srv/a2", K::Chosen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramFolderFacts facts{
            c.executableFolder, Optional(c.option), Optional(c.xdgDataHome), Optional(c.home),
            [&](const fs::path& p) { return c.directory && p == fs::path(c.directory); }};
        if (c.expected) {
            const ProgramFolderChoice got = ChooseProgramFolder(facts);
            EXPECT_EQ(got.folder, fs::path(c.expected));
            EXPECT_EQ(got.kind, c.kind);
        } else {
            EXPECT_THROW(ChooseProgramFolder(facts), Error);
        }
    }
}

TEST(ProgramFolderChoice, CreatesOnlyAFolderOfItsOwn) {
    TempFolder dir;
    CreateProgramFolder({dir / "xdg" / "Telvoro", ProgramFolderKind::PerUser});
    EXPECT_TRUE(fs::is_directory(dir / "xdg" / "Telvoro"));
#ifndef _WIN32
    // It holds account data: its owner's alone; its parents are made as usual.
    EXPECT_EQ(fs::status(dir / "xdg" / "Telvoro").permissions(), fs::perms::owner_all);
    EXPECT_NE(fs::status(dir / "xdg").permissions(), fs::perms::owner_all);
    CreateProgramFolder({dir / "xdg" / "Telvoro", ProgramFolderKind::PerUser}); // there already
    CreateProgramFolder({dir / "second" / "", ProgramFolderKind::PerUser});
    EXPECT_EQ(fs::status(dir / "second").permissions(), fs::perms::owner_all);
    WriteWholeFile(dir / "file", "");
    EXPECT_THROW(CreateProgramFolder({dir / "file", ProgramFolderKind::PerUser}),
                 fs::filesystem_error);
#endif
    CreateProgramFolder({dir / "account2", ProgramFolderKind::Chosen});
    EXPECT_TRUE(fs::is_directory(dir / "account2"));
    // An executable's folder is what it is; a missing one is never made up.
    CreateProgramFolder({dir / "gone", ProgramFolderKind::ExecutableFolder});
    EXPECT_FALSE(fs::exists(dir / "gone"));
}

TEST(ProgramFolderChoice, InstalledLayoutOnDisk) {
    TempFolder dir;
    fs::create_directories(dir / "usr" / "bin");
    const auto isDirectory = [](const fs::path& p) { return fs::is_directory(p); };
    EXPECT_FALSE(IsInstalledLayout(dir / "usr" / "bin", isDirectory));
    fs::create_directories(dir / "usr" / "share" / "telvoro");
    EXPECT_TRUE(IsInstalledLayout(dir / "usr" / "bin", isDirectory));
    EXPECT_TRUE(IsInstalledLayout((dir / "usr" / "bin") / "", isDirectory));
}

// Windows: a copy under Program Files keeps its files in %APPDATA%\Telvoro; a
// copy anywhere else (the portable zip) keeps them beside itself.
TEST(ProgramFolderChoice, ProgramFilesMeansAppData) {
    const std::vector<fs::path> roots{"/c/Program Files", "/c/Program Files (x86)/"};
    const struct {
        const char* exe;
        const char* appData;
        const char* expected;
    } cases[] = {
        {"/c/Program Files/Telvoro/", "/c/u/Roaming", "/c/u/Roaming/Telvoro"},
        {"/C/PROGRAM FILES/Telvoro", "/c/u/Roaming", "/c/u/Roaming/Telvoro"},
        {"/c/Program Files (x86)/Telvoro", "/c/u/Roaming", "/c/u/Roaming/Telvoro"},
        {"/c/Program Files/Telvoro", nullptr, "/home/li/.local/share/Telvoro"},
        {"/c/Program Files Portable/Telvoro/", "/c/u/Roaming",
         "/c/Program Files Portable/Telvoro/"},
        {"/c/Program Files", "/c/u/Roaming", "/c/Program Files"},
        {"/d/telvoro-0.1-win64/", "/c/u/Roaming", "/d/telvoro-0.1-win64/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exe);
        ProgramFolderFacts facts{c.exe, std::nullopt, std::nullopt, fs::path("/home/li"),
                                 [](const fs::path&) { return false; }};
        if (c.appData) facts.appData = fs::path(c.appData);
        facts.programFiles = roots;
        EXPECT_EQ(ChooseProgramFolder(facts).folder, fs::path(c.expected));
    }
}
