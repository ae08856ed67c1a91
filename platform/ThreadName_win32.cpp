#include "platform/ThreadName.h"

#include <windows.h>

#include <string>

#include "platform/Text.h"

namespace platform {

void setCurrentThreadName(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on: looked up, not linked, so that the
    // module still loads on a system without it.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto setDescription = [] {
        HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        FARPROC found = kernel ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
        return reinterpret_cast<SetDescription>(reinterpret_cast<void*>(found));
    }();
    if (!setDescription)
        return;
    try {
        const std::wstring wide = utf8ToWide(name ? name : "");
        setDescription(::GetCurrentThread(), wide.c_str());
    } catch (...) {
        // Out of memory: the name stays as it was.
    }
}

}  // namespace platform
