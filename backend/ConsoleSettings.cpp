// Console commands that change what the backend answers: the pairing table and the next rank
// submission's and upload's answers.
#include <charconv>

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

// A whole number from `low` to `high`.
bool parseCount(const std::string& text, int low, int high, int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
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

std::string failUpload(Parts& parts, const Args& args) {
    const std::string& what = args.at(1);
    if (what == "off" && args.count() == 1) {
        parts.replays.setNextFault(std::nullopt);
        return "the next upload is answered normally";
    }
    if (what == "500" && args.count() == 1) {
        parts.replays.setNextFault(ReplayStore::NextFault{true, {}});
        return "the next upload is answered 500";
    }
    int seconds = 0;
    if (what == "stall" && args.count() == 2 && parseCount(args.at(2), 1, 600, seconds)) {
        parts.replays.setNextFault(ReplayStore::NextFault{false, std::chrono::seconds(seconds)});
        return "the next upload is stored and answered after " + args.at(2) + " s";
    }
    return fail("fail-upload takes 500, stall SECONDS (1 to 600) or off");
}

}  // namespace brevant::backend::console
