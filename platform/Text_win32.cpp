#include "platform/Text.h"

#include <windows.h>

#include <climits>

namespace platform {
namespace {

// Longer texts are converted in pieces of at most this many units, since the API counts in int.
// A piece never ends inside a sequence (see the callers), so the pieces convert as the whole.
constexpr std::size_t kPiece = 1 << 28;

}  // namespace

// Code page 65001 without flags: each byte that does not start valid UTF-8 becomes U+FFFD.
std::wstring utf8ToWide(std::string_view text) {
    std::wstring out;
    while (!text.empty()) {
        std::size_t take = text.size() < kPiece ? text.size() : kPiece;
        // Back up to the start of a sequence (at most three continuation bytes).
        for (int i = 0;
             i < 3 && take < text.size() && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80;
             ++i)
            --take;
        const int inLen = static_cast<int>(take);
        const int outLen = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), inLen, nullptr, 0);
        if (outLen > 0) {
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(outLen));
            ::MultiByteToWideChar(CP_UTF8, 0, text.data(), inLen, out.data() + at, outLen);
        }
        text.remove_prefix(take);
    }
    return out;
}

// Code page 65001 without flags: each unpaired surrogate becomes U+FFFD.
std::string wideToUtf8(std::wstring_view text) {
    std::string out;
    while (!text.empty()) {
        std::size_t take = text.size() < kPiece ? text.size() : kPiece;
        // Keep a surrogate pair together.
        if (take < text.size() && text[take] >= 0xDC00 && text[take] <= 0xDFFF)
            --take;
        const int inLen = static_cast<int>(take);
        const int outLen =
            ::WideCharToMultiByte(CP_UTF8, 0, text.data(), inLen, nullptr, 0, nullptr, nullptr);
        if (outLen > 0) {
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(outLen));
            ::WideCharToMultiByte(CP_UTF8, 0, text.data(), inLen, out.data() + at, outLen, nullptr,
                                  nullptr);
        }
        text.remove_prefix(take);
    }
    return out;
}

// On Windows a path is wide text already.
std::filesystem::path widePath(std::wstring_view path) {
    return std::filesystem::path(std::wstring(path));
}

std::wstring pathToWide(const std::filesystem::path& path) {
    return path.native();
}

}  // namespace platform
