#include "platform/DynamicLibrary.h"

#include <windows.h>

#include <utility>

namespace platform {
namespace {

std::string lastErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = length && text ? std::string(text, length) : std::string();
    ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return "error " + std::to_string(code) + (out.empty() ? "" : ": " + out);
}

}  // namespace

bool DynamicLibrary::open(const std::filesystem::path& path, std::string& error) {
    close();
    // The module's own folder is searched for the DLLs it needs (pluginsdk.dll beside it).
    const std::filesystem::path absolute = std::filesystem::absolute(path);
    handle_ = ::LoadLibraryExW(absolute.c_str(), nullptr,
                               LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (!handle_) {
        error = "cannot open module: " + lastErrorText(::GetLastError());
        return false;
    }
    return true;
}

void* DynamicLibrary::symbol(const char* name) const {
    if (!handle_)
        return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::close() {
    if (handle_)
        ::FreeLibrary(static_cast<HMODULE>(std::exchange(handle_, nullptr)));
}

bool DynamicLibrary::isLoaded(const std::filesystem::path& path) {
    HMODULE module = nullptr;
    const std::filesystem::path absolute = std::filesystem::absolute(path);
    // Looks the module up without loading it or taking a reference.
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, absolute.c_str(),
                                &module) != 0 &&
           module != nullptr;
}

}  // namespace platform
