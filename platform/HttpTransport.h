#pragma once
// One plain HTTP/1.1 exchange per call: its own connection, nothing kept between calls.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

namespace platform {

// A body read in pieces as it goes out, so that one of any size (a replay) is never held whole:
// `size` bytes in all, announced as its Content-Length. `read` fills `buffer` with up to
// `capacity` of the next bytes and answers how many (more than 0 while any are left), or
// nothing when it cannot go on; the exchange then fails, as a failed send does.
struct HttpBodySource {
    std::uint64_t size = 0;
    std::function<std::optional<std::size_t>(char* buffer, std::size_t capacity)> read;
};

// How fast a body must go for an upload to be worth waiting for: bytes handed to the socket count
// as taken. The exchange ends as a failure once less than `minBytes` were taken in the last
// `window` (counted from the start of the request), and once the response head has not come
// within the receive limit after the whole body was taken. The body then goes out in pieces that
// are each taken within the send limit at any pace this accepts (WinHTTP's of at most
// `minBytes`), and the socket keeps little that has not gone out, so that what it took is close
// to what left. The bytes are the same as without a pace.
struct HttpPace {
    std::uint64_t minBytes = 8 * 1024;
    std::chrono::milliseconds window{30000};
};

struct HttpRequest {
    std::string method;  // "GET" or "POST"
    std::string host;    // name or numeric address
    std::uint16_t port = 80;
    std::string target;  // path and query, sent as they are
    std::string userAgent;
    // Extra header lines, each "Name: value\r\n", sent in this order after Host and User-Agent.
    std::string extraHeaders;
    // The body. A POST always carries Content-Length (0 without a body); a GET carries neither.
    std::optional<std::string> body;
    // Or the body's source, read as it is sent (then `body` is not used).
    std::optional<HttpBodySource> bodySource;
    // Asking this to stop ends the exchange at once, as a failure (or, past the response head,
    // as the end of the body).
    std::stop_token stop;
    // When set, the whole exchange ends by then the same way, however steadily it progresses:
    // the inactivity limits alone let a peer that reads one byte a second hold it for ever.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    // When set, the exchange also ends when a body given by its source goes slower than this
    // (see HttpPace).
    std::optional<HttpPace> pace;
};

struct HttpTimeouts {
    // Limits on inactivity, not on the whole exchange: a large upload that keeps progressing
    // is not cut off.
    std::chrono::milliseconds connect{60000};
    std::chrono::milliseconds send{30000};
    std::chrono::milliseconds receive{30000};
};

struct HttpResponse {
    bool statusRead = false;
    unsigned status = 0;  // 0 when it could not be read
    std::string body;     // as received, cut at the body cap
};

// Performs the exchange. Returns true when the request was sent and a response (status line and
// headers) received; the body is then whatever arrived before the end, a failure, or the cap.
// Returns false when resolving, connecting, sending or receiving the response head failed.
bool httpExchange(const HttpRequest& request, HttpResponse& response,
                  const HttpTimeouts& timeouts = {}, std::size_t maxBodyBytes = 1024 * 1024);

// Reads a response out of bytes received before, with httpExchange's own reader: `pieces` stand
// for what the connection delivers, piece by piece, and the stream ends after the last. Returns
// and fills `response` as httpExchange does once its request is sent (the status line and
// headers, interim responses, content-length, chunked and close-delimited bodies, the cap). For
// the fuzz target; the plugin always reads from a connection.
bool readHttpResponse(std::span<const std::string_view> pieces, bool headRequest,
                      HttpResponse& response, std::size_t maxBodyBytes = 1024 * 1024);

}  // namespace platform
