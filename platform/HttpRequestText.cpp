#include "platform/HttpRequestText.h"

namespace platform {

std::string_view trimBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

std::string headerLines(std::string_view block) {
    std::string out;
    std::size_t pos = 0;
    while (pos < block.size()) {
        auto end = block.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = block.size();
        const std::string_view line = block.substr(pos, end - pos);
        pos = end + 1;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = trimBlanks(line.substr(0, colon));
        if (name.empty())
            continue;
        const std::string_view value = trimBlanks(line.substr(colon + 1));
        out.append(name).append(value.empty() ? ":" : ": ").append(value).append("\r\n");
    }
    return out;
}

bool carriesBody(const HttpRequest& request) {
    if (request.method == "POST")
        return true;
    return (request.body || request.bodySource) && request.method != "GET" &&
           request.method != "HEAD";
}

}  // namespace platform
