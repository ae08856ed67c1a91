// Console commands that change what the backend answers: the pairing table and the next rank
// submission's answer.
#include "backend/ConsoleCommands.h"

namespace brevant::backend::console {
namespace {

bool isErrorCode(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    }
    return true;
}

}  // namespace

std::string fail(const std::string& text) {
    return "error: " + text;
}

std::string pair(Parts& parts, const Args& args) {
    parts.hub.pair(args.at(1), args.restAfter(2));
    return "paired " + shown(args.at(1));
}

std::string unpair(Parts& parts, const Args& args) {
    return parts.hub.unpair(args.at(1)) ? "unpaired " + shown(args.at(1))
                                        : fail("device '" + shown(args.at(1)) + "' is not paired");
}

std::string failRank(Parts& parts, const Args& args) {
    const std::string& err = args.at(1);
    if (err == "off") {
        parts.ranks.failNext({});
        return "the next rank submission is answered normally";
    }
    if (!isErrorCode(err))
        return fail("ERR is an error code such as DB_ERROR (capitals, digits, _)");
    parts.ranks.failNext(err);
    return "the next rank submission is answered {\"ok\":false,\"err\":\"" + err + "\"}";
}

}  // namespace brevant::backend::console
