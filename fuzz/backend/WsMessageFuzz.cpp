// The WebSocket side of the backend (backend/Hub.h): what clients send (hello, the rotation
// relays, create acks, game results, anything else) from three connections, as the sessions
// hand it over, then the console's listings of what was recorded. Devices "devA" and "devB" are
// paired, "devC" is not.
//
// Besides the sanitizers it checks the relay rules: a relayed text goes unchanged, never back to
// its sender, only to connections whose hello named a paired device (and only from such a one),
// and received() counts the bytes it relayed; record lists keep their limit; no log line or
// listing carries a control byte.
//
// Input: messages separated by newlines (at most 32); each message's first byte chooses the
// connection (its value modulo 3), the rest is the text.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backend/Console.h"
#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/RankDesk.h"
#include "backend/ReplayStore.h"
#include "backend/Store.h"
#include "fuzz/Require.h"
#include "fuzz/backend/SafeText.h"

namespace {

using namespace brevant::backend;

constexpr std::size_t kConnections = 3;
constexpr std::size_t kMaxRecords = 4;

class Client final : public Peer {
public:
    void sendText(std::string text) override { received.push_back(std::move(text)); }
    void closeForPolicy(std::string) override { closed = true; }
    bool behind() const override { return false; }
    bool wakeWhenCaughtUp(std::function<void()>) override { return false; }
    std::vector<std::string> received;
    bool closed = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LogBook log(64);
    fuzz::checkLines(log);
    std::string storeError;
    const auto store = openStore(":memory:", kMaxRecords, log, storeError);
    fuzz::require(store != nullptr, "an in-memory store opens");
    Hub hub(log, *store, kMaxRecords);
    // The store's thread calls back into the hub: it stops before the hub goes.
    struct StopFirst {
        Store& store;
        ~StopFirst() { store.close(); }
    } stopFirst{*store};

    hub.pair("devA", "a");
    hub.pair("devB", "b");
    std::vector<std::shared_ptr<Client>> clients;
    for (std::uint64_t n = 1; n <= kConnections; ++n) {
        clients.push_back(std::make_shared<Client>());
        hub.connected(n, clients.back(), "127.0.0.1:" + std::to_string(n));
    }

    std::string_view input(reinterpret_cast<const char*>(data), size);
    for (int messages = 0; messages < 32 && !input.empty(); ++messages) {
        const std::size_t end = input.find('\n');
        const std::string_view message = input.substr(0, end);
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        if (message.empty())
            continue;
        const std::size_t from = static_cast<unsigned char>(message[0]) % kConnections;
        const std::string text(message.substr(1));

        // Who was a paired client that said hello before this message, by connection.
        std::map<std::uint64_t, std::string> devices;
        for (const ClientInfo& info : hub.clients()) {
            if (info.hello)
                devices[info.connection] = info.hello->deviceId;
        }
        std::vector<std::size_t> before;
        for (const auto& client : clients)
            before.push_back(client->received.size());

        const Relayed relayed = hub.received(from + 1, text);

        std::size_t counted = 0;
        std::size_t receivers = 0;
        for (std::size_t i = 0; i < kConnections; ++i) {
            for (std::size_t k = before[i]; k < clients[i]->received.size(); ++k) {
                const std::string& got = clients[i]->received[k];
                if (got != text || i == from)
                    continue;  // an answer of the backend's own (paired_ok, pair_required)
                const auto sender = devices.find(from + 1);
                const auto receiver = devices.find(i + 1);
                fuzz::require(sender != devices.end() && hub.isPaired(sender->second),
                              "only a paired client that said hello is relayed");
                fuzz::require(receiver != devices.end() && hub.isPaired(receiver->second),
                              "relays reach paired clients that said hello only");
                counted += got.size();
                ++receivers;
            }
        }
        fuzz::require(relayed.bytes == counted && relayed.to.size() == receivers,
                      "received() names the bytes it relayed and to whom");
    }

    fuzz::require(hub.gameResults().size() <= kMaxRecords, "results keep their limit");
    fuzz::require(hub.hellos().size() <= kMaxRecords, "hellos keep their limit");
    fuzz::require(hub.rotationMessages().size() <= kMaxRecords, "relays keep their limit");
    RankDesk ranks(
        log, hub, *store, std::chrono::minutes(10), [] { return std::chrono::steady_clock::now(); },
        4);
    ReplayStore replays(log, *store, {});
    Console console(log, *store, hub, ranks, replays);
    for (const char* listing : {"clients", "results", "acks", "rotation"})
        fuzz::require(fuzz::safeText(console.run(listing), true),
                      "a listing holds no control byte");
    return 0;
}
