#include "host/SoakEvening.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include "host/ConsoleText.h"
#include "host/DemoClient.h"
#include "host/SoakBackend.h"
#include "host/SoakLink.h"

namespace host::soak {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// How often the backend pings: short, so that the outbox lets go of a result soon after the
// backend has it, and so that a client's silence limit is its floor (20 s), well within the
// evening's network faults.
constexpr double kPingSeconds = 1.0;
// How long a client may take to take an order again after its network came back: its silence
// limit, the longest reconnect delay, a handshake that the link left unanswered, and slack.
constexpr double kReachableWithin = 20 + 60 + 2.5 + 5;
// What a quiet period at the end allows for everything owed to arrive.
constexpr double kQuietLimit = 150;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// One client's host program; the driver and the prober both talk to it.
class Player {
public:
    Player(DemoClientSetup setup, Timeline& timeline) : client_(std::move(setup), timeline) {}

    const std::string& name() const { return client_.name(); }
    fs::path dataFolder() const { return client_.dataFolder(); }

    bool start(bool fresh) {
        std::lock_guard lk(mutex_);
        try {
            fresh ? client_.start() : client_.restart();
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    bool command(const std::string& line) {
        std::lock_guard lk(mutex_);
        try {
            client_.command(line);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    // The exit code of a clean quit, or nothing when it had to be killed.
    std::optional<int> quit() {
        std::lock_guard lk(mutex_);
        if (!client_.running())
            return std::nullopt;
        std::optional<int> code;
        // quit() kills a program that does not end in time; the exit code tells.
        const bool clean = client_.quit(seconds(20));
        code = clean ? 0 : 1;
        return code;
    }
    void kill() {
        std::lock_guard lk(mutex_);
        client_.kill();
    }
    bool running() {
        std::lock_guard lk(mutex_);
        return client_.running();
    }
    std::optional<int> exitedByItself() {
        std::lock_guard lk(mutex_);
        return client_.exitedByItself();
    }

private:
    std::mutex mutex_;
    DemoClient client_;
};

class Evening {
public:
    Evening(const EveningSetup& setup, std::uint64_t seed, Timeline& timeline)
        : setup_(setup),
          timeline_(timeline),
          backend_(setup.backendProgram, setup.folder / "backend", kPingSeconds, timeline) {
        record_.plan = makePlan(seed);
        record_.seriesOpened.assign(record_.plan.series.size(), false);
        record_.seriesMembers.assign(record_.plan.series.size(), {});
        record_.endedAt.assign(record_.plan.games.size(), {-1, -1, -1});
    }

    EveningRecord play() {
        std::error_code ec;
        fs::remove_all(setup_.folder, ec);
        fs::create_directories(setup_.folder / "backend", ec);
        note("evening of seed " + std::to_string(record_.plan.seed) + ": " +
             std::to_string(record_.plan.steps.size()) + " steps");
        if (!backend_.start()) {
            record_.stepsNotDone.push_back("the backend did not start");
            return finish();
        }
        startClients();
        prober_ = std::thread([this] { probe(); });
        for (const Step& step : record_.plan.steps) {
            endFaultWhenDue();
            endLinkFaultWhenDue();
            noticeCrashes();
            note("-- " + describe(record_.plan, step));
            run(step);
        }
        quietPeriod();
        return finish();
    }

private:
    // --- the timeline -------------------------------------------------------------------------

    void note(const std::string& text) { timeline_.add(Side::Demo, text); }

    // Waits for a console line of the client that starts with `prefix`, from position `since`.
    bool waitLine(int c, const std::string& prefix, std::size_t since, double timeoutSeconds,
                  Side side = Side::Console) {
        const std::string shown = toTerminalText(prefix);
        const std::string& who = players_[c]->name();
        return timeline_.waitFor(
            [&](const TimelineEvent& e) {
                return e.who == who && e.side == side && e.text.rfind(shown, 0) == 0;
            },
            milliseconds(static_cast<long long>(timeoutSeconds * 1000)), since);
    }

    // A console line for the client; the time its host program took it, or -1.
    double command(int c, const std::string& line) {
        const std::size_t since = timeline_.size();
        if (!players_[c]->command(line))
            return -1;
        double at = -1;
        const std::string& who = players_[c]->name();
        timeline_.waitFor(
            [&](const TimelineEvent& e) {
                if (e.who != who || e.side != Side::Command || e.text != line)
                    return false;
                at = e.seconds;
                return true;
            },
            seconds(10), since);
        return at;
    }

    void idle(double secondsToWait) {
        const double until = timeline_.now() + secondsToWait;
        while (timeline_.now() < until) {
            endFaultWhenDue();
            endLinkFaultWhenDue();
            std::this_thread::sleep_for(milliseconds(
                static_cast<long long>(std::min(100.0, (until - timeline_.now()) * 1000 + 1))));
        }
    }

    // --- the clients --------------------------------------------------------------------------

    // Each client reaches the backend's WebSocket and upload ports through a link of its own.
    std::string endpointThroughLink(int c) {
        links_[c] = std::make_unique<SoakLink>(clientName(c), timeline_);
        const BackendPorts& p = backend_.ports();
        if (!links_[c]->start(p.ws, p.upload)) {
            notDone(std::string(clientName(c)) + "'s link did not start");
            return backend_.endpoint();
        }
        return "127.0.0.1:" + std::to_string(links_[c]->wsPort()) + ":" + std::to_string(p.pair) +
               ":" + std::to_string(p.rank) + ":" + std::to_string(links_[c]->uploadPort());
    }

    void startClients() {
        for (int c = 0; c < kClients; ++c) {
            DemoClientSetup s{clientName(c), setup_.hostProgram, setup_.module,
                              setup_.folder / clientName(c), endpointThroughLink(c)};
            // A killed client never saves its settings: they are there before the first start.
            s.settings = {"brv_ws_reconnect 1"};
            players_[c] = std::make_unique<Player>(std::move(s), timeline_);
        }
        for (int c = 0; c < kClients; ++c)
            launch(c, true);
        for (int c = 0; c < kClients; ++c) {
            const std::string& id = record_.deviceIds[c];
            if (id.empty())
                continue;
            const std::size_t since = timeline_.size();
            const std::string answer =
                backend_.command("pair " + id + " player-" + players_[c]->name());
            if (answer.rfind("error", 0) == 0 ||
                !waitLine(c, "[BRV] Device paired to your Discord. Ready.", since, 20))
                notDone(std::string(clientName(c)) + " was not paired");
        }
    }

    void launch(int c, bool fresh) {
        const std::size_t since = timeline_.size();
        if (!players_[c]->start(fresh) ||
            !waitLine(c, "[BRV] Loaded. UI: F2 > Plugins > Brevant ou 'brevant_ui'.", since, 30)) {
            notDone(std::string(clientName(c)) + "'s host program did not load the plugin");
            return;
        }
        if (!record_.deviceIds[c].empty())
            return;
        const fs::path file = players_[c]->dataFolder() / "Brevant" / "device_id.txt";
        for (int i = 0; i < 100 && record_.deviceIds[c].empty(); ++i) {
            std::string id = readText(file);
            id.erase(std::remove_if(id.begin(), id.end(), [](char ch) { return ch <= ' '; }),
                     id.end());
            record_.deviceIds[c] = id;
            if (id.empty())
                std::this_thread::sleep_for(milliseconds(100));
        }
    }

    void notDone(const std::string& what) {
        record_.stepsNotDone.push_back(what);
        timeline_.add(Side::Fault, "not done: " + what);
    }

    // A host program that ended by itself crashed: that is kept, and it starts again.
    void noticeCrashes() {
        for (int c = 0; c < kClients; ++c) {
            if (const auto code = players_[c]->exitedByItself()) {
                record_.exits.push_back(players_[c]->name() + " ended by itself (code " +
                                        std::to_string(*code) + ")");
                timeline_.add(players_[c]->name(), Side::Fault, "ended by itself");
                launch(c, false);
            }
        }
        if (const auto code = backend_.exitedByItself()) {
            record_.exits.push_back("the backend ended by itself (code " + std::to_string(*code) +
                                    ")");
            backend_.start();
        }
    }

    bool connected(int c) {
        return backend_.command("clients").find(record_.deviceIds[c]) != std::string::npos;
    }

    // The client's session is open, told to connect when it does not reopen by itself soon.
    bool ensureConnected(int c) {
        backendUp();
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 40; ++i) {
                if (connected(c))
                    return true;
                std::this_thread::sleep_for(milliseconds(250));
            }
            command(c, "brv_ws_connect");
        }
        return connected(c);
    }

    // An order of the backend to the client, once the client is there to hear it.
    bool order(int c, const std::string& line) {
        linkUp();
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!ensureConnected(c))
                continue;
            if (backend_.command(line).rfind("error", 0) != 0)
                return true;
        }
        return false;
    }

    // --- the backend's faults -----------------------------------------------------------------

    struct PendingFault {
        Act act = Act::Pause;
        double until = 0;
        bool thenKill = false;
    };

    void endFaultWhenDue() {
        if (fault_ && timeline_.now() >= fault_->until)
            endFault();
    }

    void endFault() {
        const PendingFault f = *std::exchange(fault_, std::nullopt);
        if (f.act == Act::BackendFreeze && !f.thenKill) {
            backend_.freeze(false);
            note("the backend goes on (SIGCONT)");
            return;
        }
        if (f.act == Act::BackendFreeze) {
            backend_.kill();
            note("the frozen backend is killed (kill -9)");
        }
        if (backend_.start())
            note("the backend is back on " + backend_.endpoint());
        else
            notDone("the backend did not start again");
    }

    // Waits out a fault in progress: what comes next needs the backend.
    void backendUp() {
        if (fault_) {
            const double wait = fault_->until - timeline_.now();
            if (wait > 0)
                std::this_thread::sleep_for(milliseconds(static_cast<long long>(wait * 1000)));
            endFault();
        }
        if (!backend_.running() && !backend_.start())
            notDone("the backend did not start again");
    }

    void backendFault(const Step& step) {
        linkUp();  // one fault at a time: what is measured after a heal is the link's
        backendUp();
        PendingFault f{step.act, timeline_.now() + step.seconds, step.thenKill};
        if (step.act == Act::BackendKill) {
            backend_.kill();
        } else if (step.act == Act::BackendFreeze) {
            if (!backend_.freeze(true))
                return notDone("the backend could not be frozen");
        } else {
            const auto code = backend_.stop();
            if (code != 0)
                record_.exits.push_back("the backend quit with " +
                                        (code ? "code " + std::to_string(*code) : "no end"));
        }
        fault_ = f;
    }

    // --- the steps ----------------------------------------------------------------------------

    void run(const Step& step) {
        switch (step.act) {
            case Act::Create:
                return create(step);
            case Act::Join:
                return join(step);
            case Act::GameEnd:
                return gameEnd(step);
            case Act::LeaveMatch:
                command(step.client, "game leave");
                outSince_[step.client] = timeline_.now();
                return;
            case Act::Friendly:
                return friendly(step);
            case Act::RefuseUpdates:
                command(step.client, "game update refuse");
                return;
            case Act::AcceptUpdates:
                command(step.client, "game update accept");
                return;
            case Act::Rank:
                command(step.client, "brv_rank");
                return;
            case Act::KillClient:
            case Act::QuitClient:
                return clientGoes(step);
            case Act::BackendKill:
            case Act::BackendFreeze:
            case Act::BackendAway:
                return backendFault(step);
            case Act::UploadFail:
                backendUp();
                backend_.command("fail-upload 500");
                return;
            case Act::UploadStall:
                backendUp();
                backend_.command("fail-upload stall " +
                                 std::to_string(static_cast<int>(step.seconds + 0.5)));
                return;
            case Act::Pause:
                return idle(step.seconds);
            case Act::LinkCut:
            case Act::LinkSlow:
            case Act::LinkLate:
            case Act::LinkReset:
            case Act::LinkStall:
                return linkFault(step);
        }
    }

    // --- the network's faults -----------------------------------------------------------------

    struct PendingLinkFault {
        int client = 0;
        Act act = Act::LinkCut;
        double until = 0;
        std::size_t record = 0;  // its entry in record_.linkFaults
    };

    void linkFault(const Step& step) {
        linkUp();
        backendUp();
        // A few of the backend's pings first, so that the client's silence limit is its floor
        // again after whatever came before.
        idle(5);
        const int c = step.client;
        SoakLink& link = *links_[c];
        const double now = timeline_.now();
        const bool silent = step.act == Act::LinkCut || step.act == Act::LinkStall;
        record_.linkFaults.push_back({c, step.act, now, now + step.seconds, silent});
        switch (step.act) {
            case Act::LinkCut:
                link.cut();
                break;
            case Act::LinkSlow:
                link.slow(step.rate);
                break;
            case Act::LinkLate:
                link.late(step.rate, step.rate * 2 / 3);
                break;
            case Act::LinkStall:
                link.stall();
                break;
            case Act::LinkReset:
                link.reset();
                record_.linkFaults.back().to = now;
                awaitReachable(c, "the reset");
                return;
            default:
                return;
        }
        linkFault_ =
            PendingLinkFault{c, step.act, now + step.seconds, record_.linkFaults.size() - 1};
    }

    void endLinkFaultWhenDue() {
        if (linkFault_ && timeline_.now() >= linkFault_->until)
            endLinkFault();
    }

    // Waits out a fault of the network in progress: what comes next needs it.
    void linkUp() {
        if (!linkFault_)
            return;
        const double wait = linkFault_->until - timeline_.now();
        if (wait > 0)
            std::this_thread::sleep_for(milliseconds(static_cast<long long>(wait * 1000)));
        endLinkFault();
    }

    void endLinkFault() {
        const PendingLinkFault f = *std::exchange(linkFault_, std::nullopt);
        SoakLink& link = *links_[f.client];
        record_.linkFaults[f.record].to = timeline_.now();
        switch (f.act) {
            case Act::LinkCut:
                link.heal();
                return awaitReachable(f.client, "the heal");
            case Act::LinkStall:
                link.resume();
                return awaitReachable(f.client, "the resume");
            case Act::LinkSlow:
                return link.slow(0);
            case Act::LinkLate:
                return link.late(0, 0);
            default:
                return;
        }
    }

    // After the network came back: the client's session takes an order again (the backend's
    // ping, answered), after a hello when the old connection died. How long that took is kept.
    void awaitReachable(int c, const std::string& after) {
        Reach reach{c, timeline_.now(), -1, after};
        if (!players_[c]->running())
            return;
        const std::string& id = record_.deviceIds[c];
        const std::string pong = "[" + id + "] pong";
        while (timeline_.now() - reach.from < kReachableWithin) {
            endFaultWhenDue();
            const std::size_t since = timeline_.size();
            double at = -1;
            if (backend_.command("ping " + id).rfind("error", 0) != 0 &&
                timeline_.waitFor(
                    [&](const TimelineEvent& e) {
                        if (e.side != Side::Backend || e.text.find(pong) == std::string::npos)
                            return false;
                        at = e.seconds;
                        return true;
                    },
                    seconds(3), since)) {
                reach.took = at - reach.from;
                break;
            }
            std::this_thread::sleep_for(milliseconds(250));
        }
        record_.reaches.push_back(reach);
        char took[64];
        std::snprintf(took, sizeof took, "%.1f s", reach.took);
        note(std::string(clientName(c)) + " takes orders again " + took + " after " + after +
             (reach.took < 0 ? ": NOT within the bound" : ""));
    }

    const SeriesPlan& seriesOf(const Step& step) const {
        return record_.plan.series[static_cast<std::size_t>(step.series)];
    }

    void create(const Step& step) {
        const SeriesPlan& s = seriesOf(step);
        const std::size_t since = timeline_.size();
        if (!order(step.client, "create " + record_.deviceIds[step.client] + " \"" + s.server +
                                    "\" " + s.password + " 5 6") ||
            !waitLine(step.client, "[BRV] Lobby OWNED pelo bot", since, 20))
            return notDone(describe(record_.plan, step));
        record_.seriesOpened[step.series] = true;
        record_.seriesMembers[step.series].push_back(step.client);
    }

    void join(const Step& step) {
        const SeriesPlan& s = seriesOf(step);
        if (!record_.seriesOpened[step.series])
            return;
        const std::size_t since = timeline_.size();
        if (!order(step.client, "join " + record_.deviceIds[step.client] + " \"" + s.server +
                                    "\" " + s.password) ||
            !waitLine(step.client, "[BRV] join_private -> sala='" + s.server + "'", since, 20))
            return notDone(describe(record_.plan, step));
        record_.seriesMembers[step.series].push_back(step.client);
    }

    std::string endLine(const GamePlan& game, int c) const {
        std::string line =
            "game end " + std::to_string(game.blue) + " " + std::to_string(game.orange);
        const ReplayPlan& r = game.replays[static_cast<std::size_t>(c)];
        if (r.bytes > 0) {
            char burst[32];
            std::snprintf(burst, sizeof burst, "%.1f", r.burstSeconds);
            line +=
                " replay " + std::to_string(r.bytes) + " " + std::to_string(r.bursts) + " " + burst;
        }
        return line;
    }

    void gameEnd(const Step& step) {
        const GamePlan& game = record_.plan.games[static_cast<std::size_t>(step.game)];
        const auto& members = record_.seriesMembers[step.series];
        for (int c : game.players)
            if (std::find(members.begin(), members.end(), c) != members.end())
                record_.endedAt[step.game][c] = command(c, endLine(game, c));
    }

    void friendly(const Step& step) {
        const int c = step.client;
        const GamePlan& game = record_.plan.games[static_cast<std::size_t>(step.game)];
        // More than 10 s out of private matches first: the series is over for this player.
        idle(std::max(0.0, outSince_[c] + 11.5 - timeline_.now()));
        command(c, "game private \"" + game.match + "\" Park_P");
        idle(1);
        record_.endedAt[step.game][c] = command(c, endLine(game, c));
        idle(1);
        command(c, "game leave");
        outSince_[c] = timeline_.now();
    }

    void clientGoes(const Step& step) {
        const int c = step.client;
        if (step.act == Act::KillClient) {
            players_[c]->kill();
            record_.deaths.push_back({c, timeline_.now(), false});
            timeline_.add(players_[c]->name(), Side::Fault, "killed (kill -9)");
        } else {
            record_.deaths.push_back({c, timeline_.now(), true});
            const auto code = players_[c]->quit();
            if (code != 0)
                record_.exits.push_back(players_[c]->name() + " did not quit cleanly");
        }
        outSince_[c] = timeline_.now();
        idle(step.seconds);
        launch(c, false);
    }

    // --- probes: the console answers while everything else goes on ---------------------------

    void probe() {
        int next = 0;
        while (!stopProbes_) {
            for (int i = 0; i < 20 && !stopProbes_; ++i)
                std::this_thread::sleep_for(milliseconds(100));
            if (stopProbes_)
                break;
            const int c = next++ % kClients;
            const std::size_t since = timeline_.size();
            Probe p{c, timeline_.now(), -1, {}};
            if (!players_[c]->command("brv_status"))
                continue;
            double answeredAt = -1;
            const std::string& who = players_[c]->name();
            timeline_.waitFor(
                [&](const TimelineEvent& e) {
                    if (e.who != who || e.side != Side::Console ||
                        e.text.rfind("[BRV] Status: ", 0) != 0)
                        return false;
                    answeredAt = e.seconds;
                    p.connection = e.text;  // the first line: the connection's
                    return true;
                },
                seconds(10), since);
            p.answeredIn = answeredAt < 0 ? -1 : answeredAt - p.sentAt;
            std::lock_guard lk(probesMutex_);
            record_.probes.push_back(p);
        }
    }

    // --- the quiet period and what is left ----------------------------------------------------

    static int outboxRecords(const fs::path& data) {
        int n = 0;
        std::error_code ec;
        for (fs::directory_iterator it(data / "Brevant" / "outbox", ec), end; !ec && it != end;
             it.increment(ec))
            if (it->is_regular_file(ec) && it->path().extension() == ".json")
                ++n;
        return n;
    }

    std::size_t storedReplays() const {
        std::size_t n = 0;
        std::error_code ec;
        for (fs::directory_iterator it(backend_.uploadFolder(), ec), end; !ec && it != end;
             it.increment(ec))
            if (it->path().extension() == ".json")
                ++n;
        return n;
    }

    double lastGameEnd() const {
        double last = 0;
        for (const auto& ends : record_.endedAt)
            for (double at : ends)
                last = std::max(last, at);
        return last;
    }

    void quietPeriod() {
        note("-- quiet period: everything owed is sent");
        linkUp();
        record_.quietFrom = timeline_.now();
        backendUp();
        backend_.command("fail-upload off");
        for (int c = 0; c < kClients; ++c)
            if (!players_[c]->running())
                launch(c, false);
        double nextNudge = 0;
        std::size_t stored = storedReplays();
        double storedSince = timeline_.now();
        while (timeline_.now() - record_.quietFrom < kQuietLimit) {
            noticeCrashes();
            int left = 0;
            for (int c = 0; c < kClients; ++c)
                left += outboxRecords(players_[c]->dataFolder());
            if (storedReplays() != stored) {
                stored = storedReplays();
                storedSince = timeline_.now();
            }
            // Slow replays take a while to be written and noticed; uploads come in until then.
            if (left == 0 && timeline_.now() > lastGameEnd() + 25 &&
                timeline_.now() > storedSince + 6) {
                record_.settled = true;
                break;
            }
            if (timeline_.now() >= nextNudge) {
                nextNudge = timeline_.now() + 10;
                for (int c = 0; c < kClients; ++c) {
                    if (!connected(c))
                        command(c, "brv_ws_connect");
                    command(c, "brv_outbox_retry");
                }
            }
            std::this_thread::sleep_for(milliseconds(500));
        }
        note(record_.settled ? "-- everything owed has arrived"
                             : "-- the quiet period ended with records still in an outbox");
    }

    EveningRecord finish() {
        stopProbes_ = true;
        if (prober_.joinable())
            prober_.join();
        for (int c = 0; c < kClients; ++c) {
            if (!players_[c])
                continue;
            if (const auto code = players_[c]->exitedByItself())
                record_.exits.push_back(players_[c]->name() + " ended by itself (code " +
                                        std::to_string(*code) + ")");
            else if (players_[c]->running() && players_[c]->quit() != 0)
                record_.exits.push_back(players_[c]->name() + " did not quit cleanly");
            afterQuit(c);
        }
        collectBackend();
        if (const auto code = backend_.exitedByItself())
            record_.exits.push_back("the backend ended by itself (code " + std::to_string(*code) +
                                    ")");
        if (fault_ && fault_->act == Act::BackendFreeze)
            backend_.freeze(false);
        if (backend_.running()) {
            const auto code = backend_.stop();
            if (code != 0)
                record_.exits.push_back("the backend quit with " +
                                        (code ? "code " + std::to_string(*code) : "no end"));
        }
        record_.events = timeline_.events();
        return std::move(record_);
    }

    void afterQuit(int c) {
        const fs::path data = players_[c]->dataFolder();
        record_.outboxLeft[c] = outboxRecords(data);
        std::error_code ec;
        for (fs::recursive_directory_iterator it(setup_.folder / clientName(c), ec), end;
             !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".tmp")
                record_.temporaryFiles.push_back(it->path().string());
        record_.rotationFiles[c] = nlohmann::json::parse(
            readText(data / "plugins" / "brevant.rotate.json"), nullptr, false);
    }

    void collectBackend() {
        backendUp();
        const std::string results = backend_.command("results");
        static const std::regex row(
            R"(device=(\S+) server='([^']*)' map=\S* blue (-?\d+)-(-?\d+) orange)");
        for (std::sregex_iterator it(results.begin(), results.end(), row), end; it != end; ++it)
            record_.results.push_back(
                {(*it)[1], (*it)[2], std::stoi((*it)[3]), std::stoi((*it)[4])});
        std::error_code ec;
        for (fs::directory_iterator it(backend_.uploadFolder(), ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().extension() == ".part")
                record_.temporaryFiles.push_back(it->path().string());
            if (it->path().extension() != ".json")
                continue;
            const auto side = nlohmann::json::parse(readText(it->path()), nullptr, false);
            if (!side.is_object())
                continue;
            StoredReplay r;
            r.deviceId = side.value("deviceId", "");
            r.server = side.value("server", "");
            r.fileName = side.value("fileName", "");
            r.bytes = side.value("bytes", std::uint64_t{0});
            const auto stored = backend_.uploadFolder() / side.value("storedAs", "");
            r.fileBytes = fs::file_size(stored, ec);
            if (ec)
                r.fileBytes = 0;
            record_.replays.push_back(r);
        }
    }

    const EveningSetup& setup_;
    Timeline& timeline_;
    SoakBackend backend_;
    std::array<std::unique_ptr<Player>, kClients> players_;
    std::array<double, kClients> outSince_{};
    std::optional<PendingFault> fault_;
    std::array<std::unique_ptr<SoakLink>, kClients> links_;
    std::optional<PendingLinkFault> linkFault_;
    EveningRecord record_;
    std::thread prober_;
    std::atomic<bool> stopProbes_{false};
    std::mutex probesMutex_;
};

}  // namespace

EveningRecord playEvening(const EveningSetup& setup, std::uint64_t seed, Timeline& timeline) {
    return Evening(setup, seed, timeline).play();
}

}  // namespace host::soak
