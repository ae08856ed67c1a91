#include "backend/RankDesk.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "backend/Text.h"

namespace brevant::backend {
namespace {

struct Playlist {
    std::int64_t id;
    const char* name;
};
constexpr Playlist kPlaylists[] = {{10, "Ranked 1v1"}, {11, "Ranked 2v2"}, {13, "Ranked 3v3"}};
constexpr std::int64_t kMaxTier = 22;  // 1 Bronze I .. 22 Supersonic Legend; 0 is unranked
constexpr std::int64_t kMaxDivision = 3;
constexpr std::size_t kMaxEntries = 16;

std::optional<std::int64_t> asInt64(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    return value.get<std::int64_t>();
}

const Playlist* playlistById(std::int64_t id) {
    for (const Playlist& p : kPlaylists) {
        if (p.id == id)
            return &p;
    }
    return nullptr;
}

// What is wrong with the body's shape, or empty when it is well-formed.
std::string malformation(const Json& body) {
    if (!body.is_object())
        return "body is not a JSON object";
    const auto device = body.find("deviceId");
    if (device == body.end() || !device->is_string())
        return "deviceId must be a string";
    if (device->get_ref<const std::string&>().empty())
        return "deviceId is empty";
    const auto ranks = body.find("ranks");
    if (ranks == body.end() || !ranks->is_array())
        return "ranks must be an array";
    if (ranks->size() > kMaxEntries)
        return "more than " + std::to_string(kMaxEntries) + " ranks";
    for (std::size_t i = 0; i < ranks->size(); ++i) {
        const Json& rank = (*ranks)[i];
        const std::string where = "ranks[" + std::to_string(i) + "]";
        if (!rank.is_object())
            return where + " is not an object";
        for (const char* key : {"division", "playlistId", "tier"}) {
            const auto it = rank.find(key);
            if (it == rank.end() || !it->is_number_integer())
                return where + "." + key + " must be an integer";
        }
        const auto mmr = rank.find("mmr");
        if (mmr == rank.end() || !mmr->is_number())
            return where + ".mmr must be a number";
        const auto playlist = rank.find("playlist");
        if (playlist == rank.end() || !playlist->is_string())
            return where + ".playlist must be a string";
    }
    return {};
}

}  // namespace

RankDesk::RankDesk(LogBook& log, const Hub& hub, Store& store, std::chrono::milliseconds cooldown,
                   Clock clock, std::size_t maxRecords)
    : log_(log),
      hub_(hub),
      store_(store),
      cooldown_(cooldown),
      clock_(std::move(clock)),
      submissions_(maxRecords) {
    for (const auto& submission : store.loaded().rankSubmissions)
        submissions_.add(submission);
    for (const auto& [deviceId, row] : store.loaded().rankDevices)
        devices_[deviceId] = deviceOf(row);
}

// A cooldown is kept as the wall-clock moment it ends, so that it holds across a restart whose
// steady clock starts elsewhere.
RankDeviceRow RankDesk::rowOf(const Device& device) const {
    RankDeviceRow row;
    if (device.cooldownUntil) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*device.cooldownUntil - clock_());
        row.cooldownUntilMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  (std::chrono::system_clock::now() + left).time_since_epoch())
                                  .count();
    }
    Json accepted = Json::array();
    for (const Rank& rank : device.accepted.value_or(std::vector<Rank>{}))
        accepted.push_back({rank.playlistId, rank.tier, rank.division, rank.mmr});
    row.accepted = device.accepted ? dumpCompact(accepted) : std::string();
    return row;
}

RankDesk::Device RankDesk::deviceOf(const RankDeviceRow& row) const {
    Device device;
    const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    if (row.cooldownUntilMs > nowMs)
        device.cooldownUntil = clock_() + std::chrono::milliseconds(row.cooldownUntilMs - nowMs);
    const Json accepted = Json::parse(row.accepted, nullptr, false);
    if (!accepted.is_array())
        return device;
    std::vector<Rank> ranks;
    for (const Json& entry : accepted) {
        if (!entry.is_array() || entry.size() != 4 || !entry[0].is_number_integer() ||
            !entry[1].is_number_integer() || !entry[2].is_number_integer() || !entry[3].is_number())
            return device;
        ranks.push_back({entry[0].get<std::int64_t>(), entry[1].get<std::int64_t>(),
                         entry[2].get<std::int64_t>(), entry[3].get<double>()});
    }
    device.accepted = std::move(ranks);
    return device;
}

HttpReply RankDesk::submit(std::string_view body) {
    std::string error;
    const std::optional<Json> parsed = parseJson(body, 8, error);
    const std::string problem = parsed ? malformation(*parsed) : "body is " + error;

    std::lock_guard lock(mutex_);
    if (!problem.empty()) {
        RankSubmission refused{{}, Json(), 400, problem};
        store_.addRankSubmission(refused);
        submissions_.add(std::move(refused));
        log_.write("rank-submit refused (400): " + problem);
        return textReply(400, problem);
    }
    const std::string deviceId = (*parsed)["deviceId"].get<std::string>();
    const Json& ranks = (*parsed)["ranks"];
    // Its answer tells of a cooldown that must be kept: while it cannot be, nothing is decided
    // and the client tries again later.
    if (const std::string failure = store_.failure(); !failure.empty() || store_.full()) {
        const std::string why = failure.empty() ? "the changes waiting for it are full" : failure;
        log_.write("rank-submit device=" + escaped(deviceId, 60) +
                   " -> 503: the state file cannot take it now (" + why + ")");
        return textReply(503, "the backend cannot keep it now; try again later");
    }
    std::string note;
    bool changed = false;
    HttpReply reply = decide(deviceId, ranks, note, changed);
    RankSubmission record{deviceId, ranks, reply.status, reply.body};
    // The answer tells of the cooldown it began: written once that is on disk.
    reply.after = store_.addRankSubmission(record);
    submissions_.add(std::move(record));
    if (changed)
        reply.after = store_.saveRankDevice(deviceId, rowOf(devices_[deviceId]));
    log_.write("rank-submit device=" + escaped(deviceId, 60) +
               " ranks=" + std::to_string(ranks.size()) + " -> " + reply.body +
               (note.empty() ? "" : " (" + note + ")"));
    return reply;
}

HttpReply RankDesk::decide(const std::string& deviceId, const Json& ranks, std::string& note,
                           bool& changed) {
    if (failNext_) {
        const std::string err = std::exchange(failNext_, std::nullopt).value();
        note = "forced by fail-rank";
        return jsonReply({{"ok", false}, {"err", err}});
    }
    if (!hub_.isPaired(deviceId))
        return jsonReply({{"ok", false}, {"err", "NO_DISCORD_LINKED"}});

    std::vector<Rank> valid;
    for (const Json& entry : ranks) {
        Rank rank;
        const auto id = asInt64(entry["playlistId"]);
        const auto tier = asInt64(entry["tier"]);
        const auto division = asInt64(entry["division"]);
        rank.mmr = entry["mmr"].get<double>();
        const Playlist* playlist = id ? playlistById(*id) : nullptr;
        if (!playlist || entry["playlist"].get<std::string>() != playlist->name || !tier ||
            *tier < 1 || *tier > kMaxTier || !division || *division < 0 ||
            *division > kMaxDivision || !std::isfinite(rank.mmr) || rank.mmr < 0)
            continue;
        rank.playlistId = *id;
        rank.tier = *tier;
        rank.division = *division;
        const bool repeated = std::any_of(valid.begin(), valid.end(), [&](const Rank& r) {
            return r.playlistId == rank.playlistId;
        });
        if (!repeated)
            valid.push_back(rank);
    }
    if (valid.empty()) {
        note = std::to_string(ranks.size()) + " entries, none valid";
        return jsonReply({{"ok", true}, {"note", "NO_VALID_RANKS"}});
    }
    std::sort(valid.begin(), valid.end(),
              [](const Rank& a, const Rank& b) { return a.playlistId < b.playlistId; });

    const auto now = clock_();
    Device& device = devices_[deviceId];
    if (device.cooldownUntil && now < *device.cooldownUntil) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(*device.cooldownUntil - now);
        return jsonReply({{"ok", true},
                          {"note", "COOLDOWN"},
                          {"retryAfterMs", static_cast<std::int64_t>(remaining.count())}});
    }
    device.cooldownUntil = now + cooldown_;
    changed = true;
    if (device.accepted && *device.accepted == valid) {
        note = "cooldown renewed";
        return jsonReply({{"ok", true}, {"note", "UNCHANGED"}});
    }
    device.accepted = std::move(valid);
    note = std::to_string(device.accepted->size()) + " ranks accepted, roles synchronised";
    return jsonReply({{"ok", true}});
}

void RankDesk::failNext(const std::string& err) {
    std::lock_guard lock(mutex_);
    if (err.empty())
        failNext_.reset();
    else
        failNext_ = err;
    log_.write(err.empty() ? std::string("fail-rank cleared")
                           : "fail-rank: the next rank submission fails with " + err);
}

std::optional<std::string> RankDesk::pendingFailure() const {
    std::lock_guard lock(mutex_);
    return failNext_;
}

std::vector<RankSubmission> RankDesk::submissions() const {
    std::lock_guard lock(mutex_);
    return submissions_.all();
}

}  // namespace brevant::backend
