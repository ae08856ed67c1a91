#pragma once
// Routing of the backend's messages. Runs on the WebSocket receiver thread, one text at a time.
#include <span>
#include <string>
#include <string_view>

#include "net/Json.h"

namespace brevant {

// One row of a route table: messages whose "t" equals `type` (exactly) go to `handle`.
struct MessageRoute {
    std::string_view type;
    void (*handle)(const json& msg);
};

// Parses one received text and hands it to the first route whose type matches. Whatever the
// text holds, nothing is thrown: a text that is not a JSON object or has no known type is
// dropped without a word; a field of the wrong type read by a handler drops the message at the
// failure boundary ("dispatch"), before the handler changes anything.
void dispatchMessage(const std::string& text, std::span<const MessageRoute> routes);

}  // namespace brevant
