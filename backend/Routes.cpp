#include "backend/Routes.h"

#include <algorithm>
#include <map>

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
    return textReply(status, why);
}

HttpReply Routes::unreadable(const std::string& peer, unsigned status, const std::string& why) {
    log_.write("http " + peer + " -> " + std::to_string(status) + ": " + why);
    return textReply(status, why);
}

Routing Routes::route(unsigned roles, const HttpHead& head) {
    const std::string_view path = targetPath(head.target);
    Routing routing;
    routing.bodyLimit = options_.maxSmallBodyBytes;
    auto refused = [&](unsigned status, const std::string& why) {
        routing.refusal = refuse(head, status, why);
        return routing;
    };
    auto wrongMethod = [&](const char* allowed) {
        log_.write(requestLine(head) + " -> 405");
        routing.refusal = methodNotAllowed(allowed);
        return routing;
    };

    if ((roles & kRoleWebSocket) && path == "/ws") {
        routing.endpoint = Endpoint::WebSocket;
        if (!head.upgrade)
            return refused(426, "this is a WebSocket endpoint: send an upgrade request");
        // Browsers always send an Origin with an upgrade, the plugin never does: no web page
        // gets to speak for a device.
        if (head.origin && !head.origin->empty())
            return refused(403, "WebSocket upgrades from web pages (with an Origin) are refused");
        return routing;
    }
    if ((roles & kRolePair) && path == "/pair-status") {
        routing.endpoint = Endpoint::PairStatus;
        if (head.method != "GET")
            return wrongMethod("GET");
    } else if ((roles & kRolePair) && path == "/admin") {
        routing.endpoint = Endpoint::Admin;
        if (head.method != "POST")
            return wrongMethod("POST");
        // Loopback is not enough: a web page in a local browser reaches loopback too. What a
        // page cannot do is send a custom header cross-origin without a preflight (never
        // approved here), leave out its Origin, or name a loopback literal as Host when it
        // got here by DNS rebinding.
        if (!head.fromLoopback)
            return refused(403, "the admin route answers loopback clients only");
        if (head.origin)
            return refused(403, "the admin route refuses requests with an Origin header");
        if (!head.host || !isLoopbackHost(*head.host))
            return refused(403, "the admin route needs Host 127.x.x.x, [::1] or localhost");
        if (head.admin != kAdminHeaderValue)
            return refused(403, "the admin route needs the header " + std::string(kAdminHeader) +
                                    ": " + std::string(kAdminHeaderValue));
    } else if ((roles & kRoleRank) && path == "/rank-submit") {
        routing.endpoint = Endpoint::RankSubmit;
        if (head.method != "POST")
            return wrongMethod("POST");
    } else if ((roles & kRoleUpload) && path == "/upload-replay") {
        routing.endpoint = Endpoint::Upload;
        routing.bodyLimit = options_.maxUploadBytes;
        if (head.method != "POST")
            return wrongMethod("POST");
        if (head.apiKey != kUploadApiKey)
            return refused(401, head.apiKey ? "wrong x-api-key" : "missing x-api-key");
        if (head.client != kUploadClient)
            return refused(403, head.client ? "unknown x-client" : "missing x-client");
        if (!replays_.enabled())
            return refused(503, "uploads are not configured on this backend (no upload folder)");
        std::string error;
        if (!multipart::boundaryOf(head.contentType, error))
            return refused(400, error);
    } else {
        return refused(404, "no such endpoint on this port");
    }
    if (head.contentLength && *head.contentLength > routing.bodyLimit)
        return refused(413,
                       "request body larger than " + std::to_string(routing.bodyLimit) + " bytes");
    return routing;
}

HttpReply Routes::answer(Endpoint endpoint, const HttpHead& head, std::string_view body) {
    switch (endpoint) {
        case Endpoint::PairStatus:
            return pairStatus(head);
        case Endpoint::Admin:
            return admin(head, body);
        case Endpoint::RankSubmit:
            return ranks_.submit(body);
        case Endpoint::Upload:
            return upload(head, body);
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
    std::string output = console_.run(std::string(body));
    const bool failed = output.rfind("error: ", 0) == 0;
    return textReply(failed ? 400 : 200, std::move(output));
}

HttpReply Routes::upload(const HttpHead& head, std::string_view body) {
    std::string error;
    const std::optional<std::string> boundary = multipart::boundaryOf(head.contentType, error);
    if (!boundary)
        return refuse(head, 400, error);
    multipart::Limits limits;
    limits.maxFieldBytes = options_.maxFieldBytes;
    limits.maxFileBytes = options_.maxUploadBytes;
    const multipart::Result parsed = multipart::parse(body, *boundary, limits);
    if (!parsed.ok())
        return refuse(head, parsed.failure == multipart::Failure::TooLarge ? 413 : 400,
                      parsed.error);

    std::map<std::string, const multipart::Part*> byName;
    for (const multipart::Part& part : parsed.parts) {
        if (!byName.emplace(part.name, &part).second)
            return refuse(head, 400, "part '" + escaped(part.name, 40) + "' appears twice");
    }
    const auto field = [&](const char* name) -> const multipart::Part* {
        const auto it = byName.find(name);
        return it == byName.end() ? nullptr : it->second;
    };
    const multipart::Part* file = field("file");
    if (!file || !file->fileName)
        return refuse(head, 400, "no file part (name=\"file\" with a filename)");
    for (const char* name : {"deviceId", "server", "uploader"}) {
        if (const multipart::Part* part = field(name); part && part->fileName)
            return refuse(head, 400, std::string("part '") + name + "' must not be a file");
    }
    const multipart::Part* device = field("deviceId");
    if (!device || device->data.empty())
        return refuse(head, 400, "no deviceId field");

    ReplayStore::Incoming incoming;
    incoming.fileName = *file->fileName;
    incoming.deviceId = std::string(device->data);
    if (const multipart::Part* server = field("server"))
        incoming.server = std::string(server->data);
    if (const multipart::Part* uploader = field("uploader"))
        incoming.uploader = std::string(uploader->data);
    incoming.data = file->data;
    const std::optional<Upload> stored = replays_.store(incoming, error);
    if (!stored)
        return refuse(head, 500, error);
    log_.write("upload #" + std::to_string(stored->id) + " stored as " +
               stored->storedPath.filename().string() + ": " + std::to_string(stored->bytes) +
               " bytes, file='" + escaped(stored->fileName, 80) +
               "' device=" + escaped(stored->deviceId, 60) + " server='" +
               escaped(stored->server, 60) + "' uploader='" + escaped(stored->uploader, 40) + "'");
    return jsonReply({{"ok", true}, {"id", stored->id}});
}

}  // namespace brevant::backend
