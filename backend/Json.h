#pragma once
// JSON helpers for text that comes from clients: parsing without exceptions and with a nesting
// limit (so that nothing later recurses through a hostile document), member type checks, and
// compact output that survives invalid UTF-8.
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace brevant::backend {

using Json = nlohmann::json;

enum class JsonKind { String, Boolean, Integer, Number, Array, Object };

// Nullopt with `error` set when the text is not JSON or nests deeper than maxDepth.
std::optional<Json> parseJson(std::string_view text, int maxDepth, std::string& error);

// The first of the listed members that is present in `object` with another type, as a short
// text such as "\"server\" is not a string"; empty when every present member has its type.
std::string wrongMember(const Json& object,
                        std::initializer_list<std::pair<const char*, JsonKind>> members);

// A string member, or `fallback` when it is absent or not a string.
std::string stringMember(const Json& object, const char* key, const std::string& fallback = {});

// Compact text; invalid UTF-8 in strings is replaced rather than thrown about.
std::string dumpCompact(const Json& value);

}  // namespace brevant::backend
