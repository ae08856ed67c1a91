#include "backend/Json.h"

namespace brevant::backend {
namespace {

bool hasKind(const Json& value, JsonKind kind) {
    switch (kind) {
        case JsonKind::String:
            return value.is_string();
        case JsonKind::Boolean:
            return value.is_boolean();
        case JsonKind::Integer:
            return value.is_number_integer();
        case JsonKind::Number:
            return value.is_number();
        case JsonKind::Array:
            return value.is_array();
        case JsonKind::Object:
            return value.is_object();
    }
    return false;
}

const char* kindName(JsonKind kind) {
    switch (kind) {
        case JsonKind::String:
            return "a string";
        case JsonKind::Boolean:
            return "a boolean";
        case JsonKind::Integer:
            return "an integer";
        case JsonKind::Number:
            return "a number";
        case JsonKind::Array:
            return "an array";
        case JsonKind::Object:
            return "an object";
    }
    return "?";
}

}  // namespace

std::optional<Json> parseJson(std::string_view text, int maxDepth, std::string& error) {
    bool tooDeep = false;
    const Json::parser_callback_t watchDepth = [&](int depth, Json::parse_event_t, Json&) {
        if (depth > maxDepth)
            tooDeep = true;
        return true;
    };
    Json value = Json::parse(text.begin(), text.end(), watchDepth, false);
    if (value.is_discarded()) {
        error = "not JSON";
        return std::nullopt;
    }
    if (tooDeep) {
        error = "JSON nested deeper than " + std::to_string(maxDepth) + " levels";
        return std::nullopt;
    }
    return value;
}

std::string wrongMember(const Json& object,
                        std::initializer_list<std::pair<const char*, JsonKind>> members) {
    for (const auto& [key, kind] : members) {
        const auto it = object.find(key);
        if (it != object.end() && !hasKind(*it, kind))
            return std::string("\"") + key + "\" is not " + kindName(kind);
    }
    return {};
}

std::string stringMember(const Json& object, const char* key, const std::string& fallback) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return fallback;
    return it->get<std::string>();
}

std::string dumpCompact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace brevant::backend
