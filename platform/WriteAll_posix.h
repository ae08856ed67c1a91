#pragma once
// Writing every byte to a file descriptor, through short writes and interrupted calls: shared by
// the POSIX files and the file hold.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace platform {

inline bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace platform
