#include "platform/FileLock.h"

#include <windows.h>

namespace platform {
namespace {

// The lock covers one byte far past the file's text, so that another process can still read
// the holder's id (Windows byte-range locks keep others from reading what they cover).
constexpr DWORD lockOffsetHigh = 1;

class WindowsFileLock : public FileLock {
public:
    explicit WindowsFileLock(HANDLE file) : file_(file) {}
    ~WindowsFileLock() override {
        OVERLAPPED at{};
        at.OffsetHigh = lockOffsetHigh;
        UnlockFileEx(file_, 0, 1, 0, &at);
        CloseHandle(file_);
    }

private:
    HANDLE file_;
};

std::string readSmallFile(HANDLE file) {
    char buffer[64];
    DWORD read = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    if (!ReadFile(file, buffer, sizeof buffer - 1, &read, nullptr))
        return {};
    return std::string(buffer, read);
}

}  // namespace

std::unique_ptr<FileLock> FileLock::acquire(const std::filesystem::path& file, std::string& heldBy,
                                            std::string& error) {
    heldBy.clear();
    error.clear();
    HANDLE handle =
        CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot open (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    OVERLAPPED at{};
    at.OffsetHigh = lockOffsetHigh;
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD err = GetLastError();
        if (err == ERROR_LOCK_VIOLATION)
            heldBy = readSmallFile(handle);
        else
            error = "cannot lock (error " + std::to_string(err) + ")";
        CloseHandle(handle);
        return nullptr;
    }
    const std::string pid = std::to_string(GetCurrentProcessId());
    DWORD written = 0;
    SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(handle);
    WriteFile(handle, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    return std::make_unique<WindowsFileLock>(handle);
}

}  // namespace platform
