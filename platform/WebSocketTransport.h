#pragma once
// A plain (non-TLS) WebSocket connection to the backend. The client in net/ keeps its own
// states, callbacks and error texts; this is only the wire underneath it.
//
// Threads: connect() runs the handshake on the calling thread. read() is called by one thread
// at a time (the receiver) and drives the connection's I/O, including queued writes and a
// requested close. sendText() and close() may be called from any thread and never wait for
// the network.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace platform {

struct WebSocketOptions {
    std::string host;  // name or numeric address
    std::uint16_t port = 80;
    std::string path = "/ws";
    std::string userAgent;
    // One deadline for the whole handshake, counted from the start of connect(): resolving,
    // connecting, sending the upgrade and receiving the answer share it, so the caller waits at
    // most this long (and a little more to close what was opened) however the time is spent.
    std::chrono::milliseconds handshakeTimeout{2500};
    // Asking this to stop ends a handshake under way at once, as a failure (SendRequest when no
    // answer was awaited yet). For a connection opened off the game thread, which unload stops.
    std::stop_token stop;
    // How long close() lets the close handshake take before the socket is shut.
    std::chrono::milliseconds closeTimeout{3000};
    // Bytes read from the socket at a time.
    std::size_t readChunk = 16384;
    // A text message longer than this is read to its end and dropped whole.
    std::size_t maxMessageBytes = 1024 * 1024;
    // The send queue's bound: a frame that would take it past either is dropped.
    std::size_t maxQueuedBytes = 4 * 1024 * 1024;
    std::size_t maxQueuedFrames = 1024;
};

enum class WebSocketSendResult {
    Queued,
    NotOpen,    // the connection is not open (or closing): dropped
    QueueFull,  // the send queue is at its bound: dropped
};

// Why a handshake failed, in the order of the steps that can fail.
enum class WebSocketConnectFailure {
    SendRequest,      // name resolution, TCP connection or writing the upgrade request failed
    ReceiveResponse,  // the connection ended, reset or timed out before a response arrived
    Upgrade,          // a response arrived but it is not a valid WebSocket upgrade
};

struct WebSocketReadResult {
    enum class Kind {
        Text,      // one whole text message in `data`
        Binary,    // a whole binary message (its bytes are not kept)
        TooLarge,  // a text message over maxMessageBytes was read and dropped; `size` says how big
        Closed,    // the peer closed, or close() was called
        Failed,    // the read failed (reset, protocol error)
    };
    Kind kind = Kind::Failed;
    std::string data;  // Text: the message; Closed by the peer: its close reason
    std::size_t size = 0;
    // Closed by the peer: the status code its close frame carried (0 when it gave none, or
    // when the close was ours).
    int closeCode = 0;
};

class WebSocketConnection {
public:
    virtual ~WebSocketConnection() = default;

    // Runs the handshake; returns nullptr and sets failure when it does not succeed.
    static std::unique_ptr<WebSocketConnection> connect(const WebSocketOptions& options,
                                                        WebSocketConnectFailure& failure);

    // Queues one text frame and returns at once. Frames go out whole and in order while the
    // receiver is reading; after the connection ended, or past the queue's bound, they are
    // dropped, and the result says why. A queued frame's number (1 for the connection's first)
    // goes to `frame` when given: framesWritten() tells when it is out.
    virtual WebSocketSendResult sendText(std::string text, std::uint64_t* frame = nullptr) = 0;
    // How many frames have been written to the socket whole, in queue order: frame n is out
    // once this is n or more. Any thread.
    virtual std::uint64_t framesWritten() const = 0;

    // Blocks until the next whole message, the end of the connection or a failure. After
    // Closed or Failed every further call returns Closed at once.
    virtual WebSocketReadResult read() = 0;

    // Starts the close handshake (status 1000) and makes a pending or later read() return
    // Closed within closeTimeout. Returns at once; safe to call more than once and from any
    // thread.
    void close() { closeWithin(std::chrono::milliseconds::max()); }
    // The same, with the handshake abandoned (the socket shut, which ends a pending read) once
    // `within` has passed, when that is sooner than closeTimeout; also when close() was called
    // before. For an unload, which cannot wait for a peer that does not answer.
    virtual void closeWithin(std::chrono::milliseconds within) = 0;
};

}  // namespace platform
