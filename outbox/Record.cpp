#include "outbox/Record.h"

#include <algorithm>

namespace brevant::outbox {
namespace {

constexpr std::size_t maxNameBytes = 512;
constexpr std::size_t maxFieldBytes = 1024;  // device, server, uploader
constexpr std::size_t maxPathBytes = 4096;
constexpr std::size_t maxTextBytes = 1024 * 1024;  // a result: the session's largest message
constexpr std::int64_t futureSlackMs = 60'000;

struct Refused {
    std::string why;
};

const json& member(const json& doc, const char* key) {
    const auto it = doc.find(key);
    if (it == doc.end())
        throw Refused{std::string("sem '") + key + "'"};
    return *it;
}

std::string text(const json& doc, const char* key, std::size_t most, bool mayBeEmpty = true) {
    const json& v = member(doc, key);
    if (!v.is_string())
        throw Refused{std::string("'") + key + "' nao e texto"};
    const auto& s = v.get_ref<const std::string&>();
    if (s.size() > most)
        throw Refused{std::string("'") + key + "' longo demais"};
    if (!mayBeEmpty && s.empty())
        throw Refused{std::string("'") + key + "' vazio"};
    return s;
}

std::int64_t whole(const json& doc, const char* key, std::int64_t least, std::int64_t most) {
    const json& v = member(doc, key);
    if (!v.is_number_integer())
        throw Refused{std::string("'") + key + "' nao e inteiro"};
    const bool fits = v.is_number_unsigned()
                          ? v.get<std::uint64_t>() <= static_cast<std::uint64_t>(most)
                          : v.get<std::int64_t>() >= least && v.get<std::int64_t>() <= most;
    if (!fits)
        throw Refused{std::string("'") + key + "' fora dos limites"};
    return v.get<std::int64_t>();
}

// A path the replay watcher could have handed over: a whole file name ending in ".replay", no
// control characters.
bool replayPath(const std::string& path) {
    constexpr std::string_view ending = ".replay";
    if (path.size() <= ending.size() ||
        path.compare(path.size() - ending.size(), ending.size(), ending) != 0)
        return false;
    const auto slash = path.find_last_of("/\\");
    if (slash != std::string::npos && path.size() - slash - 1 <= ending.size())
        return false;
    return std::none_of(path.begin(), path.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

json toJson(const Record& r) {
    json doc{
        {"kind", r.kind}, {"name", r.name}, {"created", r.createdMs}, {"attempts", r.attempts}};
    if (r.kind == "result") {
        doc["text"] = r.text;
    } else {
        doc["path"] = r.replay.path;
        doc["size"] = r.replay.size;
        doc["writeTime"] = r.replay.writeTime;
        doc["owned"] = r.replay.owned;
        doc["deviceId"] = r.replay.deviceId;
        doc["server"] = r.replay.server;
        doc["uploader"] = r.replay.uploader;
    }
    return doc;
}

ReadRecord readRecord(std::string_view input, std::int64_t nowMs) {
    const json doc = json::parse(input, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded())
        return {std::nullopt, "nao e JSON"};
    if (!doc.is_object())
        return {std::nullopt, "nao e um objeto"};
    try {
        Record r;
        r.kind = text(doc, "kind", 16);
        r.name = text(doc, "name", maxNameBytes);
        r.createdMs = whole(doc, "created", 0, nowMs + futureSlackMs);
        r.attempts = static_cast<int>(whole(doc, "attempts", 0, mostAttempts));
        if (r.kind == "result") {
            r.text = text(doc, "text", maxTextBytes, false);
        } else if (r.kind == "replay") {
            r.replay.path = text(doc, "path", maxPathBytes, false);
            if (!replayPath(r.replay.path))
                return {std::nullopt, "'path' nao e de um replay"};
            r.replay.size = static_cast<std::uint64_t>(whole(doc, "size", 0, INT64_MAX));
            r.replay.writeTime = whole(doc, "writeTime", INT64_MIN, INT64_MAX);
            const json& owned = member(doc, "owned");
            if (!owned.is_boolean())
                return {std::nullopt, "'owned' nao e booleano"};
            r.replay.owned = owned.get<bool>();
            r.replay.deviceId = text(doc, "deviceId", maxFieldBytes);
            r.replay.server = text(doc, "server", maxFieldBytes);
            r.replay.uploader = text(doc, "uploader", maxFieldBytes);
        } else {
            return {std::nullopt, "tipo desconhecido"};
        }
        return {std::move(r), {}};
    } catch (const Refused& refused) {
        return {std::nullopt, refused.why};
    } catch (...) {
        return {std::nullopt, "ilegivel"};
    }
}

}  // namespace brevant::outbox
