#include "host/SoakBackend.h"

#include <cstdio>

#include "host/DemoClient.h"
#include "platform/HttpTransport.h"

namespace host::soak {

SoakBackend::SoakBackend(std::filesystem::path program, std::filesystem::path folder,
                         double pingSeconds, Timeline& timeline)
    : program_(std::move(program)),
      folder_(std::move(folder)),
      pingSeconds_(pingSeconds),
      timeline_(timeline) {}

SoakBackend::~SoakBackend() {
    if (process_)
        process_->kill();
}

bool SoakBackend::start() {
    if (process_)
        return true;
    char ping[32];
    std::snprintf(ping, sizeof ping, "%.3f", pingSeconds_);
    platform::ChildLaunch launch;
    launch.program = program_;
    launch.arguments = {"--address",      "127.0.0.1",
                        "--ws-port",      std::to_string(ports_.ws),
                        "--pair-port",    std::to_string(ports_.pair),
                        "--rank-port",    std::to_string(ports_.rank),
                        "--upload-port",  std::to_string(ports_.upload),
                        "--upload-dir",   uploadFolder().string(),
                        "--state",        (folder_ / "backend.sqlite").string(),
                        "--ping-seconds", ping,
                        "--threads",      "2"};
    // The three clients share the loopback address, with a few connections each.
    launch.arguments.insert(launch.arguments.end(), {"--max-connections-per-address", "16"});
    launch.onLine = [this](const std::string& line) { timeline_.add(Side::Backend, line); };
    const std::size_t since = timeline_.size();
    std::string error;
    process_ = platform::ChildProcess::start(std::move(launch), error);
    if (!process_) {
        timeline_.add(Side::Fault, "the backend cannot start: " + error);
        return false;
    }
    // "brevant-backend on 127.0.0.1: ws N, pair N, rank N, upload N (...)"
    std::string listening;
    const bool up = timeline_.waitFor(
        [&](const TimelineEvent& e) {
            if (e.side != Side::Backend || e.text.rfind("brevant-backend on ", 0) != 0)
                return false;
            listening = e.text;
            return true;
        },
        std::chrono::seconds(30), since);
    BackendPorts seen;
    if (!up || std::sscanf(listening.c_str(),
                           "brevant-backend on 127.0.0.1: ws %d, pair %d, rank %d, upload %d",
                           &seen.ws, &seen.pair, &seen.rank, &seen.upload) != 4) {
        timeline_.add(Side::Fault, "the backend did not say where it listens");
        process_->kill();
        process_.reset();
        return false;
    }
    ports_ = seen;
    return true;
}

void SoakBackend::kill() {
    if (process_)
        process_->kill();
    process_.reset();
}

bool SoakBackend::freeze(bool frozen) {
    return process_ && process_->freeze(frozen);
}

std::optional<int> SoakBackend::stop() {
    if (!process_)
        return std::nullopt;
    process_->writeLine("quit");
    const int code = process_->waitForExit(std::chrono::seconds(20));
    if (code < 0)
        process_->kill();
    process_.reset();
    return code < 0 ? std::nullopt : std::optional<int>(code);
}

std::optional<int> SoakBackend::exitedByItself() {
    return endedByItself(process_);
}

std::string SoakBackend::command(const std::string& line) const {
    platform::HttpRequest request;
    request.method = "POST";
    request.host = "127.0.0.1";
    request.port = static_cast<std::uint16_t>(ports_.pair);
    request.target = "/admin";
    request.userAgent = "brevant-soak";
    request.extraHeaders = "X-Brevant-Admin: 1\r\n";
    request.body = line;
    request.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    platform::HttpResponse response;
    platform::HttpTimeouts timeouts;
    timeouts.connect = timeouts.send = timeouts.receive = std::chrono::seconds(10);
    if (!platform::httpExchange(request, response, timeouts, 16 * 1024 * 1024))
        return "error: the backend did not answer";
    if (response.status != 200)
        return "error: " + response.body;
    return response.body;
}

std::string SoakBackend::endpoint() const {
    return "127.0.0.1:" + std::to_string(ports_.ws) + ":" + std::to_string(ports_.pair) + ":" +
           std::to_string(ports_.rank) + ":" + std::to_string(ports_.upload);
}

}  // namespace host::soak
