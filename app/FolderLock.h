#pragma once
// The program folder held for the program's life: two copies in one folder
// would both claim the hand-off file and both write the list and the
// templates. The lock is a file in the folder (ProgramFolder::LockFile) that
// names the process holding it; one left by a program that ended without
// releasing it (a crash, a kill) is taken over.

#include "files/ProgramFolder.h"

#include <memory>

class QLockFile;

namespace telvoro::app {

class FolderLock {
public:
    enum class State {
        Held,          // this process holds the folder
        HeldElsewhere, // a running program holds it; nothing in the folder was touched
        Unavailable,   // no lock file can be made there (a read-only folder): not held
    };

    // Tries once, without waiting.
    explicit FolderLock(const ProgramFolder& folder);
    ~FolderLock(); // releases a held lock
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    State state() const { return state_; }

private:
    std::unique_ptr<QLockFile> lock_;
    State state_ = State::Unavailable;
};

} // namespace telvoro::app
