#include "platform/Files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <system_error>

namespace platform {

bool moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Replaces an existing target; across volumes the system copies and deletes for us.
    return ::MoveFileExW(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

std::FILE* createNewFile(const std::filesystem::path& path, int& err) {
    const int fd = ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                            _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "wb");
    if (!file) {
        err = errno;
        ::_close(fd);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    return file;
}

namespace {

std::filesystem::file_time_type fileTime(const FILETIME& time) {
    // 100 ns ticks since 1601 to the system clock, then to the file clock.
    const std::int64_t ticks =
        (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr std::int64_t kUnixEpochTicks = 116444736000000000;
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    const std::chrono::sys_time<Ticks> sys{Ticks(ticks - kUnixEpochTicks)};
    return std::chrono::file_clock::from_sys(sys);
}

}  // namespace

bool forEachFileIn(const std::filesystem::path& folder, const FileVisitor& fn) {
    // The listing carries each entry's type and time: no query per entry, except to follow a
    // link (a reparse point) to what it names.
    WIN32_FIND_DATAW entry;
    const std::wstring pattern = (folder / L"*").native();
    HANDLE first = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (first == INVALID_HANDLE_VALUE)
        // A folder without entries (a drive's root has no "." either) lists nothing.
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> find(first, &::FindClose);
    do {
        const std::filesystem::path::string_type name = entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            std::error_code ec;
            const auto target = folder / name;
            if (!std::filesystem::is_regular_file(target, ec) || ec)
                continue;
            const auto time = std::filesystem::last_write_time(target, ec);
            if (!ec)
                fn(name, time);
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        fn(name, fileTime(entry.ftLastWriteTime));
    } while (::FindNextFileW(find.get(), &entry));
    return true;
}

}  // namespace platform
