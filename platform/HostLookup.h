#pragma once
// A host name's addresses (POSIX), looked up so that a stop or a deadline ends the wait at once.
// glibc's getaddrinfo_a runs the lookup on a thread of glibc's own; gai_cancel ends a request
// that has not started. One that glibc can no longer cancel finishes there on memory that is
// left to it (a few hundred bytes, never freed): no code of ours runs on that thread, so the
// module may be closed under it. Asio's resolver, by contrast, runs getaddrinfo on a thread that
// no stop ends, and its destructor waits for it. (Under ThreadSanitizer, which cannot follow
// glibc's own threads, the lookup is a getaddrinfo on a detached thread instead.)
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

namespace platform {

enum class LookupOutcome { Found, Failed, Stopped, TimedOut };

LookupOutcome lookupHost(const std::string& host, std::uint16_t port, std::stop_token stop,
                         std::chrono::steady_clock::time_point deadline,
                         std::vector<boost::asio::ip::tcp::endpoint>& endpoints);

}  // namespace platform
