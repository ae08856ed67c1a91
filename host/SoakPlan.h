#pragma once
// A league evening for the soak, drawn from a seed: series back to back with changing hosts,
// games that end on every client of a series, a player's match of their own, ranks, and faults
// of the backend, of the uploads, of the clients and of a client's network (its link). The same
// seed always gives the same steps; how the threads of the programs meet while they run does not
// follow from it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace host::soak {

constexpr int kClients = 3;

enum class Act {
    Create,         // the backend orders `client` to create series `series`' match
    Join,           // ... and `client` to join it
    GameEnd,        // game `game` ends on every client that plays it
    LeaveMatch,     // `client`'s game goes back to the main menu
    Friendly,       // `client` plays game `game` in a match of its own, >10 s out of private ones
    RefuseUpdates,  // `client`'s game refuses map updates from now on
    AcceptUpdates,  // ... accepts them again
    Rank,           // `client` submits its ranks
    KillClient,     // `client`'s host program is killed (kill -9), started again after `seconds`
    QuitClient,     // `client` quits (the plugin unloads), started again after `seconds`
    BackendKill,    // the backend is killed (kill -9) and started again after `seconds`
    BackendFreeze,  // the backend is frozen (SIGSTOP) for `seconds`, then killed or resumed
    BackendAway,    // the backend stops and is away for `seconds`
    UploadFail,     // the next upload is answered 500
    UploadStall,    // the next upload is answered after `seconds`
    Pause,          // nothing happens for `seconds`
    // `client`'s network (see SoakLink.h), for `seconds`:
    LinkCut,    // cut in silence, then healed
    LinkSlow,   // client to server at `rate` bytes a second
    LinkLate,   // every piece `rate` ms late, with jitter of up to two thirds of it
    LinkReset,  // every connection reset at once (no `seconds`)
    LinkStall,  // the same connections stalled, then resumed
};

struct Step {
    Act act = Act::Pause;
    int client = -1;
    int series = -1;
    int game = -1;
    double seconds = 0;
    bool thenKill = false;  // BackendFreeze: killed (and started again) rather than resumed
    int rate = 0;           // LinkSlow: bytes a second; LinkLate: milliseconds
};

struct ReplayPlan {
    std::uint64_t bytes = 0;  // 0: the game saves no replay; else unique in the evening
    int bursts = 1;
    double burstSeconds = 0;
};

struct GamePlan {
    int series = -1;    // -1: a match of the player's own
    std::string match;  // the series' match or the player's own
    std::vector<int> players;
    int blue = 0;  // blue's score is unique in the evening
    int orange = 0;
    std::array<ReplayPlan, kClients> replays{};
};

struct SeriesPlan {
    std::string server;
    std::string password;
    int host = 0;
    std::vector<int> joiners;
};

struct Plan {
    std::uint64_t seed = 0;
    std::vector<SeriesPlan> series;
    std::vector<GamePlan> games;
    std::vector<Step> steps;
};

Plan makePlan(std::uint64_t seed);
// "B joins 'Liga 1-2'", "game 3 ends 4-1 ('Liga 1-2': A B)", "backend frozen 12.0 s, then killed"
std::string describe(const Plan& plan, const Step& step);
const char* clientName(int client);

}  // namespace host::soak
