#include "host/SoakChecks.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <set>

namespace host::soak {
namespace {

class Checker {
public:
    explicit Checker(const EveningRecord& r) : r_(r) {}

    std::vector<Verdict> all() {
        return {gamesRecordedOnce(),
                replaysStoredOnce(),
                nothingOutsideASeries(),
                mapsStayInTheirSeries(),
                oneRotationPerSeries(),
                noCrash(),
                noSanitizerReport(),
                noTemporaryFile(),
                outboxesEmpty(),
                probesAnswered(),
                reachable(),
                honestStatus(),
                unloadsShort(),
                ordersCarriedOut()};
    }

private:
    const GamePlan& game(std::size_t g) const { return r_.plan.games[g]; }
    const std::string& id(int c) const { return r_.deviceIds[static_cast<std::size_t>(c)]; }

    // The first time the client went away (killed, or quit) after `from`; -1 when it did not.
    double wentAwayAfter(int c, double from) const {
        double first = -1;
        for (const auto& d : r_.deaths)
            if (d.client == c && d.at >= from && (first < 0 || d.at < first))
                first = d.at;
        return first;
    }
    // Whether the client showed a line of that side starting with `prefix` (and ending with
    // `suffix`) between the times.
    bool showed(int c, Side side, const std::string& prefix, double from, double to,
                const std::string& suffix = {}) const {
        for (const auto& e : r_.events)
            if (e.who == clientName(c) && e.side == side && e.seconds >= from && e.seconds <= to &&
                e.text.rfind(prefix, 0) == 0 && e.text.ends_with(suffix))
                return true;
        return false;
    }

    bool seriesGameOfItsHost(std::size_t g) const {
        const GamePlan& p = game(g);
        return p.series >= 0 && r_.seriesOpened[static_cast<std::size_t>(p.series)] &&
               r_.endedAt[g][static_cast<std::size_t>(r_.plan.series[p.series].host)] >= 0;
    }

    // Owned replays: by series game, the members that played it and whose game saved one.
    template <class F>
    void forEachOwnedReplay(F f) const {
        for (std::size_t g = 0; g < r_.plan.games.size(); ++g) {
            const GamePlan& p = game(g);
            if (p.series < 0 || !r_.seriesOpened[static_cast<std::size_t>(p.series)])
                continue;
            for (int c : p.players)
                if (r_.endedAt[g][static_cast<std::size_t>(c)] >= 0 &&
                    p.replays[static_cast<std::size_t>(c)].bytes > 0)
                    f(g, c, p.replays[static_cast<std::size_t>(c)].bytes);
        }
    }

    // A game that went away (killed, or quit) before it finished writing the replay left it cut
    // short, or left none.
    bool replayApart(std::size_t g, int c) const {
        const double ended = r_.endedAt[g][static_cast<std::size_t>(c)];
        const double gone = wentAwayAfter(c, ended);
        const std::uint64_t bytes = game(g).replays[static_cast<std::size_t>(c)].bytes;
        return gone >= 0 && !showed(c, Side::Game, "game: replay saved: ", ended, gone,
                                    " (" + std::to_string(bytes) + " bytes)");
    }

    static void fail(Verdict& v, const std::string& what, double at) {
        if (v.pass) {
            v.pass = false;
            v.violation = what;
            v.at = at;
        }
    }

    Verdict gamesRecordedOnce() const {
        Verdict v{"every series game is recorded once"};
        int games = 0, once = 0, apart = 0;
        for (std::size_t g = 0; g < r_.plan.games.size(); ++g) {
            if (!seriesGameOfItsHost(g))
                continue;
            ++games;
            const GamePlan& p = game(g);
            const int host = r_.plan.series[p.series].host;
            const double ended = r_.endedAt[g][static_cast<std::size_t>(host)];
            int rows = 0;
            for (const auto& row : r_.results)
                if (row.blue == p.blue && row.orange == p.orange && row.deviceId == id(host))
                    ++rows;
            // The host killed before its report was due (0.3 s after the end) took the game
            // with it; its report line tells whether it was due yet.
            const double gone = wentAwayAfter(host, ended);
            if (gone >= 0 && !showed(host, Side::Console, "[BRV] game_result ", ended, gone) &&
                rows <= 1) {
                ++apart;
                continue;
            }
            if (rows == 1)
                ++once;
            else
                fail(v,
                     "game " + std::to_string(g) + " (" + std::to_string(p.blue) + "-" +
                         std::to_string(p.orange) + " in '" + p.match + "', host " +
                         clientName(host) + ") is recorded " + std::to_string(rows) + " times",
                     ended);
        }
        v.counts = std::to_string(games) + " games, " + std::to_string(once) + " once, " +
                   std::to_string(apart) + " apart (host gone before its report)";
        return v;
    }

    Verdict replaysStoredOnce() const {
        Verdict v{"every owned replay is stored once, whole"};
        int owned = 0, once = 0, apart = 0;
        forEachOwnedReplay([&](std::size_t g, int c, std::uint64_t bytes) {
            ++owned;
            const double ended = r_.endedAt[g][static_cast<std::size_t>(c)];
            int copies = 0;
            bool whole = true;
            for (const auto& s : r_.replays)
                if (s.deviceId == id(c) && s.bytes == bytes) {
                    ++copies;
                    whole = whole && s.fileBytes == bytes;
                }
            if (replayApart(g, c) && copies <= 1) {
                ++apart;
                return;
            }
            if (copies == 1 && whole)
                ++once;
            else
                fail(v,
                     std::string(clientName(c)) + "'s replay of game " + std::to_string(g) + " (" +
                         std::to_string(bytes) + " B) is stored " + std::to_string(copies) +
                         " times" + (whole ? "" : ", not whole"),
                     ended);
        });
        v.counts = std::to_string(owned) + " owned, " + std::to_string(once) + " once, " +
                   std::to_string(apart) + " apart (game gone before the replay was written)";
        return v;
    }

    Verdict nothingOutsideASeries() const {
        Verdict v{"nothing of a game outside a series is recorded or stored"};
        std::set<std::pair<std::string, std::pair<int, int>>> results;
        for (std::size_t g = 0; g < r_.plan.games.size(); ++g)
            if (seriesGameOfItsHost(g))
                results.insert(
                    {id(r_.plan.series[game(g).series].host), {game(g).blue, game(g).orange}});
        std::set<std::pair<std::string, std::uint64_t>> replays;
        std::vector<std::pair<std::string, std::uint64_t>> cut;  // counted apart: may be short
        forEachOwnedReplay([&](std::size_t g, int c, std::uint64_t bytes) {
            replays.insert({id(c), bytes});
            if (replayApart(g, c))
                cut.push_back({id(c), bytes});
        });
        auto gameWith = [&](int blue, int orange) -> const GamePlan* {
            for (const auto& p : r_.plan.games)
                if (p.blue == blue && p.orange == orange)
                    return &p;
            return nullptr;
        };
        int stray = 0;
        for (const auto& row : r_.results) {
            if (results.count({row.deviceId, {row.blue, row.orange}}))
                continue;
            ++stray;
            const GamePlan* p = gameWith(row.blue, row.orange);
            fail(v,
                 "a result " + std::to_string(row.blue) + "-" + std::to_string(row.orange) +
                     " filed under '" + row.server + "' by " + row.deviceId +
                     (p ? " is of the match '" + p->match + "'" : " is of no game played"),
                 -1);
        }
        for (const auto& s : r_.replays) {
            if (replays.count({s.deviceId, s.bytes}) ||
                std::any_of(cut.begin(), cut.end(), [&](const auto& apart) {
                    return apart.first == s.deviceId && s.bytes < apart.second;
                }))
                continue;
            ++stray;
            fail(v,
                 "a replay " + s.fileName + " (" + std::to_string(s.bytes) + " B) filed under '" +
                     s.server + "' by " + s.deviceId + " is of no series game",
                 -1);
        }
        v.counts = std::to_string(r_.results.size()) + " results, " +
                   std::to_string(r_.replays.size()) + " replays stored, " + std::to_string(stray) +
                   " of no series game";
        return v;
    }

    int seriesNamed(const std::string& server) const {
        for (std::size_t s = 0; s < r_.plan.series.size(); ++s)
            if (r_.plan.series[s].server == server)
                return static_cast<int>(s);
        return -1;
    }

    Verdict mapsStayInTheirSeries() const {
        Verdict v{"no map of a series goes into another match"};
        static const std::regex note(
            R"(^game: UpdatePrivateMatch map=(\S+) .* -> accepted in '(.*)'$)");
        int maps = 0, handedOver = 0;
        for (const auto& e : r_.events) {
            std::smatch m;
            if (e.side != Side::Game || !std::regex_match(e.text, m, note))
                continue;
            ++maps;
            const std::string match = m[2];
            const int c = e.who.empty() ? -1 : e.who[0] - 'A';
            const int s = seriesNamed(match);
            if (s < 0) {
                fail(v, e.who + " put " + std::string(m[1]) + " into '" + match + "'", e.seconds);
                continue;
            }
            if (r_.plan.series[s].host == c)
                continue;
            // A member that is not the host changes the map only for the host, when the host
            // hands it over.
            if (showed(c, Side::Console, "[BRV] tentar aplicar", e.seconds, e.seconds + 2)) {
                ++handedOver;
                continue;
            }
            fail(v,
                 e.who + " put " + std::string(m[1]) + " into '" + match +
                     "', whose host it is not, without a hand-off",
                 e.seconds);
        }
        v.counts = std::to_string(maps) + " maps put in, " + std::to_string(handedOver) +
                   " of them handed over";
        return v;
    }

    Verdict oneRotationPerSeries() const {
        Verdict v{"the clients of one series end with the same rotation"};
        std::map<std::string, std::vector<int>> byServer;
        for (int c = 0; c < kClients; ++c) {
            const auto& file = r_.rotationFiles[static_cast<std::size_t>(c)];
            if (file.is_object() && file.contains("server") && file["server"].is_string())
                byServer[file["server"].get<std::string>()].push_back(c);
        }
        for (const auto& [server, clients] : byServer)
            for (int c : clients)
                if (r_.rotationFiles[static_cast<std::size_t>(c)].value("rotation",
                                                                        nlohmann::json()) !=
                    r_.rotationFiles[static_cast<std::size_t>(clients[0])].value("rotation",
                                                                                 nlohmann::json()))
                    fail(v,
                         std::string(clientName(c)) + " and " + clientName(clients[0]) +
                             " hold different rotations of '" + server + "'",
                         -1);
        v.counts = std::to_string(byServer.size()) + " series in the clients' files";
        return v;
    }

    Verdict noCrash() const {
        Verdict v{"no process crashed", false};
        for (const auto& e : r_.exits)
            fail(v, e, -1);
        v.counts = std::to_string(r_.exits.size()) + " unexpected ends";
        return v;
    }

    Verdict noSanitizerReport() const {
        Verdict v{"no sanitizer report", false};
        int reports = 0;
        for (const auto& e : r_.events)
            if (e.text.find("Sanitizer") != std::string::npos ||
                e.text.find("runtime error: ") != std::string::npos) {
                ++reports;
                fail(v, (e.who.empty() ? "backend" : e.who) + ": " + e.text, e.seconds);
            }
        v.counts = std::to_string(reports) + " report lines";
        return v;
    }

    Verdict noTemporaryFile() const {
        Verdict v{"no temporary file after a clean quit", false};
        for (const auto& f : r_.temporaryFiles)
            fail(v, f, -1);
        v.counts = std::to_string(r_.temporaryFiles.size()) + " left";
        return v;
    }

    Verdict outboxesEmpty() const {
        Verdict v{"no outbox record older than the evening", false};
        int left = 0;
        for (int c = 0; c < kClients; ++c) {
            left += r_.outboxLeft[static_cast<std::size_t>(c)];
            if (r_.outboxLeft[static_cast<std::size_t>(c)] > 0)
                fail(v,
                     std::string(clientName(c)) + " still holds " +
                         std::to_string(r_.outboxLeft[static_cast<std::size_t>(c)]) +
                         " records after the quiet period",
                     r_.quietFrom);
        }
        v.counts = std::to_string(left) + " records left";
        return v;
    }

    Verdict probesAnswered() const {
        Verdict v{"every console probe is answered within 3 s", false};
        int asked = 0;
        double worst = 0;
        for (const auto& p : r_.probes) {
            // A probe whose client was killed or quit meanwhile asked nobody.
            const double gone = wentAwayAfter(p.client, p.sentAt);
            if (gone >= 0 && gone < p.sentAt + 10)
                continue;
            ++asked;
            worst = std::max(worst, p.answeredIn < 0 ? 10.0 : p.answeredIn);
            if (p.answeredIn < 0 || p.answeredIn > 3)
                fail(v,
                     std::string(clientName(p.client)) + " answered brv_status " +
                         (p.answeredIn < 0 ? "not at all"
                                           : "after " + std::to_string(p.answeredIn) + " s"),
                     p.sentAt);
        }
        v.counts = std::to_string(asked) + " probes, worst " + std::to_string(worst) + " s";
        return v;
    }

    // After every heal (and resume, and reset) of a client's network, the client takes an order
    // again within its silence limit and one reconnect delay.
    Verdict reachable() const {
        Verdict v{"every client takes orders again after its network comes back", false};
        double worst = 0;
        for (const auto& r : r_.reaches) {
            worst = std::max(worst, r.took < 0 ? 1e9 : r.took);
            if (r.took < 0)
                fail(v,
                     std::string(clientName(r.client)) + " took no order after " + r.after +
                         " of its network",
                     r.from);
        }
        char text[96];
        std::snprintf(text, sizeof text, "%zu times back, worst %.1f s", r_.reaches.size(),
                      r_.reaches.empty() || worst >= 1e9 ? 0.0 : worst);
        v.counts = text;
        return v;
    }

    // While a client's network has been silent for longer than its silence limit (20 s with the
    // backend's pings every second), its status never says it is connected without saying how
    // long the backend has been silent; nor, already, past twice the pings' period and a margin.
    Verdict honestStatus() const {
        Verdict v{"no status claims a live connection through a silent network", false};
        constexpr double kAfter = 5;  // twice the pings' period, with room for late pings
        int asked = 0;
        for (const auto& f : r_.linkFaults) {
            if (!f.silent)
                continue;
            for (const auto& p : r_.probes) {
                const double at = p.sentAt + std::max(0.0, p.answeredIn);
                if (p.client != f.client || p.answeredIn < 0 || at < f.from + kAfter || at > f.to)
                    continue;
                ++asked;
                if (p.connection.find("Conexao: conectado") != std::string::npos &&
                    p.connection.find("sem noticias do backend") == std::string::npos)
                    fail(v,
                         std::string(clientName(p.client)) + " said '" + p.connection + "' " +
                             std::to_string(static_cast<int>(at - f.from)) +
                             " s into a silent network",
                         at);
            }
        }
        v.counts = std::to_string(asked) + " probes during silent networks";
        return v;
    }

    Verdict unloadsShort() const {
        Verdict v{"every unload holds the game thread under 100 ms", false};
        static const std::regex line(
            R"(^brevant-host: plugin unloaded in \d+ ms \(the game thread waited (\d+) ms\))");
        int unloads = 0;
        long worst = 0;
        for (const auto& e : r_.events) {
            std::smatch m;
            if (e.side != Side::Host || !std::regex_search(e.text, m, line))
                continue;
            ++unloads;
            const long ms = std::stol(m[1]);
            worst = std::max(worst, ms);
            if (ms >= 100)
                fail(v, e.who + "'s unload took " + std::to_string(ms) + " ms", e.seconds);
        }
        v.counts = std::to_string(unloads) + " unloads, worst " + std::to_string(worst) + " ms";
        return v;
    }

    Verdict ordersCarriedOut() const {
        Verdict v{"every step of the evening happened", false};
        for (const auto& s : r_.stepsNotDone)
            fail(v, s, -1);
        if (!r_.settled)
            fail(v, "the quiet period ended before everything owed arrived", r_.quietFrom);
        v.counts = std::to_string(r_.plan.steps.size()) + " steps, " +
                   std::to_string(r_.stepsNotDone.size()) + " not done";
        return v;
    }

    const EveningRecord& r_;
};

}  // namespace

std::vector<Verdict> checkEvening(const EveningRecord& record) {
    return Checker(record).all();
}

}  // namespace host::soak
