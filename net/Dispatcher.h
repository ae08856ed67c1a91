#pragma once
// Routing of the backend's messages. The session's dispatch thread (net/MessagePipeline.h) runs
// it for each received text, one at a time, in arrival order.
#include <span>
#include <string_view>

#include "net/Json.h"

namespace brevant {

// One row of a route table: messages whose "t" equals `type` (exactly) go to `handle`.
struct MessageRoute {
    std::string_view type;
    void (*handle)(const json& msg);
};

// Parses one received text once and hands it to the first route whose type matches. Whatever
// the text holds, nothing is thrown: a text that is not a JSON object or has no known type is
// dropped without a word; a "t" that is not a string, or a field of the wrong type read by a
// handler, drops the message at the failure boundary ("dispatch"), before the handler changes
// anything.
void dispatchMessage(std::string_view text, std::span<const MessageRoute> routes);

}  // namespace brevant
