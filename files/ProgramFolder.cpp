#include "files/ProgramFolder.h"

#include <string>

namespace telvoro {

namespace fs = std::filesystem;

fs::path ProgramFolder::SettingsFile() const {
    return folder_ / u8"GSMConfig.ini";
}

fs::path ProgramFolder::TemplatesFile() const {
    return folder_ / u8"短信模板.ini";
}

fs::path ProgramFolder::HandoffFile() const {
    return folder_ / u8"SendGSM.ini";
}

fs::path ProgramFolder::ClaimedHandoffFile(unsigned n) const {
    fs::path name = folder_ / u8"SendGSM.ini.claimed";
    return n == 0 ? name : name.concat("." + std::to_string(n));
}

fs::path ProgramFolder::SetAsideHandoffFile(unsigned n) const {
    return (folder_ / u8"SendGSM.ini.set-aside").concat("." + std::to_string(n));
}

fs::path ProgramFolder::ServerFile() const {
    return folder_ / u8"SMSServer.ini";
}

fs::path ProgramFolder::EmbeddedDatabase() const {
    return folder_ / u8"Orvanta.db";
}

fs::path ProgramFolder::LockFile() const {
    return folder_ / u8"Telvoro.lock";
}

fs::path ProgramFolder::Resolve(const fs::path& name) const {
    return name.is_absolute() ? name : folder_ / name;
}

} // namespace telvoro
