#pragma once
// Routing of the backend's messages. The session's dispatch thread (net/MessagePipeline.h) runs
// it for each received text, one at a time, in arrival order.
#include <cstdint>
#include <span>
#include <string_view>

#include "net/Json.h"

namespace brevant {

// What became of a message.
struct RouteOutcome {
    enum class Kind : std::uint8_t {
        Handled,    // its handler acted on it (or handed it on to the game thread)
        Ignored,    // a guard of its handler stopped it; `why` names the guard
        Malformed,  // a field of the wrong type: dropped before anything changed
        NotRouted,  // not a JSON object, no "t", or a type no route takes
    };
    Kind kind = Kind::Handled;
    std::string_view why;  // a literal: the guard, for Ignored

    friend bool operator==(const RouteOutcome&, const RouteOutcome&) = default;
};
inline constexpr RouteOutcome handled{RouteOutcome::Kind::Handled, {}};
constexpr RouteOutcome ignored(std::string_view why) {
    return {RouteOutcome::Kind::Ignored, why};
}

// One row of a route table: messages whose "t" equals `type` (exactly) go to `handle`.
struct MessageRoute {
    std::string_view type;
    RouteOutcome (*handle)(const json& msg);
};

// Parses one received text once and hands it to the first route whose type matches. Whatever
// the text holds, nothing is thrown: a text that is not a JSON object or has no known type is
// dropped without a word (NotRouted); a "t" that is not a string, or a field of the wrong type
// read by a handler, drops the message at the failure boundary ("dispatch"), before the handler
// changes anything (Malformed).
RouteOutcome dispatchMessage(std::string_view text, std::span<const MessageRoute> routes);

}  // namespace brevant
