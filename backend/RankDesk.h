#pragma once
// POST /rank-submit: checks a submission, decides the answer the community bot would give
// (roles synchronised, unchanged, cooldown, or an error) and remembers what it accepted.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/Records.h"
#include "backend/Reply.h"
#include "backend/Server.h"

namespace brevant::backend {

class RankDesk {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The list of submissions keeps its latest `maxRecords` entries.
    // Begins with the submissions and cooldowns `store` held and hands it every change.
    RankDesk(LogBook& log, const Hub& hub, Store& store, std::chrono::milliseconds cooldown,
             Clock clock, std::size_t maxRecords);

    HttpReply submit(std::string_view body);

    // The next well-formed submission is answered {"ok":false,"err":err}, whatever it holds.
    // An empty err cancels a pending one.
    void failNext(const std::string& err);
    std::optional<std::string> pendingFailure() const;

    std::vector<RankSubmission> submissions() const;

private:
    struct Rank {
        std::int64_t playlistId = 0;
        std::int64_t tier = 0;
        std::int64_t division = 0;
        double mmr = 0;
        bool operator==(const Rank&) const = default;
    };
    struct Device {
        std::optional<std::chrono::steady_clock::time_point> cooldownUntil;
        std::optional<std::vector<Rank>> accepted;  // sorted by playlist
    };

    // `changed` when the device's cooldown or accepted ranks changed.
    HttpReply decide(const std::string& deviceId, const Json& ranks, std::string& note,
                     bool& changed);
    RankDeviceRow rowOf(const Device& device) const;
    Device deviceOf(const RankDeviceRow& row) const;

    LogBook& log_;
    const Hub& hub_;
    Store& store_;
    const std::chrono::milliseconds cooldown_;
    const Clock clock_;
    mutable std::mutex mutex_;
    std::optional<std::string> failNext_;
    std::map<std::string, Device> devices_;
    Records<RankSubmission> submissions_;
};

}  // namespace brevant::backend
