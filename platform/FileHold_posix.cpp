#include "platform/FileHold.h"
#include "platform/WriteAll_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

struct flock wholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however far it grows
    return lock;
}

class PosixHeldFile : public HeldFile {
public:
    explicit PosixHeldFile(int fd) : fd_(fd) {}
    ~PosixHeldFile() override { ::close(fd_); }

    bool append(std::string_view bytes) override { return writeAll(fd_, bytes); }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<HeldFile> HeldFile::open(const std::filesystem::path& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixHeldFile>(fd);
}

bool heldForWriting(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    // Would a read lock over the whole file be refused? Only by a writer's lock.
    struct flock lock = wholeFile(F_RDLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

}  // namespace platform
