#pragma once
// Whether this Windows program runs under Wine, whose WinHTTP and code page conversions differ
// from Windows in a few places; the tests that meet them say so and skip there only.
#ifdef _WIN32
#include <windows.h>
#endif

namespace testing_support {

inline bool underWine() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace testing_support
