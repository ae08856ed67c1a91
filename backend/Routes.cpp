#include "backend/Routes.h"

#include <algorithm>
#include <utility>

#include "backend/Multipart.h"
#include "backend/Text.h"

namespace brevant::backend {
namespace {

std::string requestLine(const HttpHead& head) {
    return "http " + head.peer + " " + escaped(head.method, 10) + " " + escaped(head.target, 200);
}

HttpReply methodNotAllowed(const char* allowed) {
    HttpReply reply = textReply(405, std::string("use ") + allowed);
    reply.allow = allowed;
    return reply;
}

}  // namespace

std::size_t Routes::bodyLimit(unsigned roles) const {
    return (roles & kRoleUpload) ? std::max(options_.maxUploadBytes, options_.maxSmallBodyBytes)
                                 : options_.maxSmallBodyBytes;
}

HttpReply Routes::refuse(const HttpHead& head, unsigned status, const std::string& why) {
    log_.write(requestLine(head) + " -> " + std::to_string(status) + ": " + why);
    // The backend's own failures name its files and folders: that stays in the log.
    return textReply(status, status == 500 ? "the backend failed; its log says why" : why);
}

HttpReply Routes::unreadable(const std::string& peer, unsigned status, const std::string& why) {
    log_.write("http " + peer + " -> " + std::to_string(status) + ": " + why);
    return textReply(status, why);
}

Routing Routes::route(unsigned roles, const HttpHead& head) {
    const std::string_view path = targetPath(head.target);
    Routing routing;
    if ((roles & kRoleWebSocket) && path == "/ws")
        routing.endpoint = Endpoint::WebSocket;
    else if ((roles & kRolePair) && path == "/pair-status")
        routing.endpoint = Endpoint::PairStatus;
    else if ((roles & kRolePair) && path == "/admin")
        routing.endpoint = Endpoint::Admin;
    else if ((roles & kRoleRank) && path == "/rank-submit")
        routing.endpoint = Endpoint::RankSubmit;
    else if ((roles & kRoleUpload) && path == "/upload-replay")
        routing.endpoint = Endpoint::Upload;
    routing.bodyLimit =
        routing.endpoint == Endpoint::Upload ? options_.maxUploadBytes : options_.maxSmallBodyBytes;
    routing.refusal = refusal(routing.endpoint, head);
    if (!routing.refusal && routing.endpoint != Endpoint::WebSocket && head.contentLength &&
        *head.contentLength > routing.bodyLimit)
        routing.refusal = refuse(
            head, 413, "request body larger than " + std::to_string(routing.bodyLimit) + " bytes");
    if (!routing.refusal && routing.endpoint == Endpoint::Upload)
        startUpload(head, routing);
    return routing;
}

std::optional<HttpReply> Routes::refusal(Endpoint endpoint, const HttpHead& head) {
    const auto wrongMethod = [&](const char* allowed) {
        log_.write(requestLine(head) + " -> 405");
        return methodNotAllowed(allowed);
    };
    switch (endpoint) {
        case Endpoint::WebSocket:
            if (!head.upgrade)
                return refuse(head, 426, "this is a WebSocket endpoint: send an upgrade request");
            // Browsers always send an Origin with an upgrade, the plugin never does: no web
            // page gets to speak for a device.
            if (head.origin && !head.origin->empty())
                return refuse(head, 403,
                              "WebSocket upgrades from web pages (with an Origin) are refused");
            return std::nullopt;
        case Endpoint::PairStatus:
            if (head.method != "GET")
                return wrongMethod("GET");
            return std::nullopt;
        case Endpoint::Admin:
            if (head.method != "POST")
                return wrongMethod("POST");
            return adminRefusal(head);
        case Endpoint::RankSubmit:
            if (head.method != "POST")
                return wrongMethod("POST");
            return std::nullopt;
        case Endpoint::Upload:
            if (head.method != "POST")
                return wrongMethod("POST");
            return uploadRefusal(head);
        case Endpoint::None:
            break;
    }
    return refuse(head, 404, "no such endpoint on this port");
}

std::optional<HttpReply> Routes::adminRefusal(const HttpHead& head) {
    // Loopback is not enough: a web page in a local browser reaches loopback too. What a page
    // cannot do is send a custom header cross-origin without a preflight (never approved
    // here), leave out its Origin, or name a loopback literal as Host when it got here by DNS
    // rebinding.
    if (!head.fromLoopback)
        return refuse(head, 403, "the admin route answers loopback clients only");
    if (head.origin)
        return refuse(head, 403, "the admin route refuses requests with an Origin header");
    if (!head.host || !isLoopbackHost(*head.host))
        return refuse(head, 403, "the admin route needs Host 127.x.x.x, [::1] or localhost");
    if (head.admin != kAdminHeaderValue)
        return refuse(head, 403,
                      "the admin route needs the header " + std::string(kAdminHeader) + ": " +
                          std::string(kAdminHeaderValue));
    return std::nullopt;
}

std::optional<HttpReply> Routes::uploadRefusal(const HttpHead& head) {
    if (head.apiKey != kUploadApiKey)
        return refuse(head, 401, head.apiKey ? "wrong x-api-key" : "missing x-api-key");
    if (head.client != kUploadClient)
        return refuse(head, 403, head.client ? "unknown x-client" : "missing x-client");
    if (!replays_.enabled())
        return refuse(head, 503, "uploads are not configured on this backend (no upload folder)");
    // Its row could not be kept now: the client sends it again later rather than send it all
    // for nothing.
    if (const std::string why = replays_.cannotKeep(); !why.empty())
        return refuse(head, 503, why + "; send it again later");
    std::string error;
    if (!multipart::boundaryOf(head.contentType, error))
        return refuse(head, 400, error);
    return std::nullopt;
}

void Routes::startUpload(const HttpHead& head, Routing& routing) {
    std::string why;
    std::optional<UploadSlot> place = uploadSlots_.take(head.address, why);
    if (!place) {
        log_.write(requestLine(head) + " -> 503: " + why + " already, none of them slow");
        routing.refusal = jsonReply({{"ok", false}, {"err", "TOO_MANY_UPLOADS"}}, 503);
        return;
    }
    const auto fault = replays_.takeNextFault();
    if (fault && fault->fail) {
        routing.refusal = refuse(head, 500, "forced by fail-upload");
        return;
    }
    std::string error;
    const std::optional<std::string> boundary = multipart::boundaryOf(head.contentType, error);
    routing.upload = std::make_unique<UploadIntake>(
        options_, log_, replays_, boundary.value_or(std::string()),
        [this, head](unsigned status, const std::string& why) { return refuse(head, status, why); },
        std::move(*place), fault ? fault->hold : std::chrono::milliseconds(0));
}

HttpReply Routes::answer(Endpoint endpoint, const HttpHead& head, std::string_view body) {
    switch (endpoint) {
        case Endpoint::PairStatus:
            return pairStatus(head);
        case Endpoint::Admin:
            return admin(head, body);
        case Endpoint::RankSubmit:
            return ranks_.submit(body);
        case Endpoint::Upload:  // read as a stream by the intake that route() gave
        case Endpoint::WebSocket:
        case Endpoint::None:
            break;
    }
    return refuse(head, 404, "no such endpoint on this port");
}

HttpReply Routes::pairStatus(const HttpHead& head) {
    const std::optional<std::string_view> raw = queryParameter(head.target, "deviceId");
    if (!raw)
        return refuse(head, 400, "missing deviceId parameter");
    const std::optional<std::string> deviceId = percentDecode(*raw);
    if (!deviceId)
        return refuse(head, 400, "bad percent-encoding in deviceId");
    const bool registered = hub_.isPaired(*deviceId);
    log_.write("pair-status device=" + escaped(*deviceId, 60) + " -> " +
               (registered ? "registered" : "not registered"));
    return jsonReply({{"registered", registered}});
}

HttpReply Routes::admin(const HttpHead& head, std::string_view body) {
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.remove_suffix(1);
    if (body.find_first_of("\r\n") != std::string_view::npos)
        return refuse(head, 400, "send one command line per request");
    CommitRef after;
    std::string output = console_.run(std::string(body), &after);
    const bool failed = output.rfind("error: ", 0) == 0;
    HttpReply reply = textReply(failed ? 400 : 200, std::move(output));
    // Answered once what it changed is kept, or at once with 202 and a line that says it is
    // not kept yet, while the state file cannot be written.
    reply.after = after;
    reply.answerWhenDelayed = true;
    reply.settle = [after, &console = console_](HttpReply& answer) {
        if (after->done())
            return;
        answer.status = 202;
        answer.body += console.notKeptYet() + "\n";
    };
    return reply;
}

}  // namespace brevant::backend
