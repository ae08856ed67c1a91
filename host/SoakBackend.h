#pragma once
// The reference backend as a program of its own for the soak: started on free ports, then
// always again on the same ones and the same state file, killed, frozen and resumed like any
// process, and driven through its admin route.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "host/Timeline.h"
#include "platform/ChildProcess.h"

namespace host::soak {

struct BackendPorts {
    int ws = 0, pair = 0, rank = 0, upload = 0;
};

class SoakBackend {
public:
    SoakBackend(std::filesystem::path program, std::filesystem::path folder, double pingSeconds,
                Timeline& timeline);
    ~SoakBackend();

    // Starts the program (free ports the first time, the same ones after) and waits until it
    // listens; false with the reason on the timeline.
    bool start();
    void kill();  // kill -9
    bool freeze(bool frozen);
    // Quits through its console; the exit code, or nothing when it did not end in time.
    std::optional<int> stop();
    bool running() const { return process_ != nullptr; }
    // The exit code when it ended by itself.
    std::optional<int> exitedByItself();

    // One console line through POST /admin; the answer, or "error: ..." when none came.
    std::string command(const std::string& line) const;
    // BREVANT_BACKEND for the clients: "127.0.0.1:WS:PAIR:RANK:UPLOAD".
    std::string endpoint() const;
    // Its ports (the same after every start).
    const BackendPorts& ports() const { return ports_; }
    std::filesystem::path uploadFolder() const { return folder_ / "uploads"; }

private:
    std::filesystem::path program_;
    std::filesystem::path folder_;
    double pingSeconds_;
    Timeline& timeline_;
    BackendPorts ports_;
    std::unique_ptr<platform::ChildProcess> process_;
};

}  // namespace host::soak
