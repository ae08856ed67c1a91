#include "platform/Text.h"

#include <boost/locale/utf.hpp>
#include <iterator>

namespace platform {
namespace {

namespace utf = boost::locale::utf;

// Decodes `in` as UTF of its character type and encodes it as UTF of Out's; a sequence that
// does not decode becomes U+FFFD and decoding goes on with the next unit, as the UTF-8 code
// page conversions of Windows do.
template <typename Out, typename In>
std::basic_string<Out> convert(std::basic_string_view<In> in) {
    std::basic_string<Out> out;
    out.reserve(in.size());
    const In* p = in.data();
    const In* const end = p + in.size();
    while (p < end) {
        const In* start = p;
        utf::code_point c = utf::utf_traits<In>::decode(p, end);
        if (c == utf::illegal || c == utf::incomplete) {
            c = 0xFFFD;
            p = start + 1;
        }
        utf::utf_traits<Out>::encode(c, std::back_inserter(out));
    }
    return out;
}

}  // namespace

std::wstring utf8ToWide(std::string_view text) {
    return convert<wchar_t>(text);
}

std::string wideToUtf8(std::wstring_view text) {
    return convert<char>(text);
}

std::filesystem::path widePath(std::wstring_view path) {
    // On POSIX a path is a byte string; we keep it in UTF-8.
    return std::filesystem::path(wideToUtf8(path));
}

std::wstring pathToWide(const std::filesystem::path& path) {
    return utf8ToWide(path.native());
}

}  // namespace platform
