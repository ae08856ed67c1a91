#pragma once
// What the outbox delivers and through what: a replay's record, the outcome of one try, the
// senders the plugin gives it, and a line of its listing.
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "net/BackendSession.h"

namespace brevant::outbox {

// What one delivery attempt came to.
enum class Attempt {
    Delivered,  // the backend has it: the record goes
    TryLater,   // no answer, or an answer that may change (5xx, 408, 429): the record stays
    Refused,    // refused for good (another 4xx): the record goes, with a line
    Gone,       // the replay file is no longer there: the record goes, with a line
};

struct ReplayRecord {
    std::string path;  // UTF-8
    std::uint64_t size = 0;
    std::int64_t writeTime = 0;  // the file's last-write time when it was found, raw
    bool owned = false;          // the replay of a match this plugin hosted
    // The upload's fields, as they were when the replay was found.
    std::string deviceId;
    std::string server;
    std::string uploader;
};

struct Senders {
    // Hands a game result's text to the session: empty when the session took it (its frame in
    // `sent`), else why not ("sem conexao").
    std::function<std::string(const std::string& text, SentFrame& sent)> result;
    // Whether that frame is out on the socket of the session that is still open.
    std::function<bool(const SentFrame& sent)> written;
    // Whether the session with that number is still the open one.
    std::function<bool(std::uint64_t session)> open;
    // Uploads a replay; `attempt` counts the tries before this one. A stop request ends it at
    // once (TryLater).
    std::function<Attempt(const ReplayRecord& record, int attempt, std::stop_token stop)> replay;
    // Whether the session with that number is still the open one and the backend has pinged on
    // it: a backend that pings keeps a session's results until it has pinged past them.
    std::function<bool(std::uint64_t session)> pinged;
};

struct Pending {
    std::string kind;  // "result" or "replay"
    std::string name;
    int attempts = 0;
    std::string nextTry;  // "ao conectar", "agora", "em 57s", "enviado; aguardando o backend"
};

}  // namespace brevant::outbox
