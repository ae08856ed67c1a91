#pragma once
// An HTTP answer as the routes build it; the network layer writes it out.
#include <chrono>
#include <string>

#include "backend/Json.h"
#include "backend/Store.h"

namespace brevant::backend {

struct HttpReply {
    unsigned status = 200;
    std::string contentType;
    std::string body;
    std::string allow;  // the Allow header of a 405, else empty
    // A change the answer tells of: the answer is written once it is on disk.
    CommitRef after;
    // Written only after this long (an upload stalled on the console's order).
    std::chrono::milliseconds holdFor{0};
};

inline HttpReply jsonReply(const Json& value, unsigned status = 200) {
    return {status, "application/json", dumpCompact(value), {}, {}, {}};
}

inline HttpReply textReply(unsigned status, std::string text) {
    return {status, "text/plain; charset=utf-8", std::move(text) + "\n", {}, {}, {}};
}

}  // namespace brevant::backend
