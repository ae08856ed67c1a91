#include "platform/Text.h"

#include <gtest/gtest.h>

#include "tests/support/Wine.h"

namespace {

TEST(Text, RoundTripsNonAsciiThroughUtf8) {
    const std::string utf8 = "Jo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x9A\x97";  // João € 🚗
    const std::wstring wide = platform::utf8ToWide(utf8);
    EXPECT_EQ(wide, std::wstring(L"Jo\u00E3o \u20AC \U0001F697"));
    EXPECT_EQ(platform::wideToUtf8(wide), utf8);
#ifdef _WIN32
    EXPECT_EQ(platform::widePath(wide).native(), wide);  // the system's own paths are wide
#else
    EXPECT_EQ(platform::widePath(wide).native(), utf8);
#endif
    EXPECT_EQ(platform::pathToWide(platform::widePath(wide)), wide);
}

TEST(Text, InvalidInputBecomesReplacementCharacters) {
    EXPECT_EQ(platform::utf8ToWide(std::string("a\xFF"
                                               "b\xC3")),
              L"a\uFFFDb\uFFFD");
    // Windows-1252, not UTF-8. (Wine's conversion also swallows the byte after a bad lead byte.)
    if (!testing_support::underWine()) {
        EXPECT_EQ(platform::utf8ToWide("Jo\xE3o"), L"Jo\uFFFDo");
    }
    EXPECT_EQ(platform::wideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(platform::utf8ToWide(""), L"");
}

}  // namespace
