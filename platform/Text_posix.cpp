#include "platform/Text.h"

#include <boost/locale/encoding_utf.hpp>

namespace platform {

std::wstring utf8ToWide(std::string_view text) {
    return boost::locale::conv::utf_to_utf<wchar_t>(text.data(), text.data() + text.size(),
                                                    boost::locale::conv::skip);
}

std::string wideToUtf8(std::wstring_view text) {
    return boost::locale::conv::utf_to_utf<char>(text.data(), text.data() + text.size(),
                                                 boost::locale::conv::skip);
}

std::filesystem::path widePath(std::wstring_view path) {
    // On POSIX a path is a byte string; we keep it in UTF-8.
    return std::filesystem::path(wideToUtf8(path));
}

std::wstring pathToWide(const std::filesystem::path& path) {
    return utf8ToWide(path.native());
}

}  // namespace platform
