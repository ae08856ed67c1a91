#pragma once
// The plugin's three plain HTTP requests to the backend. Each is one synchronous exchange on
// its own connection, run on a worker thread.
#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/HttpTransport.h"

namespace brevant {

struct HttpResult {
    bool ok = false;           // status in 200..299
    std::uint32_t status = 0;  // 0 when it could not be read
    std::string body;          // as received
};

// Asks whether the device is paired. True when a reply was received and understood; then
// `registered` holds the answer (false on entry). A stop request ends the wait as a failure.
bool queryPairStatus(const std::string& deviceId, bool& registered, std::stop_token stop = {});

// queryPairStatus's rule for a reply that arrived: true when the body is a JSON object whose
// "registered" is a boolean (the answer, then in `registered`; false on entry) or that has no
// "registered" under a status below 400. A status that was not read counts as 0. Never throws.
bool readPairStatusReply(unsigned status, bool statusRead, const std::string& body,
                         bool& registered);

// POST with the common header block (content type, API key, client line). True when the
// request was sent and answered; `result` then holds status, ok and body (reset on entry). The
// body is taken over, not copied: an upload holds its bytes once. A stop request, or the
// deadline when one is given, ends the exchange at once as a failure.
bool httpPost(const std::wstring& host, std::uint16_t port, const std::wstring& path,
              const std::string& contentType, std::string body, HttpResult& result,
              std::stop_token stop = {},
              std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

// What bounds a POST besides a stop: the transport's limits on inactivity, an end for the whole
// exchange, and the pace its body must keep (see platform::HttpPace).
struct PostLimits {
    platform::HttpTimeouts timeouts;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::optional<platform::HttpPace> pace;
};

// The same with a body read from its source as it is sent (a replay: never held whole), within
// those limits.
bool httpPost(const std::wstring& host, std::uint16_t port, const std::wstring& path,
              const std::string& contentType, platform::HttpBodySource body, HttpResult& result,
              std::stop_token stop = {}, const PostLimits& limits = {});

// POST /rank-submit with a JSON body. True when sent and answered; `result` then holds status,
// ok and body (reset on entry). A stop request ends the wait as a failure.
bool postRankSubmit(const std::string& body, HttpResult& result, std::stop_token stop = {});

// The common header block, each line ended by CRLF.
std::wstring buildRequestHeaders(const std::optional<std::wstring>& contentType);

// Letters, digits and "-._~" as they are; every other byte as %XX (upper-case hex).
std::string percentEncode(const std::string& text);

}  // namespace brevant
