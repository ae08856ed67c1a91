#pragma once
// A listener on 127.0.0.1 whose socket filter drops every packet: a SYN to it goes unanswered
// (no SYN-ACK, no reset), whatever the backlog and SYN-cookie settings, so a connection attempt
// hangs until the client's own limit. (A listener that merely never accepts still completes
// the TCP handshake in the kernel.) Windows has no socket filters: there it is always unusable.
#ifdef _WIN32
#include <cstdint>
#include <string>

namespace testing_support {

class SilentListener {
public:
    std::uint16_t port() const { return 0; }
    const std::string& unusable() const { return why_; }

private:
    std::string why_ = "Windows sockets take no packet filter";
};

}  // namespace testing_support
#else
#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace testing_support {

class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            why_ = std::string("cannot bind a loopback socket: ") + std::strerror(errno);
            return;
        }
        port_ = ntohs(addr.sin_port);
        sock_filter dropAll[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
        const sock_fprog program{1, dropAll};
        if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
            why_ = std::string("cannot attach a socket filter: ") + std::strerror(errno);
            return;
        }
        if (::listen(fd_, 16) != 0) {
            why_ = std::string("cannot listen: ") + std::strerror(errno);
            return;
        }
        if (probeAnswered())
            why_ = "this system answers connections to a listener that filters everything";
    }
    ~SilentListener() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    // Empty when the listener really stays silent; else why not (the test should skip).
    const std::string& unusable() const { return why_; }

private:
    static sockaddr_in loopback(std::uint16_t port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        return addr;
    }
    // A probe connection must not get through within half a second.
    bool probeAnswered() const {
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (probe < 0)
            return true;
        sockaddr_in addr = loopback(port_);
        const int started = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        const bool pending = started != 0 && errno == EINPROGRESS;
        pollfd writable{probe, POLLOUT, 0};
        const bool answered = !pending || ::poll(&writable, 1, 500) != 0;
        ::close(probe);
        return answered;
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::string why_;
};

}  // namespace testing_support
#endif  // _WIN32
