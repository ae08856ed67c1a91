#pragma once
// A loopback listener that takes connections (the kernel does) and never reads or answers: a
// backend that is up and mute.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace bench {

// A listener that takes connections (the kernel does) and never reads or answers.
class MuteListener {
public:
    MuteListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            ::listen(fd_, 16) == 0)
            port_ = ntohs(addr.sin_port);
    }
    ~MuteListener() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace bench
