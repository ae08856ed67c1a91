#pragma once
// An HTTP answer as the routes build it; the network layer writes it out.
#include <chrono>
#include <functional>
#include <string>

#include "backend/Json.h"
#include "backend/Store.h"

namespace brevant::backend {

struct HttpReply {
    unsigned status = 200;
    std::string contentType;
    std::string body;
    std::string allow;  // the Allow header of a 405, else empty
    // A change the answer tells of: the answer is written once it is done (see Commit), or
    // with answerWhenDelayed also once it is known to wait for the disk. Then `settle` (when
    // set) may change the answer, on the connection's thread, before it is written: an answer
    // must not say "kept" of a change that was not.
    CommitRef after;
    bool answerWhenDelayed = false;
    std::function<void(HttpReply&)> settle;
    // Written only after this long (an upload stalled on the console's order).
    std::chrono::milliseconds holdFor{0};
};

inline HttpReply jsonReply(const Json& value, unsigned status = 200) {
    HttpReply reply;
    reply.status = status;
    reply.contentType = "application/json";
    reply.body = dumpCompact(value);
    return reply;
}

inline HttpReply textReply(unsigned status, std::string text) {
    HttpReply reply;
    reply.status = status;
    reply.contentType = "text/plain; charset=utf-8";
    reply.body = std::move(text) + "\n";
    return reply;
}

}  // namespace brevant::backend
