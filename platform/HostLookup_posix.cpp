#include "platform/HostLookup.h"

#include "platform/Sanitizers.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
// How often a lookup under way looks at its stop: gai_suspend wakes for nothing else.
[[maybe_unused]] constexpr std::chrono::milliseconds kStopCheck{20};

// What glibc reads and writes while the request runs: one allocation, freed once glibc is done
// with it.
struct Request {
    std::string name;
    std::string service;
    addrinfo hints{};
    gaicb block{};
};

void collect(const addrinfo* found, std::vector<boost::asio::ip::tcp::endpoint>& endpoints) {
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        boost::asio::ip::tcp::endpoint endpoint;
        if (entry->ai_addrlen <= endpoint.capacity()) {
            std::copy_n(reinterpret_cast<const char*>(entry->ai_addr), entry->ai_addrlen,
                        reinterpret_cast<char*>(endpoint.data()));
            endpoint.resize(entry->ai_addrlen);
            endpoints.push_back(endpoint);
        }
    }
}

}  // namespace

#if defined(BREVANT_UNDER_TSAN)
// ThreadSanitizer cannot follow the threads glibc's getaddrinfo_a starts for itself (it crashes
// in them). Under it, and only there, the lookup is a getaddrinfo on a detached thread of ours,
// which the caller stops waiting for at a stop or the deadline.
LookupOutcome lookupHost(const std::string& host, std::uint16_t port, std::stop_token stop,
                         Clock::time_point deadline,
                         std::vector<boost::asio::ip::tcp::endpoint>& endpoints) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable_any answered;
        bool done = false;
        std::vector<boost::asio::ip::tcp::endpoint> found;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, host, service = std::to_string(port)] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* found = nullptr;
            std::vector<boost::asio::ip::tcp::endpoint> endpoints;
            if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0)
                collect(found, endpoints);
            if (found)
                freeaddrinfo(found);
            std::lock_guard lock(shared->mutex);
            shared->found = std::move(endpoints);
            shared->done = true;
            shared->answered.notify_all();
        }).detach();
    } catch (...) {
        return LookupOutcome::Failed;
    }
    std::unique_lock lock(shared->mutex);
    if (!shared->answered.wait_until(lock, stop, deadline, [&] { return shared->done; }))
        return stop.stop_requested() ? LookupOutcome::Stopped : LookupOutcome::TimedOut;
    endpoints = std::move(shared->found);
    return endpoints.empty() ? LookupOutcome::Failed : LookupOutcome::Found;
}
#else
LookupOutcome lookupHost(const std::string& host, std::uint16_t port, std::stop_token stop,
                         Clock::time_point deadline,
                         std::vector<boost::asio::ip::tcp::endpoint>& endpoints) {
    auto request = std::make_unique<Request>();
    request->name = host;
    request->service = std::to_string(port);
    request->hints.ai_family = AF_UNSPEC;
    request->hints.ai_socktype = SOCK_STREAM;
    request->hints.ai_flags = AI_NUMERICSERV;
    request->block.ar_name = request->name.c_str();
    request->block.ar_service = request->service.c_str();
    request->block.ar_request = &request->hints;
    gaicb* list[] = {&request->block};
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0)
        return LookupOutcome::Failed;
    for (;;) {
        const int state = gai_error(&request->block);
        if (state != EAI_INPROGRESS) {
            addrinfo* found = request->block.ar_result;
            if (state == 0)
                collect(found, endpoints);
            if (found)
                freeaddrinfo(found);
            return state == 0 && !endpoints.empty() ? LookupOutcome::Found : LookupOutcome::Failed;
        }
        const auto now = Clock::now();
        if (stop.stop_requested() || now >= deadline) {
            const int cancelled = gai_cancel(&request->block);
            if (cancelled == EAI_ALLDONE)
                continue;  // it ended meanwhile: its answer is read above
            if (cancelled != EAI_CANCELED)
                (void)request.release();  // glibc still works on it: left to it
            return stop.stop_requested() ? LookupOutcome::Stopped : LookupOutcome::TimedOut;
        }
        const auto wait = std::min<Clock::duration>(kStopCheck, deadline - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                               static_cast<long>(ns % 1'000'000'000)};
        const gaicb* waiting[] = {&request->block};
        gai_suspend(waiting, 1, &timeout);
    }
}

#endif

}  // namespace platform
