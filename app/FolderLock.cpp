#include "app/FolderLock.h"

#include "text/QtPath.h"

#include <QLockFile>

namespace telvoro::app {

FolderLock::FolderLock(const ProgramFolder& folder)
    : lock_(std::make_unique<QLockFile>(ToQString(folder.LockFile()))) {
    // The program holds the lock for hours: only a dead holder makes it
    // stale, never its age.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0)) {
        state_ = State::Held;
        return;
    }
    state_ =
        lock_->error() == QLockFile::LockFailedError ? State::HeldElsewhere : State::Unavailable;
}

FolderLock::~FolderLock() = default;

} // namespace telvoro::app
