#pragma once
// A client's network in the soak: a relay of the soak's own between one client and the backend's
// WebSocket and upload ports, on Asio with a thread of its own, which the evening makes fail as a
// player's network fails:
// - cut in silence: every connection stops both ways, its backend side dropped and its client
//   side kept open and unread (half-open, as a router that forgot the flow leaves it); new
//   connections are taken and left the same way until the heal, and pass again after it;
// - slow: client to server at a given rate, with little held in between, so that the client's
//   socket takes the body at that pace;
// - late: every piece both ways held for an added delay with jitter, in order;
// - reset: every connection ended at once with an RST to the client;
// - stalled: the same connections hold what comes both ways, then pass it on.
// Each event is a line of the timeline beside the client's own ("A link ...").
#include <memory>
#include <string>

#include "host/Timeline.h"

namespace host::soak {

class SoakLink {
public:
    SoakLink(std::string client, Timeline& timeline);
    ~SoakLink();
    SoakLink(const SoakLink&) = delete;
    SoakLink& operator=(const SoakLink&) = delete;

    // Listens on two free ports of 127.0.0.1 that lead to those of the backend; false when it
    // cannot (the reason on the timeline).
    bool start(int backendWsPort, int backendUploadPort);
    int wsPort() const;
    int uploadPort() const;

    // Each returns at once; the relay's thread carries it out and says so on the timeline.
    void cut();
    void heal();
    void slow(int bytesPerSecond);        // 0: full speed again
    void late(int meanMs, int jitterMs);  // 0: on time again
    void reset();
    void stall();
    void resume();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace host::soak
