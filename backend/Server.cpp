#include "backend/Server.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "backend/Console.h"
#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/Network.h"
#include "backend/RankDesk.h"
#include "backend/ReplayStore.h"
#include "backend/Routes.h"
#include "backend/Store.h"

namespace brevant::backend {

namespace {

Options withDefaults(Options options) {
    if (!options.clock)
        options.clock = [] { return std::chrono::steady_clock::now(); };
    return options;
}

// The state file, or, when it cannot be used, an empty store in memory and the reason, which
// start() reports.
std::unique_ptr<Store> storeFor(const Options& options, LogBook& log, std::string& error) {
    if (auto store =
            openStore(options.statePath, options.maxRecords, log, error, options.maxUnkeptBytes))
        return store;
    std::string ignored;
    return openStore(":memory:", options.maxRecords, log, ignored, options.maxUnkeptBytes);
}

}  // namespace

struct Server::Impl {
    explicit Impl(Options o)
        : options(withDefaults(std::move(o))),
          store(storeFor(options, log, storeError)),
          hub(log, *store, options.maxRecords, options),
          ranks(log, hub, *store, options.rankCooldown, options.clock, options.maxRecords),
          replays(log, *store, options.uploadDir),
          console(log, *store, hub, ranks, replays),
          routes(options, log, hub, ranks, replays, console),
          networkOptions(options) {}
    // What is queued is written, and the callbacks that answer clients have run, before the
    // parts they call go.
    ~Impl() {
        if (network)
            network->stop();
        store->close();
    }

    const Options options;
    LogBook log;
    std::string storeError;
    std::unique_ptr<Store> store;
    Hub hub;
    RankDesk ranks;
    ReplayStore replays;
    Console console;
    Routes routes;
    // What the network binds: at a start after a stop, the ports the first start bound.
    Options networkOptions;
    std::vector<std::unique_ptr<Network>> retired;  // stopped, for the store's late answers
    std::unique_ptr<Network> network;               // last: it stops first

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
        // Answers waiting for the disk go to the stopped network's connections: it stays until
        // the store has closed, so that they never post to a network that is gone.
        impl_->retired.push_back(std::move(impl_->network));
        auto& o = impl_->networkOptions;
        o.wsPort = was.ws ? was.ws : o.wsPort;
        o.pairPort = was.pair ? was.pair : o.pairPort;
        o.rankPort = was.rank ? was.rank : o.rankPort;
        o.uploadPort = was.upload ? was.upload : o.uploadPort;
    }
    impl_->network =
        std::make_unique<Network>(impl_->networkOptions, impl_->log, impl_->hub, impl_->routes);
    std::string why = impl_->storeError;
    const bool ok = why.empty() && impl_->replays.open(why) && impl_->network->start(why);
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
    // What was queued is written before the next start; while the state file cannot be
    // written it waits (see start()).
    impl_->store->barrier()->waitSettled(std::chrono::seconds(30));
}

Ports Server::ports() const {
    std::lock_guard lock(impl_->startMutex);
    return impl_->network ? impl_->network->ports() : Ports{};
}

// The callers here may wait: the output is given once the change is on disk, or with a line
// that says it is not yet, while the state file cannot be written.
std::string Server::runCommand(const std::string& line) {
    CommitRef after;
    std::string output = impl_->console.run(line, &after);
    after->waitSettled(std::chrono::seconds(30));
    if (!after->done())
        output += "\n" + impl_->console.notKeptYet();
    return output;
}

// Like the console: back once the change is kept, or known to wait for the state file.
void Server::pair(const std::string& deviceId, const std::string& discordUser) {
    impl_->hub.pair(deviceId, discordUser);
    impl_->store->barrier()->waitSettled(std::chrono::seconds(30));
}

bool Server::unpair(const std::string& deviceId) {
    const bool was = impl_->hub.unpair(deviceId);
    impl_->store->barrier()->waitSettled(std::chrono::seconds(30));
    return was;
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
