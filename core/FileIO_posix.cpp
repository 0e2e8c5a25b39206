#include "core/FileIOPlatform.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvoro::platform {

namespace fs = std::filesystem;

struct InputFile::Handle {
    int fd;
    ~Handle() { ::close(fd); }
};

InputFile::InputFile(const fs::path& path) : path_(path) {
    // O_NONBLOCK: a FIFO must not block the open; only regular files are read,
    // as a FIFO or a device would block or never end.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) ThrowOpen(path, errno);
    handle_.reset(new Handle{fd});
    struct stat st {};
    if (::fstat(fd, &st) != 0) ThrowOpen(path, errno);
    if (S_ISDIR(st.st_mode)) ThrowOpen(path, EISDIR);
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(path);
}

InputFile::~InputFile() = default;

std::size_t InputFile::Read(char* buf, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(handle_->fd, buf, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) ThrowOpen(path_, errno);
    }
}

std::FILE* CreateNewFile(const fs::path& path, bool ownerOnly) {
    // The mode is the file's from its first moment: nobody can open it in between.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                          ownerOnly ? 0600 : 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

int SyncToDisk(std::FILE* file) {
    return ::fsync(fileno(file)) == 0 ? 0 : errno;
}

int ReplaceByRename(const fs::path& tmp, const fs::path& path) {
    std::error_code ec;
    fs::rename(tmp, path, ec);
    return ec ? ec.value() : 0;
}

} // namespace telvoro::platform
