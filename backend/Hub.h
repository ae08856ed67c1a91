#pragma once
// The WebSocket side of the backend without the network: who is connected and what they said,
// the pairing table, the relay of rotation messages and the orders sent to devices. The network
// layer reports connections and messages here and gives each connection a Peer to send through.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend/Json.h"
#include "backend/LogBook.h"
#include "backend/Records.h"
#include "backend/Server.h"
#include "backend/Store.h"

namespace brevant::backend {

// One WebSocket connection as the hub sees it. The calls return at once; they may be made from
// any thread, also after the connection ended (then they do nothing).
class Peer {
public:
    virtual ~Peer() = default;
    // Queues one text message.
    virtual void sendText(std::string text) = 0;
    // Ends the connection with close code 1008 (policy violation) and `why` as the reason
    // (at most 123 bytes); what was not sent yet is dropped.
    virtual void closeForPolicy(std::string why) = 0;
    // The same with close code 1013 (try again later): what the client sent could not be kept
    // now, and it should send it again on its next connection.
    virtual void closeToRetry(std::string why) { closeForPolicy(std::move(why)); }
    // Whether so much waits to be sent to it, while it goes on reading, that those sending to
    // it should wait until it has caught up.
    virtual bool behind() const = 0;
    // Calls `wake` (on any thread) once it has caught up, stopped reading or ended; false,
    // without calling it, when it is not behind.
    virtual bool wakeWhenCaughtUp(std::function<void()> wake) = 0;
};

// What Hub::received relayed to other connections.
struct Relayed {
    std::size_t bytes = 0;
    std::vector<std::shared_ptr<Peer>> to;
};

class Hub {
public:
    // Each record list keeps its latest `maxRecords` entries. Begins with what `store` held and
    // hands it every change. `options` gives the seats' rules (see idleReason) and their clock.
    Hub(LogBook& log, Store& store, std::size_t maxRecords, const Options& options = {});

    // --- Pairing table: device identifier -> Discord user ---
    // Connected devices are told at once ("paired_ok" / "pair_required").
    void pair(const std::string& deviceId, const std::string& discordUser);
    bool unpair(const std::string& deviceId);  // false when the device was not paired
    bool isPaired(const std::string& deviceId) const;
    std::vector<std::pair<std::string, std::string>> pairs() const;

    // --- Reported by the network layer ---
    void connected(std::uint64_t connection, std::weak_ptr<Peer> peer, std::string address);
    void disconnected(std::uint64_t connection, std::string_view reason);
    Relayed received(std::uint64_t connection, const std::string& text);
    // A message the network layer dropped itself (binary, over the size limit).
    void dropped(std::uint64_t connection, std::string_view why);

    // --- Sending ---
    // Sends `text` to the connection whose hello named `deviceId` (a newer hello of the same
    // device replaces the older connection, so there is one at most); returns how many. When
    // `server` is not empty it becomes the connection's server name.
    std::size_t sendToDevice(const std::string& deviceId, const std::string& text,
                             const std::string& server = {});
    bool sendToConnection(std::uint64_t connection, const std::string& text);
    // Whether the connection has said hello (a hello the hub kept).
    bool saidHello(std::uint64_t connection) const;
    // Why the connection does not earn its seat at the connection cap, or nullopt while it
    // does: it said hello, answers pings (none has waited pingAnswerTimeout for its pong), and
    // its device is paired or its first hello was less than unpairedHelloGrace ago.
    std::optional<std::string> idleReason(std::uint64_t connection) const;

    // --- Records ---
    std::vector<ClientInfo> clients() const;
    std::vector<Hello> hellos() const;
    std::vector<CreateAck> createAcks() const;
    std::vector<GameResult> gameResults() const;
    std::vector<RotationMessage> rotationMessages() const;

private:
    struct Client {
        std::weak_ptr<Peer> peer;
        std::string address;
        std::optional<Hello> hello;
        std::string server;
        // A change this client sent or is told of that is not on disk yet: what is sent to it
        // waits here until the change is kept, so that nothing it hears precedes it. When the
        // change is not kept, the connection is closed and what waits is dropped.
        CommitRef heldUntil;
        std::vector<std::string> held;
        // For the seats' rules, on the hub's clock: its first hello, and the oldest ping handed
        // to it that it has not answered.
        std::chrono::steady_clock::time_point firstHelloAt{};
        std::optional<std::chrono::steady_clock::time_point> pingSentAt;
    };
    // A game result and its way to the disk (none: loaded from it).
    struct KeptResult {
        GameResult result;
        CommitRef commit;
    };

    // All below with mutex_ held.
    std::string label(std::uint64_t connection) const;
    void send(std::uint64_t connection, Client& client, const std::string& text);
    void ignore(std::uint64_t connection, std::string_view why);
    void onHello(std::uint64_t connection, Client& client, const Json& message);
    void replaceOthers(std::uint64_t connection, const std::string& deviceId);
    bool isPairedClient(const Client& client) const;
    Relayed onRotation(std::uint64_t connection, Client& client, const std::string& type,
                       const std::string& text, const Json& message);
    void onCreateAck(std::uint64_t connection, Client& client, const Json& message);
    void onGameResult(std::uint64_t connection, Client& client, const Json& message);
    void record(std::uint64_t connection, Client* client, GameResult result);
    void waitForCopy(std::uint64_t connection, Client& client, GameResult result, CommitRef first);
    void afterCopy(std::uint64_t connection, GameResult result, const CommitRef& first);
    void tellPairing(const std::string& deviceId, const CommitRef& commit);
    void holdUntil(std::uint64_t connection, Client& client, const CommitRef& commit);
    void release(std::uint64_t connection, const CommitRef& commit);  // takes mutex_
    void sendHeld(std::uint64_t connection, Client& client);
    void closeUnkept(std::uint64_t connection, const std::string& why);
    const KeptResult* copyOf(const GameResult& result) const;

    LogBook& log_;
    Store& store_;
    const std::function<std::chrono::steady_clock::time_point()> clock_;
    const std::chrono::milliseconds pingAnswerTimeout_;
    const std::chrono::milliseconds unpairedHelloGrace_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> pairs_;
    std::map<std::uint64_t, Client> clients_;
    Records<Hello> hellos_;
    Records<CreateAck> createAcks_;
    Records<KeptResult> gameResults_;
    Records<RotationMessage> rotationMessages_;
};

}  // namespace brevant::backend
