#pragma once
// Reading fields of the backend's JSON messages, and writing the plugin's own.
//
// A missing key gives the default. A present key of another JSON type is an error
// (FieldTypeError): the library would otherwise convert silently (a boolean read as an integer
// becomes 1, an out-of-range number converts with undefined behaviour).
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace brevant {

using json = nlohmann::json;

struct FieldTypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A string field, taken as it is.
std::string stringField(const json& msg, const char* key, const std::string& fallback);
// A number that fits a signed 32-bit integer; a fraction is truncated toward zero.
std::int32_t intField(const json& msg, const char* key, std::int32_t fallback);
// A number that fits an unsigned 32-bit integer; a fraction is truncated toward zero.
std::uint32_t uintField(const json& msg, const char* key, std::uint32_t fallback);
// A number that fits a signed 64-bit integer; a fraction is truncated toward zero.
std::int64_t int64Field(const json& msg, const char* key, std::int64_t fallback);
bool boolField(const json& msg, const char* key, bool fallback);

// The first of the keys whose value is a string that is not blank, trimmed of white space
// (space, tab, line feed, vertical tab, form feed, carriage return); keys that are missing, of
// another type or blank are passed over. The fallback when none qualifies.
std::string firstNonEmptyString(const json& msg, std::initializer_list<const char*> keys,
                                const std::string& fallback);

// Compact text of a value. Text that is not valid UTF-8 is replaced (U+FFFD) instead of making
// the serialisation throw; valid text is unchanged.
std::string dumpJson(const json& value);

// The text as dumpJson sends it: each sequence that is not valid UTF-8 replaced by U+FFFD,
// everything else unchanged.
std::string validUtf8(const std::string& text);

}  // namespace brevant
