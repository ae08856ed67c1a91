#pragma once
// The HTTP endpoints, apart from the network: which endpoint a request head asks for, what may
// be refused before its body is read, and the answer once the body is there.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "backend/Console.h"
#include "backend/Hub.h"
#include "backend/LogBook.h"
#include "backend/RankDesk.h"
#include "backend/ReplayStore.h"
#include "backend/Reply.h"
#include "backend/Server.h"
#include "backend/UploadIntake.h"

namespace brevant::backend {

// What a listener serves; a listener may hold several roles.
enum Role : unsigned {
    kRoleWebSocket = 1,  // /ws
    kRolePair = 2,       // GET /pair-status, POST /admin
    kRoleRank = 4,       // POST /rank-submit
    kRoleUpload = 8,     // POST /upload-replay
};

// The parts of a request head that the endpoints look at.
struct HttpHead {
    std::string method;
    std::string target;
    std::string contentType;
    std::optional<std::string> apiKey;  // x-api-key
    std::optional<std::string> client;  // x-client
    std::optional<std::string> host;    // Host; absent when missing or given more than once
    std::optional<std::string> origin;  // Origin (several are joined with ", ")
    std::optional<std::string> admin;   // x-brevant-admin
    std::optional<std::uint64_t> contentLength;
    bool upgrade = false;  // a WebSocket upgrade request
    bool fromLoopback = false;
    std::string peer;     // address:port, for the log
    std::string address;  // the peer's address alone, as the limits count it
};

enum class Endpoint { None, WebSocket, PairStatus, Admin, RankSubmit, Upload };

struct Routing {
    Endpoint endpoint = Endpoint::None;
    std::size_t bodyLimit = 0;
    std::optional<HttpReply> refusal;  // answer at once, without reading the body
    // For an upload: takes the body as it arrives and gives the answer at its end. Destroying
    // it before then (the connection ended) drops what it received.
    std::unique_ptr<UploadIntake> upload;
};

class Routes {
public:
    Routes(const Options& options, LogBook& log, Hub& hub, RankDesk& ranks, ReplayStore& replays,
           Console& console)
        : options_(options),
          log_(log),
          hub_(hub),
          ranks_(ranks),
          replays_(replays),
          console_(console),
          uploadSlots_(options, log) {}

    // The largest body any endpoint of these roles accepts.
    std::size_t bodyLimit(unsigned roles) const;

    // Which endpoint a request head asks for, and what to answer at once if anything. An upload
    // that may go ahead takes one of the upload slots until its intake ends (see UploadSlots);
    // without one it is refused with 503.
    Routing route(unsigned roles, const HttpHead& head);
    // The answer to a request of the other endpoints once its body is there.
    HttpReply answer(Endpoint endpoint, const HttpHead& head, std::string_view body);
    // Logs and builds the answer to a request that could not be read.
    HttpReply unreadable(const std::string& peer, unsigned status, const std::string& why);

private:
    std::optional<HttpReply> refusal(Endpoint endpoint, const HttpHead& head);
    std::optional<HttpReply> adminRefusal(const HttpHead& head);
    std::optional<HttpReply> uploadRefusal(const HttpHead& head);
    void startUpload(const HttpHead& head, Routing& routing);
    HttpReply pairStatus(const HttpHead& head);
    HttpReply admin(const HttpHead& head, std::string_view body);
    HttpReply refuse(const HttpHead& head, unsigned status, const std::string& why);

    const Options& options_;
    LogBook& log_;
    Hub& hub_;
    RankDesk& ranks_;
    ReplayStore& replays_;
    Console& console_;
    UploadSlots uploadSlots_;
};

// The header an admin request must carry, with this value. A web page cannot send it to another
// origin without a CORS preflight, which this server never approves.
inline constexpr std::string_view kAdminHeader = "X-Brevant-Admin";
inline constexpr std::string_view kAdminHeaderValue = "1";

// The x-api-key and x-client values an upload must carry.
inline constexpr std::string_view kUploadApiKey = "qworlenstapifendrux";
inline constexpr std::string_view kUploadClient = "brevant-plugin";

}  // namespace brevant::backend
