#include "net/BackendSession.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <utility>

#include "core/Globals.h"
#include "core/Guard.h"
#include "core/Log.h"
#include "core/LoopThread.h"
#include "core/Waker.h"
#include "net/BackendEndpoint.h"
#include "net/Json.h"
#include "net/MessagePipeline.h"
#include "net/WebSocketClient.h"
#include "platform/Clock.h"
#include "platform/Random.h"
#include "sdk/GameWrapper.h"

namespace brevant {
namespace {

using State = SessionStatus::State;

constexpr std::int64_t firstRetryMs = 1000;
constexpr std::int64_t lastRetryMs = 60'000;
constexpr std::int64_t settledAfterMs = 60'000;  // a session this old starts the backoff anew
constexpr int replacedByNewerConnection = 1008;
constexpr std::int64_t settingCheckMs = 1000;
// Unload's share for the close handshake: a backend that has not answered by then (hung,
// stopped) is cut off, so that unload stays within its 100 ms.
constexpr std::chrono::milliseconds unloadCloseShare{40};
// A silence longer than this many of the backend's ping periods, and than the floor, ends the
// connection; the period is the longest of the last few gaps between its pings.
constexpr std::int64_t silentPeriods = 3;
constexpr std::int64_t silenceFloorMs = 20'000;
constexpr int gapsKept = 3;

class Session {
public:
    void start(SessionSetup setup) {
        stop();
        {
            std::lock_guard lk(mutex_);
            setup_ = std::move(setup);
            stopping_ = false;
            failures_ = 0;
            knownPeriodMs_ = 0;
            status_ = {};
            status_.sinceMs = platform::steadyMillis();  // down since load until it opens
            // Every open runs on the connector's thread, the first too: a backend that is
            // silent or slow to resolve never holds the game thread.
            wanted_ = true;
            publishLocked();
        }
        const bool started = connector_.start("brv-connector", "session connector",
                                              [this](LoopThread& self) { connectorLoop(self); });
        {
            std::lock_guard lk(mutex_);
            connectorUp_ = started;
            if (!started) {
                status_.state = State::Closed;
                status_.error = "sem thread de conexao";
                publishLocked();
            }
        }
        if (!started)
            logLine("[BRV] WS error: sem thread de conexao");
    }

    void stop() {
        {
            std::lock_guard lk(mutex_);
            stopping_ = true;
            connectorUp_ = false;
        }
        connector_.stop();  // an open under way on it ends at once
        std::shared_ptr<WebSocketClient> client;
        std::shared_ptr<MessagePipeline> pipeline;
        {
            std::lock_guard lk(mutex_);
            client = client_;
            pipeline = pipeline_;
        }
        // Closed while still in place (sends meanwhile are dropped), let go of after. Unload
        // cannot wait for a backend that does not answer: past its share the socket is shut.
        if (client)
            client->close(unloadCloseShare);  // joins the receiver: no lock is held here
        if (pipeline)
            pipeline->stop();
        {
            std::lock_guard lk(mutex_);
            client_.reset();
            pipeline_.reset();
        }
    }

    bool connectNow() {
        {
            std::lock_guard lk(mutex_);
            if (stopping_ || !connectorUp_ || status_.state == State::Connected ||
                status_.state == State::Connecting || wanted_)
                return false;
            wanted_ = true;
        }
        waker_.wake();
        return true;
    }

    // The snapshot published with the last change: a reader never waits for the session.
    SessionStatus status() {
        std::shared_ptr<const SessionStatus> shown;
        {
            std::lock_guard lk(publishedMutex_);
            shown = published_;
        }
        SessionStatus now = shown ? *shown : SessionStatus{};
        if (now.state == State::Connected) {
            now.pingPeriodMs = pingPeriodMs_.load();
            now.lastFrameMs = lastFrameMs_.load();
        }
        return now;
    }

    // A ping of the backend on the open connection: its period, and so the silence it may keep.
    void pingSeen() {
        {
            std::lock_guard lk(mutex_);
            if (status_.state != State::Connected || !client_)
                return;
            const std::int64_t now = platform::steadyMillis();
            if (lastPingMs_ >= 0) {
                gaps_[static_cast<std::size_t>(gapCount_ % gapsKept)] = now - lastPingMs_;
                ++gapCount_;
                std::int64_t longest = 1;
                for (int i = 0; i < std::min(gapCount_, gapsKept); ++i)
                    longest = std::max(longest, gaps_[static_cast<std::size_t>(i)]);
                pingPeriodMs_.store(longest);
                knownPeriodMs_ = longest;
            }
            lastPingMs_ = now;
            pingedSerial_.store(client_->serial);
        }
        waker_.wake();  // the connector's watch on the silence follows the period
    }

    bool pinged(std::uint64_t serial) const {
        return serial != 0 && pingedSerial_.load() == serial;
    }

    std::shared_ptr<WebSocketClient> client() {
        std::lock_guard lk(mutex_);
        return client_;
    }

private:
    // Makes a client, puts it in place of the last one and connects it, on the calling thread.
    void open(std::stop_token stop) {
        runGuarded("backend session", [&] {
            if (!globalGameWrapper.load())
                return;  // the plugin was unloaded meanwhile
            const auto endpoint = backendEndpoint();
            auto client = std::make_shared<WebSocketClient>(endpoint.backendHost, L"/ws",
                                                            endpoint.webSocketPort);
            std::span<const MessageRoute> routes;
            std::function<void()> onOpen;
            {
                std::lock_guard lk(mutex_);
                routes = setup_.routes;
                onOpen = setup_.onOpen;
            }
            auto pipeline = std::make_shared<MessagePipeline>(routes);
            if (!pipeline->start("brv-dispatch")) {
                // No thread to handle messages: a failed open, retried as any other.
                {
                    std::lock_guard lk(mutex_);
                    status_.error = "sem thread de mensagens";
                    markOpenFailedLocked();
                    publishLocked();
                }
                logLine("[BRV] WS error: sem thread de mensagens");
                waker_.wake();
                return;
            }
            // Connected is said before anything of the opening runs ("Concetado", the hello), and
            // before the receiver can see the connection end.
            client->onOpen = [this, raw = client.get(), onOpen = std::move(onOpen)] {
                markConnected(raw);
                if (onOpen)
                    onOpen();
            };
            client->onFrame = [this] { lastFrameMs_.store(platform::steadyMillis()); };
            // The receiver hands each text over; the dispatch thread parses and handles it.
            client->onMessage = [pipeline = pipeline.get()](std::string text) {
                pipeline->push(std::move(text));
            };
            client->onClose = [this, weak = std::weak_ptr<WebSocketClient>(client)] {
                if (const auto ended = weak.lock())
                    closedFromOutside(*ended);
            };
            // The status says it before the line does: whoever reads the line reads the state.
            client->onError = [this, raw = client.get()](const std::string& error) {
                {
                    std::lock_guard lk(mutex_);
                    if (client_.get() == raw) {
                        status_.error = error;
                        if (status_.state == State::Connecting)
                            markOpenFailedLocked();
                        publishLocked();
                    }
                }
                logLine("[BRV] WS error: " + error);
            };

            std::shared_ptr<WebSocketClient> previous;
            std::shared_ptr<MessagePipeline> previousPipeline;
            {
                std::lock_guard lk(mutex_);
                if (stopping_)
                    return;
                previous = std::exchange(client_, client);
                previousPipeline = std::exchange(pipeline_, pipeline);
                status_.state = State::Connecting;
                publishLocked();
            }
            if (previous)
                previous->close();
            if (previousPipeline)
                previousPipeline->stop();
            previous.reset();

            const bool ok = client->connect(stop);
            {
                std::lock_guard lk(mutex_);
                if (client_ != client || ok)
                    return;  // stopped or replaced meanwhile, or connected (markConnected)
                if (status_.state == State::Connecting)
                    markOpenFailedLocked();
                publishLocked();
            }
            waker_.wake();  // the connector decides what comes next
        });
    }

    // The backend closed the session, or the network ended it (a close of ours says nothing).
    void closedFromOutside(const WebSocketClient& client) {
        const auto ending = client.ending();
        if (!ending.byPeer)
            return;
        {
            std::lock_guard lk(mutex_);
            if (client_.get() != &client)
                return;  // an older client
            const std::int64_t now = platform::steadyMillis();
            if (now - openedAtMs_ >= settledAfterMs)
                failures_ = 0;
            ++failures_;
            status_.state = State::Closed;
            status_.sinceMs = now;  // down from the loss, however many opens fail after it
            status_.closeCode = ending.code;
            status_.closeReason = escapedForLog(validUtf8(ending.reason));
            status_.replaced = ending.code == replacedByNewerConnection;
            if (ending.code == 0)
                status_.error = ending.reason;
            publishLocked();
        }
        waker_.wake();
    }

    // Opens again when asked, or by itself once its time has come; sleeps otherwise.
    void connectorLoop(LoopThread& self) {
        for (;;) {
            const bool reconnect = wantsReconnect();
            bool go = false;
            bool pollSetting = false;
            std::int64_t waitMs = -1;
            std::int64_t silentMs = -1;      // the open connection has been silent past its limit
            std::int64_t watchUntilMs = -1;  // when its silence would pass the limit
            {
                std::lock_guard lk(mutex_);
                if (stopping_)
                    return;
                const std::int64_t now = platform::steadyMillis();
                const bool down = status_.state == State::Closed || status_.state == State::Waiting;
                if (wanted_) {
                    wanted_ = false;
                    go = down || status_.state == State::NotStarted;
                } else if (status_.state == State::Waiting) {
                    if (!reconnect) {
                        status_.state = State::Closed;  // turned off meanwhile
                        publishLocked();
                    } else if (now >= status_.retryAtMs)
                        go = true;
                    else
                        waitMs = status_.retryAtMs - now;
                } else if (status_.state == State::Closed && reconnect && !status_.replaced) {
                    const std::int64_t ceiling = std::min(
                        lastRetryMs, firstRetryMs << std::min(std::max(failures_, 1) - 1, 6));
                    const std::int64_t delay =
                        std::uniform_int_distribution<std::int64_t>(0, ceiling)(random_);
                    status_.state = State::Waiting;
                    status_.retryAtMs = now + delay;
                    publishLocked();
                    waitMs = delay;
                } else if (status_.state == State::Closed && !status_.replaced) {
                    pollSetting = true;
                } else if (status_.state == State::Connected) {
                    // Watched once the backend has pinged twice; a ping wakes this to look again.
                    if (const std::int64_t limit = silenceLimit(); limit >= 0) {
                        const std::int64_t silent = now - lastFrameMs_.load();
                        if (silent > limit)
                            silentMs = silent;
                        else
                            watchUntilMs = now + limit - silent + 1;
                    }
                }
            }
            if (silentMs >= 0) {
                closeSilent(silentMs);
                continue;
            }
            if (go) {
                open(self.stopToken());
                continue;
            }
            if (pollSetting) {
                // Closed with the setting off: nothing tells this thread when the player turns
                // it on (a console variable), so it looks again every second of real time (a
                // wait on the plugin's clock would be one more sleeper there for the tests).
                if (!waker_.pollWait(std::chrono::milliseconds(settingCheckMs), self.stopToken()))
                    return;
                continue;
            }
            // Until a time of the clock: the clock may move between reading it and the wait.
            if (!(watchUntilMs >= 0 ? waker_.waitUntil(watchUntilMs, self.stopToken())
                                    : waker_.wait(waitMs, self.stopToken())))
                return;
        }
    }

    // The silence the open connection may keep; -1 while the backend has not pinged twice.
    std::int64_t silenceLimit() const {
        const std::int64_t period = pingPeriodMs_.load();
        return period > 0 ? std::max(silenceFloorMs, silentPeriods * period) : -1;
    }

    // The backend said nothing past the limit: the connection is taken for dead and closed as a
    // failed one (the status first, then the line), to be reopened as after any loss.
    void closeSilent(std::int64_t silentMs) {
        const std::string why =
            "sem resposta do backend ha " + std::to_string(silentMs / 1000) + "s";
        std::shared_ptr<WebSocketClient> client;
        {
            std::lock_guard lk(mutex_);
            if (status_.state != State::Connected || !client_)
                return;
            client = client_;
            // A connection closed on a period it only took over, without a ping of its own: the
            // backend may have stopped pinging, and the next connection waits for two again.
            if (pingedSerial_.load() != client_->serial)
                knownPeriodMs_ = 0;
            const std::int64_t now = platform::steadyMillis();
            if (now - openedAtMs_ >= settledAfterMs)
                failures_ = 0;
            ++failures_;
            status_.state = State::Closed;
            status_.sinceMs = now;
            status_.closeCode = 0;
            status_.closeReason.clear();
            status_.replaced = false;
            status_.error = why;
            publishLocked();
        }
        logLine("[BRV] WS: " + why + "; conexao encerrada");
        // Ends the receive under way, the socket shut past the share: no more than unload's, since
        // the peer is most likely gone and an unload meanwhile waits for this thread. No lock is
        // held here.
        client->close(unloadCloseShare);
    }

    // The opening client connected: unless it was replaced meanwhile.
    void markConnected(const WebSocketClient* raw) {
        std::lock_guard lk(mutex_);
        if (client_.get() != raw || status_.state != State::Connecting)
            return;
        const std::int64_t now = platform::steadyMillis();
        // Nothing heard yet on this connection. The backend's period is the one it showed on the
        // connections before, so that one that dies before its first two pings is noticed too.
        lastFrameMs_.store(now);
        pingPeriodMs_.store(knownPeriodMs_);
        pingedSerial_.store(0);
        lastPingMs_ = -1;
        gapCount_ = 0;
        status_.state = State::Connected;
        status_.sinceMs = now;
        status_.attempts = 0;
        status_.error.clear();
        openedAtMs_ = now;
        publishLocked();
    }

    // An open that failed: the session stays down since it went down (or since load).
    void markOpenFailedLocked() {
        status_.state = State::Closed;
        ++status_.attempts;
        ++failures_;
    }

    // Hands readers a copy of the status as it is now. Called with mutex_ held, after each change,
    // so that the snapshot is never older than the last change that was logged.
    void publishLocked() {
        auto snapshot = std::make_shared<const SessionStatus>(status_);
        std::lock_guard lk(publishedMutex_);
        published_ = std::move(snapshot);
    }

    bool wantsReconnect() {
        std::function<bool()> reconnect;
        {
            std::lock_guard lk(mutex_);
            reconnect = setup_.reconnect;
        }
        bool on = false;
        runGuarded("session reconnect setting", [&] { on = reconnect && reconnect(); });
        return on;
    }

    std::mutex mutex_;
    std::shared_ptr<WebSocketClient> client_;
    // The client's dispatch thread: the handlers of what its receiver routed.
    std::shared_ptr<MessagePipeline> pipeline_;
    SessionSetup setup_;
    SessionStatus status_;
    int failures_ = 0;  // closes and failed opens in a row
    // What the open connection has heard of the backend, reset when a connection opens: its last
    // frame (the receiver), its ping period (0 until two pings) and whether it pinged at all.
    std::atomic<std::int64_t> lastFrameMs_{0};
    std::atomic<std::int64_t> pingPeriodMs_{0};
    std::atomic<std::uint64_t> pingedSerial_{0};
    std::int64_t lastPingMs_ = -1;    // guarded by mutex_, as the gaps are
    std::int64_t knownPeriodMs_ = 0;  // the backend's, from the connections so far (0: none)
    std::array<std::int64_t, gapsKept> gaps_{};
    int gapCount_ = 0;
    std::int64_t openedAtMs_ = 0;
    bool wanted_ = false;       // an open asked for (by hand, or the first)
    bool connectorUp_ = false;  // the connector's thread was started and not yet stopped
    bool stopping_ = false;
    std::mt19937_64 random_{platform::osRandom32()};
    // The status as last published; its mutex is held only to copy the pointer.
    std::mutex publishedMutex_;
    std::shared_ptr<const SessionStatus> published_;
    Waker waker_;
    LoopThread connector_;  // last: it stops (and joins) before the rest goes
};

Session& session() {
    static Session instance;
    return instance;
}

}  // namespace

void startBackendSession(SessionSetup setup) {
    runGuarded("backend session", [&] {
        if (globalGameWrapper.load())
            session().start(std::move(setup));
    });
}

void startBackendSession(std::span<const MessageRoute> routes, std::function<void()> onOpen) {
    startBackendSession(SessionSetup{routes, std::move(onOpen), {}});
}

void stopBackendSession() {
    session().stop();
}

bool connectNow() {
    return session().connectNow();
}

SessionStatus sessionStatus() {
    return session().status();
}

const char* notSentReason(SendOutcome outcome) {
    switch (outcome) {
        case SendOutcome::Sent:
            return "";
        case SendOutcome::NoSession:
            return "sem conexao";
        case SendOutcome::QueueFull:
            return "fila cheia";
    }
    return "sem conexao";
}

SendOutcome sendToBackend(const std::string& text, SentFrame* sent) {
    const auto client = session().client();
    if (!client)
        return SendOutcome::NoSession;
    std::uint64_t frame = 0;
    switch (client->sendText(text, &frame)) {
        case platform::WebSocketSendResult::Queued:
            if (sent)
                *sent = {client->serial, frame};
            return SendOutcome::Sent;
        case platform::WebSocketSendResult::QueueFull:
            return SendOutcome::QueueFull;
        case platform::WebSocketSendResult::NotOpen:
            break;
    }
    return SendOutcome::NoSession;
}

bool frameWritten(const SentFrame& sent) {
    const auto client = session().client();
    return client && client->serial == sent.session && client->isConnected() &&
           client->framesWritten() >= sent.frame;
}

bool sessionOpen(std::uint64_t serial) {
    const auto client = session().client();
    return client && client->serial == serial && client->isConnected();
}

bool sessionPinged(std::uint64_t serial) {
    return session().pinged(serial) && sessionOpen(serial);
}

bool backendClientExists() {
    return session().client() != nullptr;
}

bool backendConnected() {
    const auto client = session().client();
    return client && client->isConnected();
}

RouteOutcome answerPing(const json&) {
    session().pingSeen();
    sendToBackend(R"({"t":"pong"})");
    return handled;
}

}  // namespace brevant
