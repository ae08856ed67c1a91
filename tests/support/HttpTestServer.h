#pragma once
// A scriptable HTTP/1.1 server on 127.0.0.1 (ephemeral port) for tests, running on a thread of
// its own. It serves one request per connection and closes it after answering (saying
// "Connection: close"). Its receive buffer is set small (kReceiveBufferBytes, which the kernel
// doubles), so a client's upload moves at the pace the server reads once the client's own send
// buffer is full. Every request it reads is recorded byte for byte. Each request is answered by the
// oldest queued response if there is one, else by the route for its path, else by the fallback
// (404, empty body).
//
// Destroying the server stops it and closes every connection, stalled ones included.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

using HttpHeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRecordedRequest {
    std::string head;  // request line and header lines as received, through the blank line
    std::string body;  // as received (decoded if it came chunked); empty if it was not read
    std::string method;
    std::string target;
    HttpHeaderList headers;  // in the order received
    bool complete = true;    // false when the body was deliberately left unread

    // The first header of that name (case-insensitive), or nullptr.
    const std::string* header(std::string_view name) const;
};

struct HttpCannedResponse {
    enum class Action {
        Respond,      // answer, after `delay`
        Stall,        // read the request and never answer; the connection stays open
        StopReading,  // read the request head only, then nothing more; never answer
        Drop,         // read the request, then close without answering (after `delay`)
        DropMidBody,  // send the head and `dropAfterBytes` of the body as framed, then close
    };
    enum class Framing {
        ContentLength,
        Chunked,         // one chunk per piece (see pieceBytes)
        CloseDelimited,  // no length: the body ends when the connection closes
    };

    unsigned status = 200;
    std::string body;
    HttpHeaderList headers;  // sent after the status line, in order, before the framing header
    Framing framing = Framing::ContentLength;
    Action action = Action::Respond;
    std::chrono::milliseconds delay{0};
    std::size_t dropAfterBytes = 0;
    // The body goes out in pieces of this many bytes with `pieceInterval` between them
    // (0: in one piece).
    std::size_t pieceBytes = 0;
    std::chrono::milliseconds pieceInterval{0};
    // The request body is read at most this many bytes at a time, with `readPause` between
    // (0: as fast as it comes). Only the first `readPacedBytes` of the body are read that way,
    // the rest as fast as it comes (0: the whole body is paced).
    std::size_t readPieceBytes = 0;
    std::chrono::milliseconds readPause{0};
    std::size_t readPacedBytes = 0;

    static HttpCannedResponse make(unsigned status, std::string body = {});
    static HttpCannedResponse withAction(Action action);
};

// Deterministic filler of the given size, not repeating with a short period.
std::string patternBytes(std::size_t size, unsigned seed = 1);

class HttpTestServer {
public:
    // SO_RCVBUF of every accepted connection.
    static constexpr int kReceiveBufferBytes = 64 * 1024;

    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::uint16_t port() const;

    // Answers the next request not yet answered (first in, first out).
    void enqueue(HttpCannedResponse response);
    // Answers every request whose target, without its query, is `path`. Replaces an earlier one.
    void route(const std::string& path, HttpCannedResponse response);
    void setFallback(HttpCannedResponse response);

    std::vector<HttpRecordedRequest> requests() const;
    std::size_t requestCount() const;
    // Waits until at least n requests were recorded; false if that did not happen in time.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;
    std::size_t connectionCount() const;  // connections accepted so far

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
