#pragma once
// Everything the host SDK offers is exported from its shared library; the plugin module hides
// everything of its own.
#if defined(_WIN32)
// A DLL exports what it marks, and its users import it (SDK_BUILDING is set by CMake while the
// library itself is built).
#if defined(SDK_BUILDING)
#define SDK_API __declspec(dllexport)
#else
#define SDK_API __declspec(dllimport)
#endif
#else
#define SDK_API __attribute__((visibility("default")))
#endif
