#include "platform/Files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
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

bool isPlainFile(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
}

bool forEachFileIn(const std::filesystem::path& folder, const FileVisitor& fn) {
    // The listing carries each entry's type and time: no query per entry. A link (a reparse
    // point) is skipped, whatever it names.
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
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
            continue;
        fn(name, fileTime(entry.ftLastWriteTime));
    } while (::FindNextFileW(find.get(), &entry));
    return true;
}

namespace {

std::string failure(const char* step) {
    return std::string(step) + ": error " + std::to_string(::GetLastError());
}

}  // namespace

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string& error) {
    const auto temporary = temporaryBeside(path);
    HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = failure("open");
        return false;
    }
    bool ok = true;
    while (ok && !bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 30));
        DWORD written = 0;
        ok = ::WriteFile(file, bytes.data(), chunk, &written, nullptr) != 0 && written > 0;
        if (!ok)
            error = failure("write");
        else
            bytes.remove_prefix(written);
    }
    if (ok && !::FlushFileBuffers(file)) {
        error = failure("flush");
        ok = false;
    }
    ::CloseHandle(file);
    if (ok && !::MoveFileExW(temporary.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = failure("rename");
        ok = false;
    }
    if (!ok)
        ::DeleteFileW(temporary.c_str());
    return ok;
}

}  // namespace platform
