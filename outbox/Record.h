#pragma once
// One thing the outbox keeps: its JSON file's format, and the checks a file read back must pass.
// A file is input like any other: the plugin may have been killed mid-write, an older or newer
// version may have written it, or a hand may have edited it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/BackendSession.h"
#include "net/Json.h"
#include "outbox/Delivery.h"

namespace brevant::outbox {

// A record's count of tries stays within these: the backoff shifts by it.
constexpr int mostAttempts = 1000;

struct Record {
    std::string kind;  // "result" or "replay"
    std::string name;
    std::int64_t createdMs = 0;  // wall clock
    int attempts = 0;
    std::string text;     // result
    ReplayRecord replay;  // replay

    // Kept in memory only. Replays: when the next try may begin (plugin clock; 0: at once).
    std::int64_t nextTryMs = 0;
    // Results: handed to a session and not yet shown to have reached a live backend (see
    // Outbox.h): which frame of which session, the pings since it was out, and when.
    bool sent = false;
    SentFrame frame;
    int pingsAfterWritten = 0;
    std::int64_t sentAtMs = 0;  // plugin clock
};

// The record as its file holds it.
json toJson(const Record& r);

// A record file's text, checked: every field of its kind present with its type, texts within
// their sizes, `attempts` within 0..mostAttempts, `created` not past `nowMs` by more than a
// minute, a replay's path one the watcher could have given. The reason when it is refused.
struct ReadRecord {
    std::optional<Record> record;
    std::string why;
};
ReadRecord readRecord(std::string_view text, std::int64_t nowMs);

}  // namespace brevant::outbox
