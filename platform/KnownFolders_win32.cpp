#include "platform/KnownFolders.h"

#include <windows.h>
// windows.h first: the shell headers need its types.
#include <knownfolders.h>
#include <shlobj.h>

namespace platform {

std::optional<std::wstring> documentsFolder() {
    PWSTR path = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &path);
    std::optional<std::wstring> folder;
    if (SUCCEEDED(result) && path && *path)
        folder = std::wstring(path);
    // Freed whether or not the call succeeded (it may hand back a buffer either way).
    ::CoTaskMemFree(path);
    return folder;
}

std::optional<std::wstring> environmentVariable(const std::wstring& name) {
    // The size first, then the value; it may change in between, so ask again until it fits.
    std::wstring value;
    ::SetLastError(ERROR_SUCCESS);
    DWORD size = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    for (int attempt = 0; attempt < 4 && size > 0; ++attempt) {
        value.resize(size);
        const DWORD got = ::GetEnvironmentVariableW(name.c_str(), value.data(), size);
        if (got < size) {
            value.resize(got);
            return value;
        }
        size = got;
    }
    // 0: not set (or set to nothing, which Windows does not tell apart from unset).
    if (size == 0 && ::GetLastError() != ERROR_ENVVAR_NOT_FOUND)
        return std::wstring();
    return std::nullopt;
}

}  // namespace platform
