#pragma once
// One league evening of the soak, played for real: the reference backend and three host
// programs as processes, driven through the steps of a plan, then a quiet period that lets
// everything owed arrive. What happened is kept for the invariants (SoakChecks.h).
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/SoakPlan.h"
#include "host/Timeline.h"

namespace host::soak {

struct EveningSetup {
    std::filesystem::path hostProgram;
    std::filesystem::path module;
    std::filesystem::path backendProgram;
    std::filesystem::path folder;  // emptied first
};

struct ResultRow {
    std::string deviceId;
    std::string server;
    int blue = -1;
    int orange = -1;
};

struct StoredReplay {
    std::string deviceId;
    std::string server;
    std::string fileName;
    std::uint64_t bytes = 0;      // as the client sent it
    std::uint64_t fileBytes = 0;  // what the backend's file holds
};

struct Probe {
    int client = 0;
    double sentAt = 0;
    double answeredIn = -1;  // seconds; -1: no answer within the limit
    std::string connection;  // its status line about the connection ("[BRV] Status: Conexao: ...")
};

// A fault of a client's network, from its start to its end (the heal).
struct LinkFault {
    int client = 0;
    Act act = Act::LinkCut;
    double from = 0;
    double to = 0;
    bool silent = false;  // nothing passed meanwhile (cut, stalled)
};

// After the network came back (a heal, a resume, a reset): how long until the client's session
// took an order again (-1: not within the bound).
struct Reach {
    int client = 0;
    double from = 0;
    double took = -1;
    std::string after;  // what came back
};

struct EveningRecord {
    Plan plan;
    std::array<std::string, kClients> deviceIds;
    std::vector<bool> seriesOpened;               // by series: its host said it owns the match
    std::vector<std::vector<int>> seriesMembers;  // by series: who is in it
    // By game, by client: when the game's end reached that client's game (-1: not played).
    std::vector<std::array<double, kClients>> endedAt;
    struct Death {
        int client;
        double at;
        bool clean;
    };
    std::vector<Death> deaths;
    std::vector<std::string> stepsNotDone;  // orders the clients never carried out
    double quietFrom = 0;                   // when the quiet period began
    bool settled = false;                   // every outbox emptied in the quiet period

    // After the evening:
    std::vector<ResultRow> results;
    std::vector<StoredReplay> replays;
    std::array<nlohmann::json, kClients> rotationFiles;
    std::array<int, kClients> outboxLeft{};
    std::vector<std::string> temporaryFiles;
    std::vector<Probe> probes;
    std::vector<LinkFault> linkFaults;
    std::vector<Reach> reaches;
    std::vector<std::string> exits;  // "A quit with code 1", "the backend ended by itself (134)"
    std::vector<TimelineEvent> events;
};

// Plays the evening of `seed`; the timeline gets every line of every process.
EveningRecord playEvening(const EveningSetup& setup, std::uint64_t seed, Timeline& timeline);

}  // namespace host::soak
