#pragma once
// Runs a check in a child process of its own: as another user, or under an
// address-space limit, for cases the test process (often root) cannot reach
// itself. POSIX only.

#include <cstddef>
#include <functional>

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace telvoro {

struct ChildSetting {
    int uid = -1;                 // run as this user (and group), when >= 0
    std::size_t addressSpace = 0; // RLIMIT_AS in bytes, when > 0
};

// The child's exit code, which `body` returns (0 for success; the number of
// the check that failed otherwise); 125 when the setting could not be made,
// 126 for an exception, -1 when it died of a signal.
inline int RunInChild(const std::function<int()>& body, ChildSetting setting = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (setting.addressSpace > 0) {
            const rlimit limit{setting.addressSpace, setting.addressSpace};
            if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(125);
        }
        if (setting.uid >= 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(setting.uid)) != 0 ||
             ::setuid(static_cast<uid_t>(setting.uid)) != 0))
            ::_exit(125);
        int code = 126;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace telvoro
