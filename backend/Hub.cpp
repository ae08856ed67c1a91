#include "backend/Hub.h"

#include <algorithm>
#include <utility>

#include "backend/Text.h"

namespace brevant::backend {
namespace {

constexpr int kMaxDepth = 32;
constexpr const char* kPairedOk = R"({"t":"paired_ok"})";
constexpr const char* kPairRequired = R"({"t":"pair_required"})";
constexpr const char* kPing = R"({"t":"ping"})";

std::string msText(std::chrono::milliseconds ms) {
    return std::to_string(ms.count()) + " ms";
}

bool isRotationType(const std::string& type) {
    return type == "rotate_state" || type == "rotate_state_req" || type == "rotate_handoff" ||
           type == "rotate_handoff_ack";
}

std::string integerText(const Json& message, const char* key) {
    const auto it = message.find(key);
    return it != message.end() && it->is_number_integer() ? it->dump() : "?";
}

std::string stringText(const Json& message, const char* key) {
    const auto it = message.find(key);
    return it != message.end() && it->is_string() ? "'" + escaped(it->get<std::string>(), 40) + "'"
                                                  : "?";
}

// The members that tell one rotation message from the next, for the log and the listing.
std::string rotationSummary(const std::string& type, const Json& message) {
    if (type == "rotate_handoff")
        return "seq=" + integerText(message, "seq") + " nextMap=" + stringText(message, "nextMap");
    if (type == "rotate_handoff_ack") {
        const auto ok = message.find("ok");
        return "seq=" + integerText(message, "seq") +
               " ok=" + (ok != message.end() && ok->is_boolean() ? ok->dump() : "?") +
               " map=" + stringText(message, "map");
    }
    if (type == "rotate_state") {
        const auto rotation = message.find("rotation");
        return "rev=" + integerText(message, "rev") +
               " nextIdx=" + integerText(message, "nextIdx") +
               " lastMap=" + stringText(message, "lastMap") + " maps=" +
               (rotation != message.end() && rotation->is_array() ? std::to_string(rotation->size())
                                                                  : std::string("?"));
    }
    return "from=" + stringText(message, "from");
}

}  // namespace

Hub::Hub(LogBook& log, Store& store, std::size_t maxRecords, const Options& options)
    : log_(log),
      store_(store),
      clock_(options.clock ? options.clock : [] { return std::chrono::steady_clock::now(); }),
      pingAnswerTimeout_(options.pingAnswerTimeout),
      unpairedHelloGrace_(options.unpairedHelloGrace),
      pairs_(store.loaded().pairs),
      hellos_(maxRecords),
      createAcks_(maxRecords),
      gameResults_(maxRecords),
      rotationMessages_(maxRecords) {
    for (const auto& hello : store.loaded().hellos)
        hellos_.add(hello);
    for (const auto& ack : store.loaded().createAcks)
        createAcks_.add(ack);
    for (const auto& result : store.loaded().gameResults)
        gameResults_.add({result, nullptr});
}

// --- Pairing ---

void Hub::pair(const std::string& deviceId, const std::string& discordUser) {
    std::lock_guard lock(mutex_);
    pairs_[deviceId] = discordUser;
    const CommitRef commit = store_.savePair(deviceId, discordUser);
    log_.write("pair " + escaped(deviceId) + " -> Discord user '" + escaped(discordUser) + "'");
    tellPairing(deviceId, commit);
}

bool Hub::unpair(const std::string& deviceId) {
    std::lock_guard lock(mutex_);
    if (pairs_.erase(deviceId) == 0)
        return false;
    const CommitRef commit = store_.removePair(deviceId);
    log_.write("unpair " + escaped(deviceId));
    tellPairing(deviceId, commit);
    return true;
}

bool Hub::isPaired(const std::string& deviceId) const {
    std::lock_guard lock(mutex_);
    return pairs_.count(deviceId) != 0;
}

std::vector<std::pair<std::string, std::string>> Hub::pairs() const {
    std::lock_guard lock(mutex_);
    return {pairs_.begin(), pairs_.end()};
}

// The device hears of its pairing once the change is on disk.
void Hub::tellPairing(const std::string& deviceId, const CommitRef& commit) {
    const char* text = pairs_.count(deviceId) ? kPairedOk : kPairRequired;
    for (auto& [connection, client] : clients_) {
        if (!client.hello || client.hello->deviceId != deviceId)
            continue;
        holdUntil(connection, client, commit);
        send(connection, client, text);
    }
}

void Hub::holdUntil(std::uint64_t connection, Client& client, const CommitRef& commit) {
    const bool waits = commit->then([this, connection, commit] { release(connection, commit); });
    if (!waits && commit->kept())
        return;
    // Commits are done in the order they were made: the latest one held is the one to wait
    // for. One that was not kept at once (the store closed) holds the client for good.
    if (!client.heldUntil || client.heldUntil->order() <= commit->order())
        client.heldUntil = commit;
}

void Hub::release(std::uint64_t connection, const CommitRef& commit) {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(connection);
    if (it == clients_.end() || it->second.heldUntil != commit)
        return;  // gone, or held by a later change whose own release comes
    if (!commit->kept())
        return closeUnkept(connection, "a change it sent or is told of was not kept");
    sendHeld(connection, it->second);
}

void Hub::sendHeld(std::uint64_t connection, Client& client) {
    client.heldUntil.reset();
    for (const std::string& text : std::exchange(client.held, {}))
        send(connection, client, text);
}

// Nothing may follow a change that was not kept on its connection: the client hears nothing
// more there (what waited is dropped) and sends it again on its next connection.
void Hub::closeUnkept(std::uint64_t connection, const std::string& why) {
    const auto it = clients_.find(connection);
    if (it == clients_.end())
        return;
    log_.write(label(connection) + " closed (code 1013): " + why);
    if (auto peer = it->second.peer.lock())
        peer->closeToRetry("not kept now: send it again");
    clients_.erase(it);
}

// --- Connections ---

void Hub::connected(std::uint64_t connection, std::weak_ptr<Peer> peer, std::string address) {
    std::lock_guard lock(mutex_);
    log_.write("ws#" + std::to_string(connection) + " connected from " + address);
    Client& client = clients_[connection];
    client.peer = std::move(peer);
    client.address = std::move(address);
}

void Hub::disconnected(std::uint64_t connection, std::string_view reason) {
    std::lock_guard lock(mutex_);
    log_.write(label(connection) + " disconnected: " + std::string(reason));
    clients_.erase(connection);
}

void Hub::dropped(std::uint64_t connection, std::string_view why) {
    std::lock_guard lock(mutex_);
    ignore(connection, why);
}

std::string Hub::label(std::uint64_t connection) const {
    std::string text = "ws#" + std::to_string(connection);
    const auto it = clients_.find(connection);
    if (it != clients_.end() && it->second.hello)
        text += "[" + escaped(it->second.hello->deviceId, 40) + "]";
    return text;
}

void Hub::ignore(std::uint64_t connection, std::string_view why) {
    log_.write(label(connection) + " ignored: " + std::string(why));
}

void Hub::send(std::uint64_t connection, Client& client, const std::string& text) {
    if (client.heldUntil) {
        const bool pingHeld = text == kPing && std::find(client.held.begin(), client.held.end(),
                                                         text) != client.held.end();
        if (!pingHeld)  // one ping waiting is enough
            client.held.push_back(text);
    } else if (auto peer = client.peer.lock()) {
        peer->sendText(text);
        if (text == kPing && !client.pingSentAt)
            client.pingSentAt = clock_();
    }
    log_.write(label(connection) + " <- " + escaped(text, 300));
}

// --- Messages from clients ---

Relayed Hub::received(std::uint64_t connection, const std::string& text) {
    // Parsed before the lock, so that the other connections' messages need not wait for it.
    std::string error;
    const std::optional<Json> parsed = parseJson(text, kMaxDepth, error);
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(connection);
    if (it == clients_.end())
        return {};
    Client& client = it->second;
    const auto ignored = [&](std::string_view why) {
        ignore(connection, why);
        return Relayed{};
    };
    if (!parsed)
        return ignored(error + " (" + std::to_string(text.size()) + " bytes)");
    const Json& message = *parsed;
    if (!message.is_object())
        return ignored("not a JSON object");
    const auto t = message.find("t");
    if (t == message.end() || !t->is_string())
        return ignored("no string \"t\"");
    const std::string type = t->get<std::string>();

    if (isRotationType(type))
        return onRotation(connection, client, type, text, message);
    if (type == "hello")
        onHello(connection, client, message);
    else if (type == "pong") {
        client.pingSentAt.reset();
        log_.write(label(connection) + " pong");
    } else if (type == "create_ack")
        onCreateAck(connection, client, message);
    else if (type == "game_result")
        onGameResult(connection, client, message);
    else
        ignore(connection, "unknown type \"" + escaped(type, 40) + "\"");
    return {};
}

void Hub::onHello(std::uint64_t connection, Client& client, const Json& message) {
    const std::string wrong = wrongMember(message, {{"deviceId", JsonKind::String},
                                                    {"platform", JsonKind::String},
                                                    {"version", JsonKind::String},
                                                    {"epicId", JsonKind::String},
                                                    {"steamId", JsonKind::String}});
    if (!wrong.empty())
        return ignore(connection, "hello: " + wrong);
    for (const char* key : {"deviceId", "platform", "version", "epicId", "steamId"}) {
        const std::size_t size = stringMember(message, key).size();
        if (size > kMaxHelloFieldBytes)
            return ignore(connection, "hello: \"" + std::string(key) + "\" of " +
                                          std::to_string(size) + " bytes, over the limit of " +
                                          std::to_string(kMaxHelloFieldBytes));
    }
    Hello hello;
    hello.connection = connection;
    hello.deviceId = stringMember(message, "deviceId");
    if (hello.deviceId.empty())
        return ignore(connection, "hello without a deviceId");
    hello.platform = stringMember(message, "platform");
    hello.version = stringMember(message, "version");
    hello.epicId = stringMember(message, "epicId");
    hello.steamId = stringMember(message, "steamId");
    replaceOthers(connection, hello.deviceId);
    if (!client.hello)
        client.firstHelloAt = clock_();
    client.hello = hello;
    hellos_.add(hello);
    // A record no one waits for is not queued while the state file has no room for it.
    const bool kept = !store_.full();
    if (kept)
        store_.addHello(hello);
    const bool paired = pairs_.count(hello.deviceId) != 0;
    log_.write(label(connection) + " hello platform=" + escaped(hello.platform, 20) +
               " version=" + escaped(hello.version, 20) + " epicId=" + escaped(hello.epicId, 40) +
               " steamId=" + escaped(hello.steamId, 40) + (paired ? " (paired)" : " (not paired)") +
               (kept ? "" : " (not written: the changes waiting for the state file are full)"));
    send(connection, client, paired ? kPairedOk : kPairRequired);
}

// One device, one connection: a device that connects again (after a network change, say) must
// not leave an older connection behind that would also receive its orders. The older one is
// forgotten at once and closed with a policy code.
void Hub::replaceOthers(std::uint64_t connection, const std::string& deviceId) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        const Client& other = it->second;
        if (it->first == connection || !other.hello || other.hello->deviceId != deviceId) {
            ++it;
            continue;
        }
        log_.write(label(it->first) + " replaced by ws#" + std::to_string(connection) +
                   ", which said hello with the same device; closing it (code 1008)");
        if (auto peer = other.peer.lock())
            peer->closeForPolicy("replaced by a newer connection of the same device");
        it = clients_.erase(it);
    }
}

bool Hub::isPairedClient(const Client& client) const {
    return client.hello && pairs_.count(client.hello->deviceId) != 0;
}

Relayed Hub::onRotation(std::uint64_t connection, Client& client, const std::string& type,
                        const std::string& text, const Json& message) {
    const auto ignored = [&](const std::string& why) {
        ignore(connection, why);
        return Relayed{};
    };
    // Only a client that said who it is, and whose device is paired (as orders need), takes
    // part in a match's relays.
    if (!client.hello)
        return ignored(type + " before hello, not relayed");
    const std::string wrong = wrongMember(message, {{"server", JsonKind::String},
                                                    {"from", JsonKind::String},
                                                    {"by", JsonKind::String},
                                                    {"seq", JsonKind::Integer},
                                                    {"ok", JsonKind::Boolean},
                                                    {"map", JsonKind::String},
                                                    {"nextMap", JsonKind::String},
                                                    {"lastMap", JsonKind::String},
                                                    {"enabled", JsonKind::Boolean},
                                                    {"rotation", JsonKind::Array},
                                                    {"nextIdx", JsonKind::Integer},
                                                    {"maxPlayers", JsonKind::Integer},
                                                    {"region", JsonKind::Integer},
                                                    {"rev", JsonKind::Integer},
                                                    {"ts", JsonKind::Integer},
                                                    {"scope", JsonKind::String},
                                                    {"broadcast", JsonKind::Boolean}});
    if (!wrong.empty())
        return ignored(type + ": " + wrong);
    const std::string server = stringMember(message, "server");
    if (server.empty())
        return ignored(type + " without a server name, not relayed");
    if (!isPairedClient(client))
        return ignored(type + " from a device that is not paired, not relayed");
    client.server = server;

    // Relayed as received, to the other paired clients of the same match only.
    std::string targets;
    Relayed relayed;
    for (auto& [other, entry] : clients_) {
        if (other == connection || entry.server != server || !isPairedClient(entry))
            continue;
        if (entry.heldUntil) {
            entry.held.push_back(text);
        } else if (auto peer = entry.peer.lock()) {
            peer->sendText(text);
            relayed.bytes += text.size();
            relayed.to.push_back(std::move(peer));
        }
        targets += (targets.empty() ? "" : ", ") + label(other);
    }
    RotationMessage record;
    record.connection = connection;
    record.deviceId = client.hello->deviceId;
    record.type = type;
    record.server = server;
    record.summary = rotationSummary(type, message);
    record.relayedTo = targets.empty() ? "nobody" : targets;
    log_.write(label(connection) + " " + type + " server='" + escaped(server, 60) + "' " +
               record.summary + " relayed to " + record.relayedTo);
    rotationMessages_.add(std::move(record));
    return relayed;
}

void Hub::onCreateAck(std::uint64_t connection, Client& client, const Json& message) {
    const auto ok = message.find("ok");
    if (ok == message.end() || !ok->is_boolean())
        return ignore(connection, "create_ack without a boolean \"ok\"");
    CreateAck ack;
    ack.connection = connection;
    ack.deviceId = client.hello ? client.hello->deviceId : std::string{};
    ack.ok = ok->get<bool>();
    createAcks_.add(ack);
    const bool kept = !store_.full();
    if (kept)
        store_.addCreateAck(ack);
    log_.write(label(connection) + " create_ack ok=" + (ack.ok ? "true" : "false") +
               (kept ? "" : " (not written: the changes waiting for the state file are full)"));
}

void Hub::onGameResult(std::uint64_t connection, Client& client, const Json& message) {
    const std::string wrong = wrongMember(message, {{"blueGoals", JsonKind::Integer},
                                                    {"orangeGoals", JsonKind::Integer},
                                                    {"deviceId", JsonKind::String},
                                                    {"finishedAt", JsonKind::Integer},
                                                    {"mapCode", JsonKind::String},
                                                    {"mapName", JsonKind::String},
                                                    {"players", JsonKind::Array},
                                                    {"region", JsonKind::Integer},
                                                    {"server", JsonKind::String},
                                                    {"version", JsonKind::String},
                                                    {"winner", JsonKind::String}});
    if (!wrong.empty())
        return ignore(connection, "game_result: " + wrong);
    GameResult result;
    result.connection = connection;
    result.deviceId = client.hello ? client.hello->deviceId : stringMember(message, "deviceId");
    result.message = message;
    const std::string server = stringMember(message, "server");
    if (!server.empty())
        client.server = server;
    const auto players = message.find("players");
    const std::string line =
        label(connection) + " game_result server='" + escaped(server, 60) +
        "' map=" + escaped(stringMember(message, "mapCode"), 40) + " blue " +
        integerText(message, "blueGoals") + "-" + integerText(message, "orangeGoals") +
        " orange, winner=" + escaped(stringMember(message, "winner"), 20) + ", " +
        std::to_string(players == message.end() ? 0 : players->size()) + " players";
    // A client that was not sure its result arrived sends it again: the same result from the
    // same device is one game, recorded once. Nothing reaches the client before its result is
    // kept, nor before the copy it repeats is.
    const KeptResult* copy = copyOf(result);
    if (copy && copy->commit && !copy->commit->done()) {
        waitForCopy(connection, client, std::move(result), copy->commit);
        log_.write(line + ": a repeat of one from this device not kept yet, held until it is");
    } else if (copy) {
        log_.write(line + ": a repeat of one recorded from this device, kept once");
    } else if (store_.full()) {
        log_.write(line + ": not taken, the changes waiting for the state file are full");
        closeUnkept(connection, "its game result could not be taken now");
    } else {
        record(connection, &client, std::move(result));
        log_.write(line);
    }
}

// Queues the result and holds its client (when still connected) until it is kept. One that is
// not kept is forgotten, so that a copy sent again is recorded.
void Hub::record(std::uint64_t connection, Client* client, GameResult result) {
    const CommitRef commit = store_.addGameResult(result);
    const bool waits = commit->then([this, commit] {
        std::lock_guard lock(mutex_);
        if (!commit->kept())
            gameResults_.removeIf([&](const KeptResult& kept) { return kept.commit == commit; });
    });
    if (waits || commit->kept())
        gameResults_.add({std::move(result), commit});
    if (client)
        holdUntil(connection, *client, commit);
}

// A repeat of a result whose first copy is not on disk yet: its client hears nothing until
// that copy is kept; when it is not, this copy is recorded in its place (afterCopy).
void Hub::waitForCopy(std::uint64_t connection, Client& client, GameResult result,
                      CommitRef first) {
    auto waiting = std::make_shared<GameResult>(std::move(result));
    if (first->then([this, connection, waiting, first] {
            afterCopy(connection, std::move(*waiting), first);
        })) {
        if (!client.heldUntil || client.heldUntil->order() <= first->order())
            client.heldUntil = first;
    } else if (!first->kept()) {
        record(connection, &client, std::move(*waiting));  // done just now, and not kept
    }
}

void Hub::afterCopy(std::uint64_t connection, GameResult result, const CommitRef& first) {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(connection);
    Client* client = it == clients_.end() ? nullptr : &it->second;
    if (!first->kept()) {
        // Another repeat may have been recorded meanwhile: this one waits for it in turn.
        const KeptResult* copy = copyOf(result);
        if (copy && copy->commit && !copy->commit->done() && client) {
            waitForCopy(connection, *client, std::move(result), copy->commit);
        } else if (!copy) {
            log_.write(label(connection) + " game_result: the copy it repeats was not kept; " +
                       "this one is recorded in its place");
            record(connection, client, std::move(result));
        }
    }
    if (client && client->heldUntil == first)
        sendHeld(connection, *client);
}

// The latest result of the same device with the same bytes, or built at the same moment of
// its clock.
const Hub::KeptResult* Hub::copyOf(const GameResult& result) const {
    const auto finishedAt = result.message.find("finishedAt");
    return gameResults_.findLast([&](const KeptResult& entry) {
        const GameResult& kept = entry.result;
        if (kept.deviceId != result.deviceId)
            return false;
        if (entry.commit && entry.commit->done() && !entry.commit->kept())
            return false;  // about to be forgotten
        if (kept.message == result.message)
            return true;
        const auto keptAt = kept.message.find("finishedAt");
        return finishedAt != result.message.end() && keptAt != kept.message.end() &&
               *keptAt == *finishedAt;
    });
}

// --- Sending ---

std::size_t Hub::sendToDevice(const std::string& deviceId, const std::string& text,
                              const std::string& server) {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (auto& [connection, client] : clients_) {
        if (!client.hello || client.hello->deviceId != deviceId)
            continue;
        if (!server.empty())
            client.server = server;
        send(connection, client, text);
        ++count;
    }
    return count;
}

bool Hub::sendToConnection(std::uint64_t connection, const std::string& text) {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(connection);
    if (it == clients_.end())
        return false;
    send(connection, it->second, text);
    return true;
}

bool Hub::saidHello(std::uint64_t connection) const {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(connection);
    return it != clients_.end() && it->second.hello.has_value();
}

std::optional<std::string> Hub::idleReason(std::uint64_t connection) const {
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(connection);
    if (it == clients_.end() || !it->second.hello)
        return "no hello yet";
    const Client& client = it->second;
    const auto now = clock_();
    if (client.pingSentAt && now - *client.pingSentAt >= pingAnswerTimeout_)
        return "a ping unanswered for " + msText(pingAnswerTimeout_);
    if (pairs_.count(client.hello->deviceId) == 0 &&
        now - client.firstHelloAt >= unpairedHelloGrace_)
        return "its device not paired " + msText(unpairedHelloGrace_) + " after its first hello";
    return std::nullopt;
}

// --- Records ---

std::vector<ClientInfo> Hub::clients() const {
    std::lock_guard lock(mutex_);
    std::vector<ClientInfo> out;
    for (const auto& [connection, client] : clients_)
        out.push_back({connection, client.address, client.hello, client.server});
    return out;
}

std::vector<Hello> Hub::hellos() const {
    std::lock_guard lock(mutex_);
    return hellos_.all();
}

std::vector<CreateAck> Hub::createAcks() const {
    std::lock_guard lock(mutex_);
    return createAcks_.all();
}

std::vector<GameResult> Hub::gameResults() const {
    std::lock_guard lock(mutex_);
    std::vector<GameResult> out;
    for (KeptResult& entry : gameResults_.all())
        out.push_back(std::move(entry.result));
    return out;
}

std::vector<RotationMessage> Hub::rotationMessages() const {
    std::lock_guard lock(mutex_);
    return rotationMessages_.all();
}

}  // namespace brevant::backend
