#include "platform/Files.h"
#include "platform/WriteAll_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

namespace platform {

bool moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (!ec)
        return true;
    if (ec != std::errc::cross_device_link)
        return false;
    // Another volume: copy, then remove the original.
    if (!std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                    ec))
        return false;
    std::filesystem::remove(from, ec);
    return true;
}

std::FILE* createNewFile(const std::filesystem::path& path, int& err) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        err = errno;
        ::close(fd);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    return file;
}

bool isPlainFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool forEachFileIn(const std::filesystem::path& folder, const FileVisitor& fn) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir)
        return false;
    const int fd = ::dirfd(dir.get());
    std::string name;
    // A read error ends the listing as its end would.
    while (const dirent* entry = ::readdir(dir.get())) {
        name = entry->d_name;
        if (name == "." || name == ".." || entry->d_type == DT_DIR)
            continue;
        struct stat status {};
        if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode))
            continue;
        const auto since = std::chrono::seconds(status.st_mtim.tv_sec) +
                           std::chrono::nanoseconds(status.st_mtim.tv_nsec);
        fn(name, std::chrono::file_clock::from_sys(
                     std::chrono::sys_time<std::chrono::nanoseconds>(since)));
    }
    return true;
}

namespace {

std::string failure(const char* step) {
    return std::string(step) + ": " + std::strerror(errno);
}

}  // namespace

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string& error) {
    const auto temporary = temporaryBeside(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = failure("open");
        return false;
    }
    bool ok = writeAll(fd, bytes);
    if (!ok)
        error = failure("write");
    if (ok && ::fsync(fd) != 0) {
        error = failure("fsync");
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = failure("close");
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = failure("rename");
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename is durable once the folder's entry is.
    const int folder = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

}  // namespace platform
