#pragma once
// The reference backend: the community service the plugin talks to, small enough to run beside
// it on one machine. It serves the WebSocket channel (/ws), the pairing status
// (GET /pair-status), the rank submission (POST /rank-submit) and the replay upload
// (POST /upload-replay), keeps what it knows in a state file (replays go to a folder), and is
// driven by text commands (runCommand) from a console or from POST /admin on the pairing port.
//
// Threads: the server runs its own network threads between start() and stop(). Every public
// member may be called from any thread. The log sink is called on the thread that produced the
// line (usually a network thread), one line at a time.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brevant::backend {

struct Options {
    // Address every listener binds to. The admin route answers loopback peers only, whatever
    // this is.
    std::string address = "127.0.0.1";
    // Roles that are given the same port number share one listener. Port 0 asks for a port of
    // the system's choosing; the WebSocket and pairing roles share theirs when both are 0, the
    // rank and upload roles each get their own.
    std::uint16_t wsPort = 80;        // WebSocket upgrade on /ws
    std::uint16_t pairPort = 80;      // GET /pair-status, POST /admin
    std::uint16_t rankPort = 6567;    // POST /rank-submit
    std::uint16_t uploadPort = 6566;  // POST /upload-replay
    // Where received replays are stored; created when missing. Empty: uploads are refused (503).
    std::filesystem::path uploadDir;
    // Period of the {"t":"ping"} sent to every WebSocket client; zero turns it off.
    std::chrono::milliseconds pingPeriod{std::chrono::seconds(30)};
    // Per-device wait between two accepted rank submissions.
    std::chrono::milliseconds rankCooldown{std::chrono::minutes(10)};
    // A WebSocket message longer than this is read to its end and dropped; the session goes on.
    std::size_t maxWsMessageBytes = 1024 * 1024;
    // Largest upload request body (413 above it), and largest non-file part of an upload.
    std::size_t maxUploadBytes = 64 * 1024 * 1024;
    std::size_t maxFieldBytes = 64 * 1024;
    // Largest body of the other routes (rank submission, admin commands).
    std::size_t maxSmallBodyBytes = 64 * 1024;
    // Time allowed for a request head (also a WebSocket upgrade request) to arrive whole, and
    // then for its body, before the connection is dropped.
    std::chrono::milliseconds headTimeout{std::chrono::seconds(10)};
    std::chrono::milliseconds httpReadTimeout{std::chrono::minutes(5)};
    // The same for an upload's body, which may come slowly over a poor line.
    std::chrono::milliseconds uploadBodyTimeout{std::chrono::minutes(30)};
    // After a refusal answered before the body was read (401, 413, 503, ...), how long what the
    // client still sends is read and dropped before the connection closes, so that the client
    // gets to read the answer.
    std::chrono::milliseconds lingerTimeout{std::chrono::seconds(10)};
    // Connections open at once over all ports, HTTP and WebSocket together. At the cap a new
    // connection takes the place of the oldest idle one (it is closed): one still sending its
    // request head, a WebSocket client that has not said hello, one that said hello but left a
    // ping unanswered for pingAnswerTimeout or whose device is still not paired
    // unpairedHelloGrace after its first hello, or a request whose body has arrived slower than
    // minBodyBytesPerSecond since its head, once slowBodyGrace has passed. When no open
    // connection is idle, the new one is closed at once.
    std::size_t maxConnections = 512;
    std::size_t minBodyBytesPerSecond = 1024;
    std::chrono::milliseconds slowBodyGrace{std::chrono::seconds(10)};
    std::chrono::milliseconds pingAnswerTimeout{std::chrono::seconds(10)};
    std::chrono::milliseconds unpairedHelloGrace{std::chrono::seconds(60)};
    // Connections open at once from one address (0: no limit), so that one address cannot hold
    // the cap; past it a new connection takes the place of that address's oldest idle one, or
    // is closed. Loopback counts like any other address.
    std::size_t maxConnectionsPerAddress = 32;
    // A WebSocket client that has not said hello this long after its upgrade is closed.
    std::chrono::milliseconds helloTimeout{std::chrono::seconds(10)};
    // Bytes waiting to be sent to one WebSocket client; a client whose queue would grow past it
    // (one that stopped reading) is disconnected.
    std::size_t maxSendQueueBytes = 4 * 1024 * 1024;
    // Bytes waiting to be sent to all WebSocket clients together (each message also counted
    // with a little for its bookkeeping). Past it, the server stops reading from the clients
    // whose messages it relays, until the backlog is down to half of it.
    std::size_t maxBacklogBytes = 256 * 1024 * 1024;
    // While those clients wait, a client none of whose writes went through for this long (one
    // that stopped reading) is disconnected, so that it cannot hold the backlog up.
    std::chrono::milliseconds stalledReaderTimeout{std::chrono::seconds(10)};
    // Threads serving the connections; 0: one per processor core.
    std::size_t networkThreads = 0;
    // Uploads received at once, from one address, and of one device (once the upload's
    // deviceId part has arrived). Each is written to a temporary file in the upload folder as it
    // arrives. A new upload that finds one of these limits reached takes the place of the
    // slowest upload within it that has run slowUploadWindow and received less than
    // slowUploadBytesPerSecond over the last slowUploadWindow (that one ends); without one it is
    // answered 503.
    std::size_t maxConcurrentUploads = 16;
    std::size_t maxUploadsPerAddress = 4;
    std::size_t maxUploadsPerDevice = 2;
    std::chrono::milliseconds slowUploadWindow{std::chrono::seconds(30)};
    std::size_t slowUploadBytesPerSecond = 4096;
    // The clock of the rank cooldown, the seats' rules (pingAnswerTimeout, unpairedHelloGrace)
    // and the uploads' speeds; empty means std::chrono::steady_clock.
    std::function<std::chrono::steady_clock::time_point()> clock;
    // Each record list (hellos, create acks, game results, rank submissions) keeps its latest
    // this many entries and forgets older ones.
    std::size_t maxRecords = 1000;
    // The SQLite file that keeps pairings, records, cooldowns and the uploads' index across
    // restarts; ":memory:" keeps them for this Server's life only.
    std::string statePath = ":memory:";
    // Changes waiting to be written to it (each counted with a little more for its
    // bookkeeping). While the file cannot be written they wait; past this, records no one waits
    // for are not written, and a game result, a rank submission or an upload is not taken (its
    // client sends it again later).
    std::size_t maxUnkeptBytes = 64 * 1024 * 1024;
};

struct Ports {
    std::uint16_t ws = 0;
    std::uint16_t pair = 0;
    std::uint16_t rank = 0;
    std::uint16_t upload = 0;
};

// What a WebSocket client said in its latest "hello". A hello with a string member longer than
// kMaxHelloFieldBytes is ignored (and logged).
inline constexpr std::size_t kMaxHelloFieldBytes = 128;
struct Hello {
    std::uint64_t connection = 0;  // the backend's number for the WebSocket connection
    std::string deviceId;
    std::string platform;
    std::string version;
    std::string epicId;
    std::string steamId;
};

struct ClientInfo {
    std::uint64_t connection = 0;
    std::string peer;            // remote address and port
    std::optional<Hello> hello;  // absent until the client said hello
    std::string server;          // last known server name, may be empty
};

struct CreateAck {
    std::uint64_t connection = 0;
    std::string deviceId;  // from the connection's hello; empty without one
    bool ok = false;
};

struct GameResult {
    std::uint64_t connection = 0;
    std::string deviceId;    // the connection's hello, else the message's own "deviceId"
    nlohmann::json message;  // the whole message as received
};

struct RotationMessage {
    std::uint64_t connection = 0;
    std::string deviceId;  // from the connection's hello
    std::string type;      // rotate_state, rotate_state_req, rotate_handoff, rotate_handoff_ack
    std::string server;
    std::string summary;    // what tells one from the next: seq, maps, revision
    std::string relayedTo;  // the connections it went to, "nobody" when none
};

struct Upload {
    std::uint64_t id = 0;
    std::filesystem::path storedPath;  // the backend's own name inside the upload folder
    std::string fileName;              // as the client sent it; never used as a path
    std::string deviceId;
    std::string server;
    std::string uploader;
    std::uint64_t bytes = 0;
};

struct RankSubmission {
    std::string deviceId;
    nlohmann::json ranks;  // the "ranks" array as received
    unsigned status = 0;   // HTTP status of the answer
    std::string answer;    // the answer's body
};

class Server {
public:
    explicit Server(Options options = {});
    ~Server();  // stops the server
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds every listener and starts the network threads. On failure nothing keeps running
    // and `error` (when given) says which port failed, why, and what to do. A stopped server
    // can start again: it binds the ports it had, so that its clients find it where it was, and
    // keeps what it knows (pairings, records); its connections are new.
    bool start(std::string* error = nullptr);
    // Closes the listeners and every connection and joins the network threads. Idempotent.
    void stop();
    // The bound ports (after a successful start; zeros before).
    Ports ports() const;

    // Runs one command line (see "help") and returns its output. Failures start with "error: ".
    // Returns once what the command changed is kept; while the state file cannot be written,
    // at once, with a last line that says it is not kept yet (and will be).
    std::string runCommand(const std::string& line);

    // Direct forms of the pairing commands.
    void pair(const std::string& deviceId, const std::string& discordUser = {});
    bool unpair(const std::string& deviceId);
    bool isPaired(const std::string& deviceId) const;

    // --- Log ---
    // Every line also goes to the sink (replacing the previous one; empty to remove). The sink
    // must not call back into the server.
    void setLogSink(std::function<void(const std::string&)> sink);
    // Lines kept in memory (the most recent ones) and the number of lines ever written, which
    // serves as a mark for waitForLog's `since`.
    std::vector<std::string> logLines() const;
    std::size_t logCount() const;

    // Bounded waits. A line counts when its number is at least `since`. waitUntil evaluates
    // `condition` (which may call the accessors below) each time the server records something.
    bool waitForLog(const std::string& substring, std::chrono::milliseconds timeout,
                    std::size_t since = 0) const;
    bool waitForLog(const std::function<bool(const std::string&)>& predicate,
                    std::chrono::milliseconds timeout, std::size_t since = 0) const;
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

    // --- What was recorded, oldest first (the latest Options::maxRecords of each list) ---
    std::vector<ClientInfo> clients() const;  // connected WebSocket clients
    std::vector<Hello> hellos() const;
    std::vector<CreateAck> createAcks() const;
    std::vector<GameResult> gameResults() const;
    std::vector<RotationMessage> rotationMessages() const;
    std::vector<Upload> uploads() const;
    std::vector<RankSubmission> rankSubmissions() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace brevant::backend
