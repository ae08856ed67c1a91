#pragma once
// Running a process out of file descriptors, for tests of what a transport does then. POSIX
// only: Windows has no per-process limit on handles to reach.
#ifndef _WIN32
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace testing_support {

// UBSan's check of dynamic types probes memory through a pipe: with every descriptor in use it
// reports false errors, so such a build cannot run the tests that use them all up.
inline bool ubsanRuntimePresent() {
    return ::dlsym(RTLD_DEFAULT, "__ubsan_handle_dynamic_type_cache_miss") != nullptr;
}

// Uses up every file descriptor the process may open, until destroyed.
class DescriptorsUsedUp {
public:
    DescriptorsUsedUp() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lower = saved_;
        lower.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &lower);
        for (;;) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            held_.push_back(fd);
        }
        exhausted_ = errno == EMFILE;
    }
    ~DescriptorsUsedUp() {
        for (int fd : held_)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;
    bool exhausted() const { return exhausted_; }

private:
    rlimit saved_{};
    std::vector<int> held_;
    bool exhausted_ = false;
};

}  // namespace testing_support
#endif  // _WIN32
