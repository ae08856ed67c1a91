#include "backend/Server.h"

#include <memory>
#include <mutex>
#include <utility>

#include "backend/Console.h"
#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/Network.h"
#include "backend/RankDesk.h"
#include "backend/ReplayStore.h"
#include "backend/Routes.h"

namespace brevant::backend {

namespace {

Options withDefaults(Options options) {
    if (!options.clock)
        options.clock = [] { return std::chrono::steady_clock::now(); };
    return options;
}

}  // namespace

struct Server::Impl {
    explicit Impl(Options o)
        : options(withDefaults(std::move(o))),
          hub(log, options.maxRecords),
          ranks(log, hub, options.rankCooldown, options.clock, options.maxRecords),
          replays(log, options.uploadDir),
          console(log, hub, ranks, replays),
          routes(options, log, hub, ranks, replays, console),
          networkOptions(options) {}

    const Options options;
    LogBook log;
    Hub hub;
    RankDesk ranks;
    ReplayStore replays;
    Console console;
    Routes routes;
    // What the network binds: at a start after a stop, the ports the first start bound.
    Options networkOptions;
    std::unique_ptr<Network> network;  // last: it stops first

    mutable std::mutex startMutex;  // start(), stop() and ports() one at a time
};

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() {
    stop();
}

bool Server::start(std::string* error) {
    std::lock_guard lock(impl_->startMutex);
    if (impl_->network) {
        // A start after a stop: where it was, so that its clients find it again.
        const Ports was = impl_->network->ports();
        impl_->network.reset();
        auto& o = impl_->networkOptions;
        o.wsPort = was.ws ? was.ws : o.wsPort;
        o.pairPort = was.pair ? was.pair : o.pairPort;
        o.rankPort = was.rank ? was.rank : o.rankPort;
        o.uploadPort = was.upload ? was.upload : o.uploadPort;
    }
    impl_->network =
        std::make_unique<Network>(impl_->networkOptions, impl_->log, impl_->hub, impl_->routes);
    std::string why;
    const bool ok = impl_->replays.open(why) && impl_->network->start(why);
    if (!ok) {
        impl_->log.write("start failed: " + why);
        if (error)
            *error = why;
    }
    return ok;
}

void Server::stop() {
    std::lock_guard lock(impl_->startMutex);
    if (impl_->network)
        impl_->network->stop();
}

Ports Server::ports() const {
    std::lock_guard lock(impl_->startMutex);
    return impl_->network ? impl_->network->ports() : Ports{};
}

std::string Server::runCommand(const std::string& line) {
    return impl_->console.run(line);
}

void Server::pair(const std::string& deviceId, const std::string& discordUser) {
    impl_->hub.pair(deviceId, discordUser);
}

bool Server::unpair(const std::string& deviceId) {
    return impl_->hub.unpair(deviceId);
}

bool Server::isPaired(const std::string& deviceId) const {
    return impl_->hub.isPaired(deviceId);
}

void Server::setLogSink(std::function<void(const std::string&)> sink) {
    impl_->log.setSink(std::move(sink));
}

std::vector<std::string> Server::logLines() const {
    return impl_->log.lines();
}

std::size_t Server::logCount() const {
    return impl_->log.count();
}

bool Server::waitForLog(const std::string& substring, std::chrono::milliseconds timeout,
                        std::size_t since) const {
    return impl_->log.waitForLine(
        [&](const std::string& line) { return line.find(substring) != std::string::npos; }, timeout,
        since);
}

bool Server::waitForLog(const std::function<bool(const std::string&)>& predicate,
                        std::chrono::milliseconds timeout, std::size_t since) const {
    return impl_->log.waitForLine(predicate, timeout, since);
}

bool Server::waitUntil(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout) const {
    return impl_->log.waitUntil(condition, timeout);
}

std::vector<ClientInfo> Server::clients() const {
    return impl_->hub.clients();
}
std::vector<Hello> Server::hellos() const {
    return impl_->hub.hellos();
}
std::vector<CreateAck> Server::createAcks() const {
    return impl_->hub.createAcks();
}
std::vector<GameResult> Server::gameResults() const {
    return impl_->hub.gameResults();
}
std::vector<RotationMessage> Server::rotationMessages() const {
    return impl_->hub.rotationMessages();
}
std::vector<Upload> Server::uploads() const {
    return impl_->replays.uploads();
}
std::vector<RankSubmission> Server::rankSubmissions() const {
    return impl_->ranks.submissions();
}

}  // namespace brevant::backend
