#pragma once
// Conversions between UTF-8, wide text and file-system paths. Invalid input never throws.
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// UTF-8 to wide text. Each byte that does not start valid UTF-8 becomes U+FFFD.
std::wstring utf8ToWide(std::string_view text);
// Wide text to UTF-8. Each value that is not a valid code point becomes U+FFFD.
std::string wideToUtf8(std::wstring_view text);
// A wide path as the file system's own path, converted through UTF-8 explicitly (the standard
// library's own conversion depends on the global locale and throws on non-ASCII text).
std::filesystem::path widePath(std::wstring_view path);
// A file-system path as wide text.
std::wstring pathToWide(const std::filesystem::path& path);

}  // namespace platform
