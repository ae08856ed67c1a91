#include "host/DemoScenario.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace host {
namespace {

struct StepFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Run {
public:
    Run(const DemoParts& parts, Timeline& timeline, std::chrono::milliseconds timeout)
        : parts_(parts), timeline_(timeline), timeout_(timeout) {}

    void step(const std::string& name) {
        step_ = name;
        timeline_.add(Side::Demo, "-- " + name);
    }
    const std::string& currentStep() const { return step_; }

    // Waits for an event of that side whose text equals (or starts with) the given text. The
    // plugin's answers come in their own time (the pairing check at load may answer before the
    // session opens), so events count from the start of the run.
    void expect(Side side, const std::string& text, bool prefix = false) {
        const bool seen = timeline_.waitFor(
            [&](const TimelineEvent& e) {
                return e.side == side && (prefix ? e.text.rfind(text, 0) == 0 : e.text == text);
            },
            timeout_);
        if (!seen)
            throw StepFailed("no " + describe(side) + " \"" + text + "\"");
    }
    // Waits for a backend event that holds every one of the texts.
    void expectBackend(std::initializer_list<std::string> parts) {
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
            timeout_);
        if (!seen)
            throw StepFailed("no backend event with \"" + texts.front() + "\"");
    }

    void command(const std::string& line) {
        parts_.runtime->post([rt = parts_.runtime, line] { rt->executeCommand(line, true); });
    }
    std::string backend(const std::string& line) {
        std::string answer = parts_.backendCommand(line);
        timeline_.add(Side::Demo, "backend> " + line + "  => " + answer);
        if (answer.rfind("error", 0) == 0)
            throw StepFailed("the backend refused: " + line);
        return answer;
    }

private:
    static std::string describe(Side side) {
        switch (side) {
            case Side::Console:
                return "console line";
            case Side::Toast:
                return "toast";
            case Side::Command:
                return "command";
            case Side::Backend:
                return "backend event";
            default:
                return "event";
        }
    }

    const DemoParts& parts_;
    Timeline& timeline_;
    std::chrono::milliseconds timeout_;
    std::string step_;
};

// The private match the simulated game was last asked to create, read on the game thread.
std::string lastCreation(sdk::HostRuntime& runtime) {
    std::string text = "no private match was created";
    runtime.runOnGameThread([&] {
        const auto& creations = runtime.model().matchmaking.creations;
        if (creations.empty())
            return;
        const auto& c = creations.back();
        text = "private match created: region " + std::to_string(c.region) + ", playlist " +
               std::to_string(c.playlist) + ", name \"" + c.settings.ServerName + "\", tags " +
               c.settings.GameTags + ", map " + c.settings.MapName;
    });
    return text;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

void connectRuntimeToTimeline(sdk::HostRuntime& runtime, Timeline& timeline) {
    runtime.setOutput([&timeline](sdk::OutputKind kind, const std::string& text) {
        switch (kind) {
            case sdk::OutputKind::Log:
                timeline.add(Side::Console, text);
                break;
            case sdk::OutputKind::Toast:
                timeline.add(Side::Toast, text);
                break;
            case sdk::OutputKind::Command:
                timeline.add(Side::Command, text);
                break;
            case sdk::OutputKind::Fault:
                timeline.add(Side::Fault, text);
                break;
            case sdk::OutputKind::Game:
                timeline.add(Side::Game, text);
                break;
        }
    });
}

DemoOutcome runDemoScenario(const DemoParts& parts, Timeline& timeline,
                            std::chrono::milliseconds stepTimeout) {
    Run run(parts, timeline, stepTimeout);
    bool loaded = false;
    try {
        run.step("load the plugin");
        parts.loadPlugin();
        loaded = true;
        run.expect(Side::Console, "[BRV] Loaded. UI: F2 > Plugins > Brevant ou 'brevant_ui'.");

        run.step("device identifier");
        auto cvar = parts.runtime->findCvar("brv_deviceid");
        const std::string id = cvar ? cvar->get() : "";
        if (id.empty())
            throw std::runtime_error("no device identifier");
        timeline.add(Side::Demo, "device identifier: " + id);

        run.step("connection and hello");
        run.expect(Side::Console, "[BRV] Concetado");
        run.expectBackend({"[" + id + "]", "hello platform="});

        run.step("pairing check at load");
        run.expect(Side::Toast,
                   "Brevant: Nao registrado. Cole no Discord: /addpair deviceid:" + id);

        run.step("pairing through the backend");
        run.backend("pair " + id + " demo-player");
        run.expect(Side::Console, "[BRV] Device paired to your Discord. Ready.");

        run.step("ping and pong");
        run.backend("ping " + id);
        run.expectBackend({"[" + id + "]", " pong"});

        run.step("rank submission");
        run.command("brv_rank");
        run.expect(Side::Toast, "Brevant: Rank verificado e sincronizado.");

        run.step("rank submission again, in the cooldown");
        // The first submission clears its in-flight mark just after its toast; a press that
        // comes in between is told to wait, and is pressed again once the worker has ended.
        for (int attempt = 0;; ++attempt) {
            const std::size_t mark = timeline.size();
            run.command("brv_rank");
            const std::string wait = "Brevant: Aguarde o envio anterior terminar.";
            const std::string cooldown = "Brevant: Cooldown ativo. Tente de novo em ";
            std::string seen;
            timeline.waitFor(
                [&](const TimelineEvent& e) {
                    if (e.side != Side::Toast)
                        return false;
                    if (e.text == wait || e.text.rfind(cooldown, 0) == 0)
                        seen = e.text;
                    return !seen.empty();
                },
                stepTimeout, mark);
            if (seen.rfind(cooldown, 0) == 0)
                break;
            if (seen != wait || attempt == 5)
                throw std::runtime_error("no cooldown toast");
            if (parts.waitForWorkers)
                parts.waitForWorkers();
        }

        run.step("private match on the backend's order");
        run.backend("create " + id + " \"Serie Demo\" demo123 5 6");
        run.expect(Side::Console, "[BRV] Lobby OWNED pelo bot");
        timeline.add(Side::Demo, "simulated game: " + lastCreation(*parts.runtime));
        run.expectBackend({"[" + id + "]", "create_ack ok=true"});
        run.expect(Side::Console, "[BRV] Rotacao ativa: MD5 | inicio=EuroStadium_Night_P");

        run.step("a game ends: the next map of the rotation goes into the match");
        run.command("game end 3 1");
        run.expect(Side::Console, "[BRV] post-game lobby (READY) -> aplicando troca");
        run.expect(Side::Console, "[BRV] UpdatePrivateMatch -> next=CHN_Stadium_P");
        run.expect(Side::Game, "game: UpdatePrivateMatch map=CHN_Stadium_P", true);

        run.step("unload");
        loaded = false;
        if (!parts.unloadPlugin())
            throw std::runtime_error("the plugin's module stayed loaded: a worker still ran");
        timeline.add(Side::Demo, "plugin unloaded");

        run.step("rotation file kept for the next start");
        const std::string saved =
            readFile(parts.runtime->options().dataFolder / "plugins" / "brevant.rotate.json");
        if (saved.find(R"("server":"Serie Demo")") == std::string::npos)
            throw std::runtime_error("the rotation file does not hold the series");
        timeline.add(Side::Demo, "brevant.rotate.json: " + saved);

        run.step("no host faults");
        for (const auto& e : timeline.events())
            if (e.side == Side::Fault)
                throw std::runtime_error("the host saw a fault: " + e.text);
    } catch (const std::exception& e) {
        timeline.add(Side::Demo, "FAILED at \"" + run.currentStep() + "\": " + e.what());
        if (loaded)
            parts.unloadPlugin();
        return {false, run.currentStep()};
    }
    timeline.add(Side::Demo, "every step happened");
    return {true, {}};
}

}  // namespace host
