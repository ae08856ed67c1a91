#include "net/Json.h"

#include <gtest/gtest.h>

namespace {

using brevant::FieldTypeError;
using brevant::json;

TEST(JsonFields, MissingKeysGiveTheDefaultAndWrongTypesAreErrors) {
    const json msg = json::parse(R"({"s":"x","i":7,"b":true,"n":null,"f":2.5})");
    EXPECT_EQ(brevant::stringField(msg, "s", "d"), "x");
    EXPECT_EQ(brevant::stringField(msg, "missing", "d"), "d");
    EXPECT_EQ(brevant::intField(msg, "missing", 6), 6);
    EXPECT_TRUE(brevant::boolField(msg, "b", false));
    EXPECT_THROW(brevant::stringField(msg, "i", ""), FieldTypeError);
    EXPECT_THROW(brevant::stringField(msg, "n", ""), FieldTypeError);
    EXPECT_THROW(brevant::intField(msg, "b", 0), FieldTypeError);  // not 1
    EXPECT_THROW(brevant::intField(msg, "s", 0), FieldTypeError);
    EXPECT_THROW(brevant::boolField(msg, "i", false), FieldTypeError);
}

TEST(JsonFields, NumbersMustFitTheFieldAndFractionsAreTruncated) {
    auto i32 = [](const char* text) {
        return brevant::intField(json::parse(std::string(R"({"v":)") + text + "}"), "v", 0);
    };
    EXPECT_EQ(i32("2147483647"), 2147483647);
    EXPECT_EQ(i32("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(i32("3.9"), 3);
    EXPECT_EQ(i32("-3.9"), -3);
    EXPECT_EQ(i32("2147483647.9"), 2147483647);
    EXPECT_THROW(i32("2147483648"), FieldTypeError);
    EXPECT_THROW(i32("-2147483649"), FieldTypeError);
    EXPECT_THROW(i32("1e300"), FieldTypeError);
    EXPECT_THROW(i32("18446744073709551615"), FieldTypeError);

    const json big = json::parse(R"({"u":4294967295,"neg":-1,"ts":9007199254740993})");
    EXPECT_EQ(brevant::uintField(big, "u", 1), 4294967295u);
    EXPECT_THROW(brevant::uintField(big, "neg", 1), FieldTypeError);
    EXPECT_EQ(brevant::int64Field(big, "ts", 0), 9007199254740993LL);
}

TEST(JsonFields, FirstNonEmptyStringTrimsAndSkips) {
    const json msg = json::parse(R"({"room":" \t\n\u000b\f\r ","name":"  Sala 1\r\n","server":5})");
    EXPECT_EQ(brevant::firstNonEmptyString(msg, {"serverName", "server", "room", "name"}, "Scrim"),
              "Sala 1");
    EXPECT_EQ(brevant::firstNonEmptyString(msg, {"serverName", "room"}, "Scrim"), "Scrim");
    EXPECT_EQ(brevant::firstNonEmptyString(json::object(), {"a"}, ""), "");
}

TEST(JsonText, CompactSortedAndNeverThrowsOnBadUtf8) {
    const json value = {{"t", "hello"}, {"deviceId", "abc"}, {"n", 1}};
    EXPECT_EQ(brevant::dumpJson(value), R"({"deviceId":"abc","n":1,"t":"hello"})");
    const json bad = {{"name", std::string("Jo\xE3o")}};  // Windows-1252, not UTF-8
    std::string text;
    EXPECT_NO_THROW(text = brevant::dumpJson(bad));
    EXPECT_EQ(text, "{\"name\":\"Jo\xEF\xBF\xBDo\"}");
}

}  // namespace
