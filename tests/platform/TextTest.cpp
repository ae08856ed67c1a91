#include "platform/Text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, RoundTripsNonAsciiThroughUtf8) {
    const std::string utf8 = "Jo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x9A\x97";  // João € 🚗
    const std::wstring wide = platform::utf8ToWide(utf8);
    EXPECT_EQ(wide, std::wstring(L"Jo\u00E3o \u20AC \U0001F697"));
    EXPECT_EQ(platform::wideToUtf8(wide), utf8);
    EXPECT_EQ(platform::widePath(wide).native(), utf8);
}

TEST(Text, InvalidUtf8NeverThrows) {
    EXPECT_EQ(platform::utf8ToWide(std::string("a\xFF"
                                               "b\xC3")),
              L"ab");
    EXPECT_EQ(platform::utf8ToWide(""), L"");
}

}  // namespace
