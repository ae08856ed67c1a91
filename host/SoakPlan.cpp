#include "host/SoakPlan.h"

#include <algorithm>
#include <cstdio>

namespace host::soak {
namespace {

// splitmix64: the same numbers from the same seed on every system and compiler, which the
// standard library's distributions do not promise.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    int between(int low, int high) {
        return low + static_cast<int>(next() % static_cast<std::uint64_t>(high - low + 1));
    }
    double seconds(double low, double high) {
        return low + (high - low) * static_cast<double>(next() % 1001) / 1000.0;
    }
    bool chance(int percent) { return between(1, 100) <= percent; }
    template <class T>
    const T& pick(const std::vector<T>& items) {
        return items[static_cast<std::size_t>(between(0, static_cast<int>(items.size()) - 1))];
    }
    template <class T>
    void shuffle(std::vector<T>& items) {
        for (std::size_t i = items.size(); i > 1; --i)
            std::swap(items[i - 1], items[static_cast<std::size_t>(between(0, int(i) - 1))]);
    }

private:
    std::uint64_t state_;
};

class Planner {
public:
    // The network's faults come from a stream of their own, so that a seed's other steps stay
    // what they were before the network had any.
    explicit Planner(std::uint64_t seed) : rng_(seed), linkRng_(seed ^ 0x6c696e6b2d6661ULL) {
        plan_.seed = seed;
    }

    Plan make() {
        const int seriesCount = rng_.between(2, 3);
        int previousHost = -1;
        int friendlyPlayer = -1;  // waits out the 10 s before its own match
        bool friendlyPlanned = false;
        for (int s = 0; s < seriesCount; ++s) {
            const int series = openSeries(s, previousHost, friendlyPlayer);
            previousHost = plan_.series[series].host;
            const int games = rng_.between(2, 3);
            for (int g = 0; g < games; ++g) {
                beforeGame(series);
                linkFault(s == seriesCount - 1 && g == games - 1);
                gameOfSeries(series);
                if (friendlyPlayer >= 0 && g == 0) {
                    friendly(friendlyPlayer);
                    friendlyPlayer = -1;
                }
            }
            closeSeries(series);
            // One player of this series leaves it and plays a match of their own, while the
            // others play on without them.
            if (!friendlyPlanned) {
                friendlyPlanned = true;
                friendlyPlayer = rng_.pick(members(series));
                if (s == seriesCount - 1) {
                    friendly(friendlyPlayer);
                    friendlyPlayer = -1;
                }
            }
        }
        return std::move(plan_);
    }

private:
    void step(Step s) { plan_.steps.push_back(s); }

    std::vector<int> members(int series) const {
        std::vector<int> all{plan_.series[series].host};
        all.insert(all.end(), plan_.series[series].joiners.begin(),
                   plan_.series[series].joiners.end());
        return all;
    }

    int openSeries(int s, int previousHost, int excluded) {
        std::vector<int> free;
        for (int c = 0; c < kClients; ++c)
            if (c != excluded)
                free.push_back(c);
        rng_.shuffle(free);
        // Hosts change from one series to the next.
        std::stable_partition(free.begin(), free.end(), [&](int c) { return c != previousHost; });
        SeriesPlan series;
        series.server = "Liga " + std::to_string(s + 1);
        series.password = "pw" + std::to_string(rng_.between(100, 999));
        series.host = free[0];
        const int joiners = std::min<int>(int(free.size()) - 1, rng_.between(1, 2));
        series.joiners.assign(free.begin() + 1, free.begin() + 1 + joiners);
        plan_.series.push_back(series);
        const int index = int(plan_.series.size()) - 1;
        step({Act::Create, series.host, index});
        for (int j : series.joiners)
            step({Act::Join, j, index});
        return index;
    }

    void beforeGame(int series) {
        step({Act::Pause, -1, -1, -1, rng_.seconds(2, 6)});
        if (backendFaults_ < 3 && rng_.chance(35)) {
            ++backendFaults_;
            const int kind = rng_.between(0, 2);
            const Act act = kind == 0   ? Act::BackendKill
                            : kind == 1 ? Act::BackendFreeze
                                        : Act::BackendAway;
            Step fault{act};
            fault.seconds = act == Act::BackendKill ? rng_.seconds(0.5, 3) : rng_.seconds(5, 60);
            fault.thenKill = act == Act::BackendFreeze && rng_.chance(50);
            step(fault);
        }
        if (!uploadFault_ && rng_.chance(30)) {
            uploadFault_ = true;
            if (rng_.chance(50))
                step({Act::UploadFail});
            else
                step({Act::UploadStall, -1, -1, -1, rng_.seconds(5, 20)});
        }
        if (!refused_ && rng_.chance(30)) {
            refused_ = true;
            refusing_ = plan_.series[series].host;
            step({Act::RefuseUpdates, refusing_});
        }
        if (!ranked_ && rng_.chance(25)) {
            ranked_ = true;
            step({Act::Rank, rng_.between(0, kClients - 1)});
        }
    }

    // Every evening has its network's faults, a cut in silence among them.
    void linkFault(bool lastGame) {
        const bool due = lastGame && !linkCut_;
        if (!due && (linkFaults_ >= 3 || !linkRng_.chance(45)))
            return;
        ++linkFaults_;
        Step fault;
        fault.client = linkRng_.between(0, kClients - 1);
        const int kind = due ? 0 : linkRng_.between(0, 99);
        if (kind < 30) {
            fault.act = Act::LinkCut;
            fault.seconds = linkRng_.seconds(5, 60);
            linkCut_ = true;
        } else if (kind < 50) {
            fault.act = Act::LinkStall;
            fault.seconds = linkRng_.seconds(5, 60);
        } else if (kind < 65) {
            fault.act = Act::LinkReset;
        } else if (kind < 85) {
            fault.act = Act::LinkSlow;
            fault.seconds = linkRng_.seconds(20, 60);
            fault.rate = linkRng_.between(16, 64) * 1024;
        } else {
            fault.act = Act::LinkLate;
            fault.seconds = linkRng_.seconds(20, 60);
            fault.rate = linkRng_.between(100, 200);
        }
        step(fault);
    }

    ReplayPlan replay(int game, int client) {
        ReplayPlan r;
        if (!rng_.chance(80))
            return r;
        // Sizes name the game and the client, so that the backend's copy tells whose it is.
        r.bytes = 40000 + static_cast<std::uint64_t>(game) * 100 + static_cast<unsigned>(client);
        if (rng_.chance(20)) {  // written in slow bursts, as a slow disk would
            r.bursts = rng_.between(3, 4);
            r.burstSeconds = rng_.seconds(2, 4);
        } else {
            r.bursts = rng_.between(1, 3);
            r.burstSeconds = 0.3;
        }
        return r;
    }

    int newGame(int series, std::string match, std::vector<int> players) {
        GamePlan game;
        game.series = series;
        game.match = std::move(match);
        game.players = std::move(players);
        game.blue = ++lastBlue_;
        game.orange = rng_.between(0, 5);
        const int id = int(plan_.games.size());
        for (int c : game.players)
            game.replays[static_cast<std::size_t>(c)] = replay(id, c);
        plan_.games.push_back(game);
        return id;
    }

    void gameOfSeries(int series) {
        std::vector<int> players = members(series);
        rng_.shuffle(players);
        const int game = newGame(series, plan_.series[series].server, players);
        step({Act::GameEnd, -1, series, game});
        if (refusing_ >= 0) {
            step({Act::Pause, -1, -1, -1, rng_.seconds(2, 5)});
            step({Act::AcceptUpdates, refusing_});
            refusing_ = -1;
        }
    }

    void closeSeries(int series) {
        std::vector<int> staying = members(series);
        // A client dies or quits right after the series' last game.
        if (!clientFault_ && rng_.chance(60)) {
            clientFault_ = true;
            const int who = rng_.pick(staying);
            step({Act::Pause, -1, -1, -1, rng_.seconds(0, 1.5)});
            step({rng_.chance(50) ? Act::KillClient : Act::QuitClient, who, series, -1,
                  rng_.seconds(1, 4)});
            staying.erase(std::find(staying.begin(), staying.end(), who));
        }
        // The others leave once the post-game lobby has shown the score.
        step({Act::Pause, -1, -1, -1, rng_.seconds(1, 3)});
        for (int c : staying)
            step({Act::LeaveMatch, c});
    }

    void friendly(int client) {
        const int game = newGame(-1, "Amistoso " + std::string(clientName(client)), {client});
        step({Act::Friendly, client, -1, game});
    }

    Rng rng_;
    Rng linkRng_;
    Plan plan_;
    int linkFaults_ = 0;
    bool linkCut_ = false;
    int lastBlue_ = 0;
    int backendFaults_ = 0;
    bool uploadFault_ = false;
    bool refused_ = false;
    int refusing_ = -1;
    bool ranked_ = false;
    bool clientFault_ = false;
};

std::string fixed(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

const char* clientName(int client) {
    static const char* const names[kClients] = {"A", "B", "C"};
    return client >= 0 && client < kClients ? names[client] : "?";
}

Plan makePlan(std::uint64_t seed) {
    return Planner(seed).make();
}

std::string describe(const Plan& plan, const Step& step) {
    const std::string who = clientName(step.client);
    const std::string server = step.series >= 0 ? "'" + plan.series[step.series].server + "'" : "";
    switch (step.act) {
        case Act::Create:
            return who + " creates " + server;
        case Act::Join:
            return who + " joins " + server;
        case Act::GameEnd:
        case Act::Friendly: {
            const GamePlan& g = plan.games[static_cast<std::size_t>(step.game)];
            std::string players;
            for (int c : g.players) {
                const ReplayPlan& r = g.replays[static_cast<std::size_t>(c)];
                players +=
                    std::string(" ") + clientName(c) +
                    (r.bytes ? "(replay " + std::to_string(r.bytes) + " B in " +
                                   std::to_string(r.bursts) + "x" + fixed(r.burstSeconds) + ")"
                             : "");
            }
            return "game " + std::to_string(step.game) + " ends " + std::to_string(g.blue) + "-" +
                   std::to_string(g.orange) + " in '" + g.match + "':" + players;
        }
        case Act::LeaveMatch:
            return who + " goes back to the main menu";
        case Act::RefuseUpdates:
            return who + "'s game refuses map updates";
        case Act::AcceptUpdates:
            return who + "'s game accepts map updates again";
        case Act::Rank:
            return who + " submits its ranks";
        case Act::KillClient:
            return who + " is killed (kill -9), back after " + fixed(step.seconds);
        case Act::QuitClient:
            return who + " quits, back after " + fixed(step.seconds);
        case Act::BackendKill:
            return "backend killed (kill -9), back after " + fixed(step.seconds);
        case Act::BackendFreeze:
            return "backend frozen for " + fixed(step.seconds) + ", then " +
                   (step.thenKill ? "killed and started again" : "resumed");
        case Act::BackendAway:
            return "backend away for " + fixed(step.seconds);
        case Act::UploadFail:
            return "the next upload is answered 500";
        case Act::UploadStall:
            return "the next upload is answered after " + fixed(step.seconds);
        case Act::Pause:
            return "pause " + fixed(step.seconds);
        case Act::LinkCut:
            return who + "'s network cut in silence, healed after " + fixed(step.seconds);
        case Act::LinkSlow:
            return who + "'s uplink at " + std::to_string(step.rate / 1024) + " KiB/s for " +
                   fixed(step.seconds);
        case Act::LinkLate:
            return who + "'s network " + std::to_string(step.rate) + " +- " +
                   std::to_string(step.rate * 2 / 3) + " ms late for " + fixed(step.seconds);
        case Act::LinkReset:
            return who + "'s connections reset (RST)";
        case Act::LinkStall:
            return who + "'s connections stalled, resumed after " + fixed(step.seconds);
    }
    return "?";
}

}  // namespace host::soak
