#ifndef _WIN32
#include "tests/support/SlowLookup.h"

#include <dlfcn.h>
#include <netdb.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace slow_lookup {
namespace {

using Clock = std::chrono::steady_clock;

struct Pending {
    bool dead = false;  // kName
    Clock::time_point answerAt;
};

// The slow answer's delay for `name`, or nothing when the name is not one of ours.
std::optional<std::chrono::milliseconds> delayOf(const std::string& name) {
    int ms = 0;
    char end = 0;
    if (name == kName)
        return std::chrono::milliseconds::max();
    if (std::sscanf(name.c_str(), "slow-%d.brevant.tes%c", &ms, &end) == 2 && end == 't' && ms >= 0)
        return std::chrono::milliseconds(ms);
    return std::nullopt;
}

std::mutex mutex;
std::condition_variable changed;
std::map<const gaicb*, Pending> pending;  // the requests of the two names under way
int begunCount = 0;
int cancelledCount = 0;

template <class Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

bool waitForLookups(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return begunCount >= count; });
}
int begun() {
    std::lock_guard lock(mutex);
    return begunCount;
}
int cancelled() {
    std::lock_guard lock(mutex);
    return cancelledCount;
}

}  // namespace slow_lookup

using namespace slow_lookup;

extern "C" int getaddrinfo_a(int mode, gaicb* list[], int count, sigevent* notify) {
    const std::string name = count == 1 && list[0]->ar_name ? list[0]->ar_name : "";
    const auto delay = delayOf(name);
    if (!delay)
        return real<decltype(&getaddrinfo_a)>("getaddrinfo_a")(mode, list, count, notify);
    std::lock_guard lock(mutex);
    const bool dead = name == kName;
    pending[list[0]] = {dead, dead ? Clock::time_point::max() : Clock::now() + *delay};
    begunCount += name == kName ? 1 : 0;
    changed.notify_all();
    return 0;
}

extern "C" int gai_error(gaicb* request) {
    {
        std::lock_guard lock(mutex);
        const auto it = pending.find(request);
        if (it == pending.end())
            return real<decltype(&gai_error)>("gai_error")(request);
        if (it->second.dead || Clock::now() < it->second.answerAt)
            return EAI_INPROGRESS;
        pending.erase(it);
    }
    return getaddrinfo("127.0.0.1", request->ar_service, request->ar_request, &request->ar_result);
}

extern "C" int gai_suspend(const gaicb* const list[], int count, const timespec* timeout) {
    {
        std::lock_guard lock(mutex);
        if (count != 1 || !pending.count(list[0]))
            return real<decltype(&gai_suspend)>("gai_suspend")(list, count, timeout);
    }
    // The name server's silence: the caller's wait passes.
    std::this_thread::sleep_for(std::chrono::seconds(timeout->tv_sec) +
                                std::chrono::nanoseconds(timeout->tv_nsec));
    return EAI_AGAIN;
}

extern "C" int gai_cancel(gaicb* request) {
    std::lock_guard lock(mutex);
    if (!pending.erase(request))
        return real<decltype(&gai_cancel)>("gai_cancel")(request);
    ++cancelledCount;
    return EAI_CANCELED;
}
#endif
