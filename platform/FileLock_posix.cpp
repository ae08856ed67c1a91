#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

class PosixFileLock : public FileLock {
public:
    explicit PosixFileLock(int fd) : fd_(fd) {}
    ~PosixFileLock() override { ::close(fd_); }  // closing lets go of the lock

private:
    int fd_;
};

std::string readSmallFile(int fd) {
    char buffer[64];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

std::unique_ptr<FileLock> FileLock::acquire(const std::filesystem::path& file, std::string& heldBy,
                                            std::string& error) {
    heldBy.clear();
    error.clear();
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK)
            heldBy = readSmallFile(fd);
        else
            error = std::strerror(err);
        ::close(fd);
        return nullptr;
    }
    const std::string pid = std::to_string(::getpid());
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The id is only for the message another process shows; the lock holds without it.
    }
    return std::make_unique<PosixFileLock>(fd);
}

}  // namespace platform
