#include "host/DemoScenario.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "host/ConsoleText.h"

namespace host {
namespace {

struct StepFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const std::string seriesServer = "Serie Demo";
const std::string nextSeriesServer = "Serie Demo 2";

class Run {
public:
    Run(const DemoParts& parts, Timeline& timeline, std::chrono::milliseconds timeout)
        : parts_(parts), timeline_(timeline), timeout_(timeout) {}

    void step(const std::string& name) {
        step_ = name;
        mark_ = timeline_.size();
        timeline_.add(Side::Demo, "-- " + name);
    }
    const std::string& currentStep() const { return step_; }
    const DemoParts& parts() const { return parts_; }
    // Where the current step began on the timeline.
    std::size_t mark() const { return mark_; }

    // Waits for an event of that client and side whose text equals (or starts with) the given
    // plugin text, counting from `since`. Answers the event's text.
    std::string expect(const DemoClient& client, Side side, const std::string& text,
                       bool prefix = false, std::size_t since = 0) {
        const std::string shown = toTerminalText(text);
        std::string seen;
        const bool found = timeline_.waitFor(
            [&](const TimelineEvent& e) {
                if (e.who != client.name() || e.side != side ||
                    !(prefix ? e.text.rfind(shown, 0) == 0 : e.text == shown))
                    return false;
                seen = e.text;
                return true;
            },
            timeout_, since);
        if (!found)
            throw StepFailed("no " + client.name() + " " + describe(side) + " \"" + shown + "\"");
        return seen;
    }
    // Waits until `count` console lines of the client starting with the text came since `since`.
    void expectCount(const DemoClient& client, const std::string& prefix, int count,
                     std::size_t since) {
        int seen = 0;
        const bool found = timeline_.waitFor(
            [&](const TimelineEvent& e) {
                if (e.who == client.name() && e.side == Side::Console &&
                    e.text.rfind(prefix, 0) == 0)
                    ++seen;
                return seen >= count;
            },
            timeout_, since);
        if (!found)
            throw StepFailed(std::to_string(seen) + " of " + std::to_string(count) + " " +
                             client.name() + " lines \"" + prefix + "\"");
    }
    // Waits for a backend event that holds every one of the texts.
    void expectBackend(std::initializer_list<std::string> parts, std::size_t since = 0) {
        if (!parts_.backendVisible)
            return;
        std::vector<std::string> texts(parts);
        const bool seen = timeline_.waitFor(
            [&](const TimelineEvent& e) {
                if (e.side != Side::Backend)
                    return false;
                for (const auto& t : texts)
                    if (e.text.find(t) == std::string::npos)
                        return false;
                return true;
            },
            timeout_, since);
        if (!seen)
            throw StepFailed("no backend event with \"" + texts.front() + "\"");
    }

    // Waits for a console line of the client that starts with one of the texts.
    std::string expectAny(const DemoClient& client, std::initializer_list<std::string> prefixes,
                          std::size_t since) {
        std::string seen;
        const bool found = timeline_.waitFor(
            [&](const TimelineEvent& e) {
                if (e.who != client.name() || e.side != Side::Console)
                    return false;
                for (const auto& p : prefixes)
                    if (e.text.rfind(toTerminalText(p), 0) == 0) {
                        seen = e.text;
                        return true;
                    }
                return false;
            },
            timeout_, since);
        if (!found)
            throw StepFailed("no " + client.name() + " console line \"" + *prefixes.begin() +
                             "\" (or the like)");
        return seen;
    }

    // Fails when the client showed, since `since`, an event of that side starting with the text.
    void expectNone(const DemoClient& client, Side side, const std::string& prefix,
                    std::size_t since) {
        const auto events = timeline_.events();
        for (std::size_t i = since; i < events.size(); ++i) {
            const auto& e = events[i];
            if (e.who == client.name() && e.side == side && e.text.rfind(prefix, 0) == 0)
                throw StepFailed(client.name() + " showed \"" + e.text + "\"");
        }
    }

    // A line on the client's console, waited for until the host program has taken it.
    void command(DemoClient& client, const std::string& line) {
        const std::size_t since = timeline_.size();
        client.command(line);
        expect(client, Side::Command, line, false, since);
    }

    std::string backend(const std::string& line) {
        std::string answer = parts_.backendCommand(line);
        // A listing's rows each on a line of their own.
        std::size_t start = 0;
        for (std::size_t end; (end = answer.find('\n', start)) != std::string::npos;
             start = end + 1)
            timeline_.add(Side::Demo, (start == 0 ? "backend> " + line + "  => " : "    ") +
                                          answer.substr(start, end - start));
        timeline_.add(Side::Demo,
                      (start == 0 ? "backend> " + line + "  => " : "    ") + answer.substr(start));
        if (answer.rfind("error", 0) == 0)
            throw StepFailed("the backend refused: " + line);
        return answer;
    }

    // Polls until the condition holds; for what shows on no timeline (a file).
    void waitUntil(const std::function<bool()>& condition, const std::string& what) {
        const auto deadline = std::chrono::steady_clock::now() + timeout_;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                throw StepFailed(what);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

private:
    static std::string describe(Side side) {
        switch (side) {
            case Side::Console:
                return "console line";
            case Side::Toast:
                return "toast";
            case Side::Game:
                return "game note";
            case Side::Host:
                return "host line";
            default:
                return "event";
        }
    }

    const DemoParts& parts_;
    Timeline& timeline_;
    std::chrono::milliseconds timeout_;
    std::string step_;
    std::size_t mark_ = 0;
};

nlohmann::json readRotationFile(const DemoClient& client) {
    std::ifstream in(client.dataFolder() / "plugins" / "brevant.rotate.json", std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    return nlohmann::json::parse(text, nullptr, false);
}

// The plugin's device identifier, as its console variable shows it.
std::string deviceIdOf(Run& run, DemoClient& client) {
    const std::size_t since = run.mark();
    run.command(client, "brv_deviceid");
    const std::string shown = run.expect(client, Side::Console, "brv_deviceid = \"", true, since);
    const std::string id = shown.substr(16, shown.size() - 17);
    if (id.empty())
        throw StepFailed("no device identifier");
    return id;
}

// Load, connect, pair: what every client goes through. Answers the device identifier.
std::string connectAndPair(Run& run, DemoClient& client, Timeline& timeline) {
    run.step(client.name() + ": load the plugin in its own host program");
    client.start();
    run.expect(client, Side::Console, "[BRV] Loaded. UI: F2 > Plugins > Brevant ou 'brevant_ui'.");
    const std::string id = deviceIdOf(run, client);
    timeline.add(Side::Demo, client.name() + "'s device identifier: " + id);

    run.step(client.name() + ": connection and hello");
    run.expect(client, Side::Console, "[BRV] Concetado");
    run.expectBackend({"[" + id + "]", "hello platform="});

    run.step(client.name() + ": pairing check at load, then pairing through the backend");
    run.expect(client, Side::Toast,
               "Brevant: Nao registrado. Cole no Discord: /addpair deviceid:" + id);
    run.backend("pair " + id + " player-" + client.name());
    run.expect(client, Side::Console, "[BRV] Device paired to your Discord. Ready.");
    return id;
}

void rankSubmission(Run& run, DemoClient& a, const std::string& idA, Timeline& timeline,
                    std::chrono::milliseconds stepTimeout) {
    run.step("A: ping and pong");
    run.backend("ping " + idA);
    run.expectBackend({"[" + idA + "]", " pong"});

    run.step("A: rank submission");
    run.command(a, "brv_rank");
    run.expect(a, Side::Toast, "Brevant: Rank verificado e sincronizado.");

    run.step("A: rank submission again, in the cooldown");
    // The first submission clears its in-flight mark just after its toast; a press that comes
    // in between is told to wait, and is pressed again once the worker has ended.
    for (int attempt = 0;; ++attempt) {
        const std::size_t mark = timeline.size();
        run.command(a, "brv_rank");
        const std::string wait = "Brevant: Aguarde o envio anterior terminar.";
        const std::string cooldown = "Brevant: Cooldown ativo. Tente de novo em ";
        std::string seen;
        timeline.waitFor(
            [&](const TimelineEvent& e) {
                if (e.who != a.name() || e.side != Side::Toast)
                    return false;
                if (e.text == wait || e.text.rfind(cooldown, 0) == 0)
                    seen = e.text;
                return !seen.empty();
            },
            stepTimeout, mark);
        if (seen.rfind(cooldown, 0) == 0)
            break;
        if (seen != wait || attempt == 5)
            throw StepFailed("no cooldown toast");
        a.command("workers");
        run.expect(a, Side::Host, "brevant-host: no worker running", false, mark);
    }
}

// A game of the series ends on the hosting side (`a`, which created the match); the post-game
// lobby puts `next` into the match and, once its timers have run, both games move to that map.
void gameEnds(Run& run, DemoClient& a, DemoClient& b, const std::string& idA, int game,
              const std::string& score, const std::string& next, const std::string& after,
              const std::string& server = seriesServer) {
    run.step("game " + std::to_string(game) + " ends (" + score +
             "): the post-game lobby puts the next map into the match");
    const std::size_t since = run.mark();
    // The game saves the match's replay in three writes, half a second apart.
    run.command(a, "game end " + score + " replay 300000 3 0.5");
    run.expect(a, Side::Console, "[BRV] markNextReplayIfOwned: owned=1", false, since);
    run.expect(a, Side::Console, "[BRV] post-game lobby (READY) -> aplicando troca", false, since);
    run.expect(a, Side::Console, "[BRV] UpdatePrivateMatch -> next=" + next, false, since);
    run.expect(a, Side::Game, "game: UpdatePrivateMatch map=" + next, true, since);
    // A created the match, so A reports the game; once, though both ends of a game trigger it.
    run.expect(a, Side::Console, "[BRV] game_result enviado: ", true, since);
    run.expectBackend({"[" + idA + "]", "game_result"}, since);
    // The lobby applies the map eight times over eight seconds; the series goes on after them.
    run.expectCount(a, "[BRV] UpdatePrivateMatch -> next=", 8, since);
    // A's watcher waits until the replay is complete, renames it as the bot's and uploads it.
    run.expect(a, Side::Game, "game: replay saved: ", true, since);
    const std::string sent = run.expect(a, Side::Console, "[BRV] Replay enviado (", true, since);
    if (sent.find("replay_VXA_") == std::string::npos)
        throw StepFailed("the uploaded replay lacks the owned prefix");
    run.expectBackend({"upload #", "file='replay_VXA_", "device=" + idA, "server='" + server},
                      since);

    run.step("both games load " + next + "; " + a.name() +
             "'s watchdog keeps the rotation in step");
    const std::size_t moved = run.mark();
    run.command(a, "game map " + next);
    run.command(b, "game map " + next);
    run.expect(a, Side::Game, "game: UpdatePrivateMatch map=" + after, true, moved);
}

void unloadBoth(Run& run, DemoClient& a, DemoClient& b, Timeline& timeline,
                const std::string& server = seriesServer) {
    run.step("both unload; their rotation files hold the same series");
    for (DemoClient* client : {&a, &b})
        if (!client->quit(std::chrono::seconds(20)))
            throw StepFailed(client->name() + "'s host program did not end cleanly");
    const auto fileA = readRotationFile(a);
    const auto fileB = readRotationFile(b);
    for (const auto* file : {&fileA, &fileB})
        if (!file->is_object() || file->value("server", "") != server)
            throw StepFailed("a rotation file does not hold the series");
    if (fileA["rotation"] != fileB["rotation"])
        throw StepFailed("the rotation files hold different rotations");
    timeline.add(Side::Demo, "A's brevant.rotate.json: " + fileA.dump());
    timeline.add(Side::Demo, "B's brevant.rotate.json: " + fileB.dump());
}

// The backend goes away while game 3 is played and comes back after it. A, which reopens its
// session by itself, is back at once and sends the game's result and replay, kept meanwhile; B,
// which does not, stays closed until it is told to connect, then catches up the rotation. False
// when the backend cannot be taken away from here (an external one).
bool backendAwayDuringAGame(Run& run, DemoClient& a, DemoClient& b, const std::string& idA,
                            Timeline& timeline) {
    if (!run.parts().stopBackend || !run.parts().startBackend) {
        timeline.add(Side::Demo, "(an external backend: the outage is left out)");
        return false;
    }
    run.step("A reopens its session by itself (brv_ws_reconnect 1); B does not (the default)");
    run.command(a, "brv_ws_reconnect 1");

    run.step("the backend goes away; game 3 ends (2 2): A keeps its result and replay");
    std::size_t since = run.mark();
    run.parts().stopBackend();
    timeline.add(Side::Demo, "the backend has stopped");
    run.expectAny(a, {"[BRV] WS fechado pelo backend", "[BRV] WS error: "}, since);
    run.expectAny(b, {"[BRV] WS fechado pelo backend", "[BRV] WS error: "}, since);
    run.command(a, "game end 2 2 replay 300000 3 0.5");
    run.expect(a, Side::Console, "[BRV] game_result nao enviado (sem conexao): draw 2-2", false,
               since);
    run.expect(a, Side::Console,
               "[BRV] Outbox: game_result guardado para reenvio (draw 2-2 (" + seriesServer + "))",
               false, since);
    run.expect(a, Side::Console, "[BRV] Falha no upload (replay_VXA_", true, since);
    run.expect(a, Side::Console, "[BRV] Outbox: nova tentativa de replay_VXA_", true, since);

    run.step("the backend is back: A reconnects by itself, and game 3's result and replay arrive");
    since = run.mark();
    if (!run.parts().startBackend())
        throw StepFailed("the backend did not start again");
    timeline.add(Side::Demo, "the backend is back on its ports, built anew on its state file");
    run.expect(a, Side::Console, "[BRV] Concetado", false, since);
    run.expect(a, Side::Console,
               "[BRV] Outbox: game_result reenviado (draw 2-2 (" + seriesServer + "))", false,
               since);
    // A replay whose upload failed while the backend was away waits for its own next try (30 s
    // at first: a hello does not undo the backoff); the player can ask for it at once.
    timeline.add(
        Side::Demo,
        "A's replay may wait for its next try (30 s at first); brv_outbox_retry sends it now");
    run.command(a, "brv_outbox_retry");
    run.expect(a, Side::Console, "[BRV] Replay enviado (replay_VXA_", true, since);
    run.expectBackend({"[" + idA + "]", "game_result"}, since);
    run.expectBackend({"upload #", "device=" + idA}, since);
    // The backend was built anew on its state file: the pairing held.
    run.expectNone(a, Side::Console, "[BRV] Pair required", since);

    run.step("B stays closed until brv_ws_connect, then catches up the rotation");
    run.expectNone(b, Side::Console, "[BRV] Concetado", since);
    const std::size_t asked = run.mark();
    run.command(b, "brv_ws_connect");
    run.expect(b, Side::Console, "[BRV] Concetado", false, asked);
    run.expect(b, Side::Console, "[BRV] rotate_state_req enviado", false, asked);
    const std::string broadcast =
        run.expect(a, Side::Console, "[BRV] rotate_state broadcast (rev=", true, asked);
    const auto rev = std::stoul(broadcast.substr(broadcast.find('=') + 1));
    run.waitUntil(
        [&] {
            const auto file = readRotationFile(b);
            return file.is_object() && file.value("rev", 0u) >= rev;
        },
        "B did not catch up A's rotation");
    run.expectNone(b, Side::Console, "[BRV] Pair required", asked);
    timeline.add(Side::Demo, "B holds A's rotation again (revision " + std::to_string(rev) + ")");

    run.step("both games load UtopiaStadium_Dusk_P; A's watchdog keeps the rotation in step");
    since = run.mark();
    run.command(a, "game map UtopiaStadium_Dusk_P");
    run.command(b, "game map UtopiaStadium_Dusk_P");
    run.expect(a, Side::Game, "game: UpdatePrivateMatch map=cs_p", true, since);
    return true;
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
        ++n;
    return n;
}

// Another evening: both games restart, B hosts the next series and A joins it with the first
// series still in its rotation file. A follows B's rotation and puts none of its old maps
// anywhere.
void nextSeries(Run& run, DemoClient& a, DemoClient& b, const std::string& idA,
                const std::string& idB, Timeline& timeline) {
    run.step("both games start again; A's rotation file still holds the first series");
    for (DemoClient* client : {&a, &b}) {
        const std::size_t since = timeline.size();
        client->restart();
        run.expect(*client, Side::Console, "[BRV] Device paired to your Discord. Ready.", false,
                   since);
    }

    run.step("the backend orders B to create the next series' match");
    std::size_t since = run.mark();
    run.backend("create " + idB + " \"" + nextSeriesServer + "\" demo456 5 6");
    run.expect(b, Side::Console, "[BRV] Lobby OWNED pelo bot", false, since);
    run.expect(b, Side::Console, "[BRV] Rotacao ativa: MD5 | inicio=EuroStadium_Night_P", false,
               since);
    run.expectBackend({"[" + idB + "]", "rotate_state ", "relayed to nobody"}, since);

    run.step("A joins it: it leaves the first series behind and takes B's rotation");
    const std::size_t joined = run.mark();
    run.command(a, "game map EuroStadium_Night_P");
    run.backend("join " + idA + " \"" + nextSeriesServer + "\" demo456");
    run.expect(a, Side::Console,
               "[BRV] join_private -> sala='" + nextSeriesServer + "' pass='demo456'", false,
               joined);
    run.expect(a, Side::Console, "[BRV] rotate_state_req enviado", false, joined);
    run.expect(b, Side::Console, "[BRV] rotate_state broadcast (rev=", true, joined);
    run.waitUntil(
        [&] {
            const auto file = readRotationFile(a);
            return file.is_object() && file.value("server", "") == nextSeriesServer &&
                   file["rotation"] == readRotationFile(b)["rotation"];
        },
        "A did not take B's rotation");
    timeline.add(Side::Demo, "A holds B's rotation for \"" + nextSeriesServer + "\"");

    gameEnds(run, b, a, idB, 1, "2 0", "CHN_Stadium_P", "Stadium_P", nextSeriesServer);
    run.step("A put nothing of the first series into the new match");
    run.expectNone(a, Side::Console, "[BRV] handoff", joined);
    run.expectNone(a, Side::Game, "game: UpdatePrivateMatch", joined);
    timeline.add(Side::Demo, "A sent no hand-off and changed no map since it joined");
    unloadBoth(run, a, b, timeline, nextSeriesServer);
}

void runSeries(Run& run, DemoClient& a, DemoClient& b, Timeline& timeline,
               std::chrono::milliseconds stepTimeout) {
    const std::string idA = connectAndPair(run, a, timeline);
    rankSubmission(run, a, idA, timeline, stepTimeout);
    const std::string idB = connectAndPair(run, b, timeline);

    run.step("the backend orders A to create the series' match");
    run.backend("create " + idA + " \"" + seriesServer + "\" demo123 5 6");
    run.expect(a, Side::Console, "[BRV] Lobby OWNED pelo bot");
    run.expectBackend({"[" + idA + "]", "create_ack ok=true"});
    run.expect(a, Side::Console, "[BRV] Rotacao ativa: MD5 | inicio=EuroStadium_Night_P");
    // A announces its new rotation at once; nobody else is in the match yet.
    run.expectBackend({"[" + idA + "]", "rotate_state ", "relayed to nobody"});

    run.step("the backend orders B to join it; B asks for the rotation and A answers");
    std::size_t since = run.mark();
    run.command(b, "game map EuroStadium_Night_P");
    run.backend("join " + idB + " \"" + seriesServer + "\" demo123");
    run.expect(b, Side::Console,
               "[BRV] join_private -> sala='" + seriesServer + "' pass='demo123'");
    run.expect(b, Side::Console, "[BRV] rotate_state_req enviado", false, since);
    const std::string broadcast =
        run.expect(a, Side::Console, "[BRV] rotate_state broadcast (rev=", true, since);
    run.expectBackend({"[" + idA + "]", "rotate_state ", "relayed to"}, since);
    const auto rev = std::stoul(broadcast.substr(broadcast.find('=') + 1));
    run.waitUntil(
        [&] {
            const auto file = readRotationFile(b);
            return file.is_object() && file.value("rev", 0u) >= rev &&
                   file["rotation"] == readRotationFile(a)["rotation"];
        },
        "B did not take A's rotation");
    timeline.add(Side::Demo, "B holds A's rotation (revision " + std::to_string(rev) + ")");

    gameEnds(run, a, b, idA, 1, "3 1", "CHN_Stadium_P", "Stadium_P");
    gameEnds(run, a, b, idA, 2, "1 2", "Stadium_P", "UtopiaStadium_Dusk_P");

    const bool outage = backendAwayDuringAGame(run, a, b, idA, timeline);
    const std::string handedOver = outage ? "cs_p" : "UtopiaStadium_Dusk_P";

    run.step(std::string("before game ") + (outage ? "4" : "3") +
             ", A's game refuses the update: A hands it to B, B applies it");
    since = run.mark();
    run.command(a, "game update refuse");
    run.expect(a, Side::Console, "[BRV] handoff enviado (seq=1, next=" + handedOver + ")", false,
               since);
    run.expectBackend({"[" + idA + "]", "rotate_handoff ", "relayed to"}, since);
    run.expect(b, Side::Console, "[BRV] tentar aplicar: OK", false, since);
    run.expect(b, Side::Game, "game: UpdatePrivateMatch map=" + handedOver, true, since);
    // While the post-game lobby still puts the map in, its tries and the watchdog's can each
    // start a hand-off: the answer that counts is the one to the latest.
    const std::string acked = run.expect(a, Side::Console, "[BRV] ACK(seq=", true, since);
    if (!acked.ends_with(") -> lastMap=" + handedOver))
        throw StepFailed("A's hand-off was answered for another map: " + acked);
    timeline.add(Side::Demo,
                 "a second hand-off in the same moment is the rule, not a fault: every apply that "
                 "fails while paired hands the map over, and the post-game lobby's tries and the "
                 "watchdog may both fail at once; the answer to the latest ends them");
    // While A's game refuses, its watchdog would hand the next map over every 1.5 s.
    run.command(a, "game update accept");

    run.step("the backend orders A to apply a map");
    since = run.mark();
    run.backend("map " + idA + " Park_P");
    run.expect(a, Side::Game, "game: UpdatePrivateMatch map=Park_P", true, since);

    unloadBoth(run, a, b, timeline);
    nextSeries(run, a, b, idA, idB, timeline);

    run.step("the backend's record: one result and one replay per game, each from its host");
    const std::string uploads = run.backend("uploads");
    const std::string results = run.backend("results");
    const std::size_t gamesOfA = outage ? 3 : 2;
    if (countOf(results, "device=" + idA) != gamesOfA || countOf(results, "device=" + idB) != 1)
        throw StepFailed("the backend holds other results than one per game");
    if (countOf(uploads, "device=" + idA) != gamesOfA || countOf(uploads, "device=" + idB) != 1)
        throw StepFailed("the backend holds other replays than one per game");
}

}  // namespace

DemoOutcome runDemoScenario(const DemoParts& parts, Timeline& timeline,
                            std::chrono::milliseconds stepTimeout) {
    Run run(parts, timeline, stepTimeout);
    try {
        runSeries(run, *parts.a, *parts.b, timeline, stepTimeout);
        run.step("no host faults");
        for (const auto& e : timeline.events())
            if (e.side == Side::Fault)
                throw StepFailed(e.who + "'s host saw a fault: " + e.text);
    } catch (const std::exception& e) {
        timeline.add(Side::Demo, "FAILED at \"" + run.currentStep() + "\": " + e.what());
        parts.a->quit(std::chrono::seconds(10));
        parts.b->quit(std::chrono::seconds(10));
        return {false, run.currentStep()};
    }
    timeline.add(Side::Demo, "every step happened");
    return {true, {}};
}

}  // namespace host
