#include "platform/FileHold.h"

#include <windows.h>

namespace platform {
namespace {

class Win32HeldFile : public HeldFile {
public:
    explicit Win32HeldFile(HANDLE file) : file_(file) {}
    ~Win32HeldFile() override { ::CloseHandle(file_); }

    bool append(std::string_view bytes) override {
        while (!bytes.empty()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(file_, bytes.data(), chunk, &written, nullptr) || written == 0)
                return false;
            bytes.remove_prefix(written);
        }
        return true;
    }

private:
    HANDLE file_;
};

}  // namespace

std::unique_ptr<HeldFile> HeldFile::open(const std::filesystem::path& path, std::string& error) {
    // Appending; others may read, none may write while it is held.
    const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "CreateFileW failed (" + std::to_string(::GetLastError()) + ")";
        return nullptr;
    }
    return std::make_unique<Win32HeldFile>(file);
}

bool heldForWriting(const std::filesystem::path& path) {
    // An open that lets nobody else write fails while a writer has it open.
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_SHARING_VIOLATION;
    ::CloseHandle(file);
    return false;
}

}  // namespace platform
