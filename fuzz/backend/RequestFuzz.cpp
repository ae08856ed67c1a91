// An HTTP request as the backend's connections take it: the head read by Beast's parser with
// the connection's limits, the parts the routes look at (sockets::headOf), the routing and its
// refusals (Routes::route), then the body in pieces into an upload's intake (multipart, written
// to a scratch upload folder) or into the other endpoints' answers (pair status, admin commands,
// rank submissions).
//
// Besides the sanitizers it checks that every answer is one the routes may give, that a refusal
// before the body is a 4xx or 5xx, that a 500 names none of the backend's folders, and that an
// upload cut off by the end of the input leaves no file behind.
//
// Input: one byte of flags, then the bytes of the request.
//   flags bits 0-3  the listener's roles (WebSocket, pairing, rank, upload); 0 means all four
//   flags bit 4     the peer is on loopback
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include <boost/beast/http/parser.hpp>

#include "backend/NetworkParts.h"
#include "fuzz/Require.h"
#include "fuzz/ScratchFolder.h"

namespace {

using namespace brevant::backend;
namespace fs = std::filesystem;
namespace http = sockets::http;

const std::set<unsigned> kStatuses = {200, 400, 401, 403, 404, 405, 413, 426, 500, 503};

std::size_t filesIn(const fs::path& folder) {
    std::size_t n = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const unsigned roles = (data[0] & 15) == 0 ? 15u : (data[0] & 15u);
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    static const fs::path folder = fuzz::scratchFolder() / "uploads";
    Options options;
    options.uploadDir = folder;
    options.maxUploadBytes = 64 * 1024;
    options.maxFieldBytes = 1024;
    options.maxSmallBodyBytes = 4096;
    options.maxConcurrentUploads = 1;
    LogBook log(64);
    std::string storeError;
    const auto store = openStore(":memory:", 4, log, storeError);
    fuzz::require(store != nullptr, "an in-memory store opens");
    Hub hub(log, *store, 4);
    // The store's thread calls back into the hub: it stops before the hub goes.
    struct StopFirst {
        Store& store;
        ~StopFirst() { store.close(); }
    } stopFirst{*store};
    RankDesk ranks(
        log, hub, *store, options.rankCooldown, [] { return std::chrono::steady_clock::now(); }, 4);
    ReplayStore replays(log, *store, folder);
    std::string error;
    fuzz::require(replays.open(error), "the scratch upload folder opens");
    Console console(log, *store, hub, ranks, replays);
    Routes routes(options, log, hub, ranks, replays, console);

    http::request_parser<http::buffer_body> parser;
    parser.header_limit(16 * 1024);
    parser.body_limit(routes.bodyLimit(roles));
    sockets::error_code ec;
    bytes.remove_prefix(parser.put(boost::asio::buffer(bytes.data(), bytes.size()), ec));
    if (ec || !parser.is_header_done())
        return 0;
    HttpHead head = sockets::headOf(parser.get());
    if (const auto length = parser.content_length())
        head.contentLength = *length;
    head.fromLoopback = (data[0] & 16) != 0;
    head.peer = "127.0.0.1:1";

    Routing routing = routes.route(roles, head);
    if (routing.refusal) {
        fuzz::require(routing.refusal->status >= 400 && kStatuses.count(routing.refusal->status),
                      "a refusal before the body is a 4xx or 5xx the routes give");
        return 0;
    }
    if (routing.endpoint == Endpoint::WebSocket) {
        fuzz::require(head.upgrade, "only an upgrade reaches the WebSocket");
        return 0;
    }
    parser.body_limit(routing.bodyLimit);
    std::string body;
    char chunk[512];
    while (!parser.is_done()) {
        auto& piece = parser.get().body();
        piece.data = chunk;
        piece.size = sizeof chunk;
        const std::size_t used = parser.put(boost::asio::buffer(bytes.data(), bytes.size()), ec);
        bytes.remove_prefix(used);
        if (ec == http::error::need_buffer)
            ec = {};
        const std::size_t got = sizeof chunk - parser.get().body().size;
        if (got > 0 && routing.upload)
            routing.upload->write(std::string_view(chunk, got));
        else if (got > 0)
            body.append(chunk, got);
        if (ec || (used == 0 && got == 0))
            break;
    }
    if (!parser.is_done()) {
        // Cut off: what an upload received goes with its intake.
        routing.upload.reset();
        fuzz::require(filesIn(folder) == 2 * replays.uploads().size(),
                      "a cut upload leaves nothing");
        return 0;
    }
    const HttpReply reply =
        routing.upload ? routing.upload->finish() : routes.answer(routing.endpoint, head, body);
    routing.upload.reset();
    fuzz::require(kStatuses.count(reply.status) == 1, "an answer the routes give");
    if (reply.status == 500)
        fuzz::require(reply.body.find(folder.string()) == std::string::npos,
                      "a 500 names no folder of the backend's");
    if (!replays.uploads().empty()) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);  // the next input starts with an empty folder
    }
    return 0;
}
