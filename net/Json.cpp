#include "net/Json.h"

#include <cmath>
#include <limits>

namespace brevant {
namespace {

const json* member(const json& msg, const char* key) {
    auto it = msg.find(key);
    return it == msg.end() ? nullptr : &*it;
}

[[noreturn]] void wrongType(const char* key) {
    throw FieldTypeError(std::string("field '") + key + "' has the wrong type");
}

// A JSON number as a whole number in [lo, hi], truncating a fraction.
template <typename T>
T wholeNumber(const json& v, const char* key) {
    constexpr auto lo = std::numeric_limits<T>::min();
    constexpr auto hi = std::numeric_limits<T>::max();
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(hi))
            wrongType(key);
        return static_cast<T>(u);
    }
    if (v.is_number_integer()) {
        auto i = v.get<std::int64_t>();
        if constexpr (std::is_signed_v<T>) {
            if (i < static_cast<std::int64_t>(lo) || i > static_cast<std::int64_t>(hi))
                wrongType(key);
        } else {
            if (i < 0 || static_cast<std::uint64_t>(i) > static_cast<std::uint64_t>(hi))
                wrongType(key);
        }
        return static_cast<T>(i);
    }
    if (v.is_number_float()) {
        double d = std::trunc(v.get<double>());
        // Bounds as doubles: lo is exact; hi + 1 is a power of two, also exact.
        if (!(d >= static_cast<double>(lo) && d < static_cast<double>(hi) + 1.0))
            wrongType(key);
        return static_cast<T>(d);
    }
    wrongType(key);
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string stringField(const json& msg, const char* key, const std::string& fallback) {
    const json* v = member(msg, key);
    if (!v)
        return fallback;
    if (!v->is_string())
        wrongType(key);
    return v->get<std::string>();
}

std::int32_t intField(const json& msg, const char* key, std::int32_t fallback) {
    const json* v = member(msg, key);
    return v ? wholeNumber<std::int32_t>(*v, key) : fallback;
}

std::uint32_t uintField(const json& msg, const char* key, std::uint32_t fallback) {
    const json* v = member(msg, key);
    return v ? wholeNumber<std::uint32_t>(*v, key) : fallback;
}

std::int64_t int64Field(const json& msg, const char* key, std::int64_t fallback) {
    const json* v = member(msg, key);
    return v ? wholeNumber<std::int64_t>(*v, key) : fallback;
}

bool boolField(const json& msg, const char* key, bool fallback) {
    const json* v = member(msg, key);
    if (!v)
        return fallback;
    if (!v->is_boolean())
        wrongType(key);
    return v->get<bool>();
}

std::string firstNonEmptyString(const json& msg, std::initializer_list<const char*> keys,
                                const std::string& fallback) {
    for (const char* key : keys) {
        const json* v = member(msg, key);
        if (!v || !v->is_string())
            continue;
        const auto& s = v->get_ref<const std::string&>();
        std::size_t first = 0, last = s.size();
        while (first < last && blank(s[first]))
            ++first;
        while (last > first && blank(s[last - 1]))
            --last;
        if (first < last)
            return s.substr(first, last - first);
    }
    return fallback;
}

std::string dumpJson(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string validUtf8(const std::string& text) {
    // The library's own replacement, read back: the same rule every message of ours follows.
    return json::parse(dumpJson(json(text))).get<std::string>();
}

}  // namespace brevant
