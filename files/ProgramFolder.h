#pragma once
// The program folder: the one place that knows where the program keeps its
// files. Every name of a file in the folder is formed here and nowhere else,
// so choosing another folder (a per-user folder of an installed program, one
// folder per account) moves all of them together.

#include <filesystem>

namespace telvoro {

class ProgramFolder {
public:
    // An empty folder names the files relative to the current folder, which is
    // what a program whose own path cannot be had works with.
    ProgramFolder() = default;
    explicit ProgramFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    const std::filesystem::path& Path() const { return folder_; }

    std::filesystem::path SettingsFile() const;  // GSMConfig.ini: the account number
    std::filesystem::path TemplatesFile() const; // 短信模板.ini: the message templates
    std::filesystem::path HandoffFile() const;   // SendGSM.ini: recipients handed over
    // SendGSM.ini.claimed: one being merged; with n > 0 the spare SendGSM.ini.claimed.N,
    // for when that name is blocked by a file that is not the program's own.
    std::filesystem::path ClaimedHandoffFile(unsigned n = 0) const;
    // SendGSM.ini.set-aside.N: a file under a claimed name that was refused.
    std::filesystem::path SetAsideHandoffFile(unsigned n) const;
    std::filesystem::path ServerFile() const;       // SMSServer.ini: where the database is
    std::filesystem::path EmbeddedDatabase() const; // Orvanta.db: the default database
    std::filesystem::path LockFile() const;         // Telvoro.lock: held by the running program

    // `name` inside the folder, unless it is absolute.
    std::filesystem::path Resolve(const std::filesystem::path& name) const;

    bool operator==(const ProgramFolder&) const = default;

private:
    std::filesystem::path folder_;
};

} // namespace telvoro
