#include "net/BackendEndpoint.h"

#include <charconv>
#include <mutex>
#include <vector>

#include "platform/KnownFolders.h"
#include "platform/Text.h"

namespace brevant {
namespace {

BackendEndpoint builtIn() {
    return BackendEndpoint{platform::utf8ToWide(BREVANT_BACKEND_HOST), BREVANT_WS_PORT,
                           BREVANT_PAIR_PORT, BREVANT_RANK_PORT, BREVANT_UPLOAD_PORT};
}

std::mutex endpointMutex;

BackendEndpoint& current() {  // under endpointMutex
    static BackendEndpoint endpoint = builtIn();
    return endpoint;
}

void putInForce(const BackendEndpoint& endpoint) {
    std::lock_guard lk(endpointMutex);
    current() = endpoint;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

BackendEndpoint backendEndpoint() {
    std::lock_guard lk(endpointMutex);
    return current();
}
void setBackendEndpointForTests(const BackendEndpoint& endpoint) {
    putInForce(endpoint);
}

std::optional<BackendEndpoint> parseBackendEndpoint(std::string_view text) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon - start));
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }
    if (fields.size() != 5 || fields[0].empty())
        return std::nullopt;
    std::uint16_t ports[4];
    for (int i = 0; i < 4; ++i) {
        const auto port = parsePort(fields[i + 1]);
        if (!port)
            return std::nullopt;
        ports[i] = *port;
    }
    return BackendEndpoint{platform::utf8ToWide(fields[0]), ports[0], ports[1], ports[2], ports[3]};
}

std::optional<std::string> applyBackendEndpointFromEnvironment() {
    const auto value = platform::environmentVariable(L"BREVANT_BACKEND");
    if (!value)
        return std::nullopt;
    const std::string text = platform::wideToUtf8(*value);
    const auto endpoint = parseBackendEndpoint(text);
    if (!endpoint)
        return "[BRV] BREVANT_BACKEND ignored (expected HOST:WS:PAIR:RANK:UPLOAD): " + text;
    putInForce(*endpoint);
    return "[BRV] BREVANT_BACKEND in force (development): " + text;
}

}  // namespace brevant
