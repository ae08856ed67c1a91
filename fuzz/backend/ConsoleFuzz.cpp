// The backend's command parser and commands (backend/Console.h), as POST /admin and the console
// run them: one line at a time, on a backend with a connected device. Whatever the lines hold,
// no answer and no log line carries a control byte that could forge a line or reach the
// operator's terminal (answers may hold newlines between their rows only), and a failed
// command's answer starts with "error: ".
//
// Input: command lines separated by newlines (at most 16 are run).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

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

// The connected device's side: what the backend sends is kept, and must be one line.
class Device final : public Peer {
public:
    void sendText(std::string text) override { last = std::move(text); }
    void closeForPolicy(std::string) override {}
    bool behind() const override { return false; }
    bool wakeWhenCaughtUp(std::function<void()>) override { return false; }
    std::string last;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LogBook log(64);
    fuzz::checkLines(log);
    std::string storeError;
    const auto store = openStore(":memory:", 8, log, storeError);
    fuzz::require(store != nullptr, "an in-memory store opens");
    Hub hub(log, *store, 8);
    // The store's thread calls back into the hub: it stops before the hub goes.
    struct StopFirst {
        Store& store;
        ~StopFirst() { store.close(); }
    } stopFirst{*store};
    RankDesk ranks(
        log, hub, *store, std::chrono::minutes(10), [] { return std::chrono::steady_clock::now(); },
        8);
    ReplayStore replays(log, *store, {});
    Console console(log, *store, hub, ranks, replays);
    const auto device = std::make_shared<Device>();
    hub.connected(1, device, "127.0.0.1:1");
    hub.received(1, R"({"t":"hello","deviceId":"devA","platform":"steam","version":"1"})");

    std::string_view input(reinterpret_cast<const char*>(data), size);
    for (int lines = 0; lines < 16 && !input.empty(); ++lines) {
        const std::size_t end = input.find('\n');
        const std::string line(input.substr(0, end));
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        const std::string answer = console.run(line);
        fuzz::require(fuzz::safeText(answer, true), "an answer holds no control byte but newlines");
        fuzz::require(answer.find("\n\n") == std::string::npos, "an answer has no empty row");
    }
    return 0;
}
