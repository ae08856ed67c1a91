#include "sdk/HostRuntime.h"

#include <cmath>
#include <exception>

#include "sdk/CVarManagerWrapper.h"
#include "sdk/GameWrapper.h"

namespace sdk {

std::shared_ptr<HostRuntime> HostRuntime::create(HostOptions options) {
    return std::shared_ptr<HostRuntime>(new HostRuntime(std::move(options)));
}

HostRuntime::HostRuntime(HostOptions options)
    : options_(std::move(options)), model_(GameModel::mainMenuDefault()) {
    gameThread_ = std::this_thread::get_id();
    loadConfig();
}

HostRuntime::~HostRuntime() {
    stopGameThread();
    destroyImGui();
}

std::shared_ptr<GameWrapper> HostRuntime::makeGameWrapper() {
    return std::make_shared<GameWrapper>(shared_from_this());
}

std::shared_ptr<CVarManagerWrapper> HostRuntime::makeCvarManager() {
    return std::make_shared<CVarManagerWrapper>(shared_from_this());
}

void HostRuntime::post(std::function<void()> fn) {
    {
        std::lock_guard lk(mutex_);
        if (stopping_)
            return;
        posted_.push_back(std::move(fn));
    }
    wake_.notify_all();
}

namespace {
// Delays are floats; rounding them to whole microseconds keeps 0.3f due at 0.3 s exactly.
std::int64_t toNanos(double seconds) {
    if (!(seconds > 0))
        return 0;
    return std::llround(seconds * 1e6) * 1000;
}
}  // namespace

void HostRuntime::setTimeout(std::function<void()> fn, float seconds) {
    {
        std::lock_guard lk(mutex_);
        if (stopping_)
            return;
        std::int64_t now = options_.clock == ClockMode::Manual
                               ? manualNow_
                               : std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - start_)
                                     .count();
        timers_.emplace(std::make_pair(now + toNanos(seconds), timerSeq_++), std::move(fn));
    }
    wake_.notify_all();
}

bool HostRuntime::isGameThread() const {
    std::lock_guard lk(mutex_);
    return std::this_thread::get_id() == gameThread_;
}

void HostRuntime::requireGameThread(const char* what) {
    if (isGameThread())
        return;
    std::string fault = std::string(what) + " called off the game thread";
    {
        std::lock_guard lk(mutex_);
        faults_.push_back(fault);
    }
    emit(OutputKind::Fault, fault);
}

std::vector<std::string> HostRuntime::faults() const {
    std::lock_guard lk(mutex_);
    return faults_;
}

std::int64_t HostRuntime::nowNanos() const {
    if (options_.clock == ClockMode::Manual) {
        std::lock_guard lk(mutex_);
        return manualNow_;
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                start_)
        .count();
}

void HostRuntime::invoke(const std::function<void()>& fn, const char* what) {
    try {
        fn();
    } catch (const std::exception& e) {
        std::string fault = std::string("exception escaped a plugin ") + what + ": " + e.what();
        {
            std::lock_guard lk(mutex_);
            faults_.push_back(fault);
        }
        emit(OutputKind::Fault, fault);
    } catch (...) {
        std::string fault = std::string("exception escaped a plugin ") + what;
        {
            std::lock_guard lk(mutex_);
            faults_.push_back(fault);
        }
        emit(OutputKind::Fault, fault);
    }
}

void HostRuntime::runPosted() {
    for (;;) {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard lk(mutex_);
            batch.swap(posted_);
        }
        if (batch.empty())
            return;
        for (auto& fn : batch)
            invoke(fn, "posted callable");
    }
}

bool HostRuntime::popDueTimer(std::int64_t limit, std::function<void()>& fn) {
    {
        std::lock_guard lk(mutex_);
        if (timers_.empty())
            return false;
        auto it = timers_.begin();
        if (it->first.first > limit)
            return false;
        if (options_.clock == ClockMode::Manual && it->first.first > manualNow_)
            manualNow_ = it->first.first;
        fn = std::move(it->second);
        timers_.erase(it);
    }
    wake_.notify_all();
    return true;
}

void HostRuntime::advance(double seconds) {
    std::int64_t target;
    {
        std::lock_guard lk(mutex_);
        target = manualNow_ + toNanos(seconds);
    }
    runPosted();
    std::function<void()> fn;
    while (popDueTimer(target, fn)) {
        invoke(fn, "timer");
        fn = nullptr;
        runPosted();
    }
    {
        std::lock_guard lk(mutex_);
        if (manualNow_ < target)
            manualNow_ = target;
    }
    wake_.notify_all();
    runPosted();
}

bool HostRuntime::pumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        runPosted();
        if (cond())
            return true;
        std::unique_lock lk(mutex_);
        if (!posted_.empty())
            continue;
        // Work can also arrive without a post (a socket, a worker's flag): look again soon.
        if (wake_.wait_until(lk, std::min(deadline, std::chrono::steady_clock::now() +
                                                        std::chrono::milliseconds(5))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            lk.unlock();
            runPosted();
            return cond();
        }
    }
}

bool HostRuntime::waitForClock(std::int64_t nanos, std::stop_token stop) {
    // The callback takes the lock so that its wake-up cannot fall between this thread's check
    // and its wait. It is made before the lock: a stop asked already runs it here, at once.
    std::stop_callback wakeOnStop(stop, [this] {
        { std::lock_guard lk(mutex_); }
        wake_.notify_all();
    });
    std::unique_lock lk(mutex_);
    const auto ended = [&] { return stopping_ || stop.stop_requested(); };
    if (options_.clock == ClockMode::Manual) {
        const auto mine = clockWaits_.insert(nanos);
        ++clockWaitsBegun_;
        wake_.notify_all();  // for awaitClockWait
        wake_.wait(lk, [&] { return manualNow_ >= nanos || ended(); });
        clockWaits_.erase(mine);
        return !ended();
    }
    auto until = start_ + std::chrono::nanoseconds(nanos);
    wake_.wait_until(lk, until, ended);
    return !ended();
}

std::optional<HostRuntime::ClockWait> HostRuntime::awaitClockWait(
    std::uint64_t begun, std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    if (!wake_.wait_for(lk, timeout,
                        [&] { return !clockWaits_.empty() && clockWaitsBegun_ >= begun; }))
        return std::nullopt;
    return ClockWait{*clockWaits_.begin(), clockWaitsBegun_};
}

std::size_t HostRuntime::pendingTimers() const {
    std::lock_guard lk(mutex_);
    return timers_.size();
}

void HostRuntime::startGameThread() {
    std::lock_guard lk(mutex_);
    if (loop_.joinable() || options_.clock != ClockMode::RealTime)
        return;
    stopping_ = false;
    loop_ = std::thread([this] { gameThreadLoop(); });
    gameThread_ = loop_.get_id();  // from now on, before the loop has even started
}

void HostRuntime::stopGameThread() {
    {
        std::lock_guard lk(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (loop_.joinable() && loop_.get_id() != std::this_thread::get_id())
        loop_.join();
}

void HostRuntime::gameThreadLoop() {
    std::unique_lock lk(mutex_);
    gameThread_ = std::this_thread::get_id();
    while (!stopping_) {
        if (!posted_.empty()) {
            auto batch = std::move(posted_);
            posted_.clear();
            lk.unlock();
            for (auto& fn : batch)
                invoke(fn, "posted callable");
            lk.lock();
            continue;
        }
        if (!timers_.empty()) {
            auto it = timers_.begin();
            auto due = start_ + std::chrono::nanoseconds(it->first.first);
            if (std::chrono::steady_clock::now() >= due) {
                auto fn = std::move(it->second);
                timers_.erase(it);
                lk.unlock();
                invoke(fn, "timer");
                lk.lock();
            } else {
                wake_.wait_until(lk, due);
            }
            continue;
        }
        wake_.wait(lk);
    }
}

void HostRuntime::runOnGameThread(const std::function<void()>& fn) {
    if (isGameThread()) {
        fn();
        return;
    }
    // Shared with the posted call, which may outlive this wait when the game thread stops.
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto state = std::make_shared<Done>();
    post([this, state, fn] {
        invoke(fn, "host call");
        std::lock_guard lk(state->m);
        state->done = true;
        state->cv.notify_all();
    });
    std::unique_lock lk(state->m);
    while (!state->done) {
        if (state->cv.wait_for(lk, std::chrono::milliseconds(20)) == std::cv_status::timeout) {
            std::lock_guard g(mutex_);
            if (stopping_)
                return;  // nobody will run it any more
        }
    }
}

void HostRuntime::forgetPluginCallbacks() {
    std::vector<std::function<void()>> posted;
    std::multimap<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> timers;
    std::map<std::string, std::function<void(std::vector<std::string>)>> notifiers;
    std::multimap<std::string, std::function<void(std::string)>> hooks;
    {
        std::lock_guard lk(mutex_);
        posted.swap(posted_);
        timers.swap(timers_);
    }
    {
        std::lock_guard lk(consoleMutex_);
        notifiers.swap(notifiers_);
        hooks.swap(hooks_);
        windows_.clear();
        windowOpen_.clear();
        settingsWindows_.clear();
    }
    contextHandedTo_.clear();
    wake_.notify_all();
    // The callables are destroyed here, while their module is still mapped.
}

void HostRuntime::hookEvent(const std::string& name, std::function<void(std::string)> fn) {
    {
        std::lock_guard lk(consoleMutex_);
        hooks_.emplace(name, std::move(fn));
    }
    record(ConsoleEvent::Kind::Hook, name);
}

void HostRuntime::fireEvent(const std::string& name) {
    std::vector<std::function<void(std::string)>> hooks;
    {
        std::lock_guard lk(consoleMutex_);
        auto [first, last] = hooks_.equal_range(name);
        for (auto it = first; it != last; ++it)
            hooks.push_back(it->second);
    }
    for (auto& hook : hooks)
        invoke([&] { hook(name); }, "hook");
}

std::vector<std::string> HostRuntime::hookedEvents() const {
    std::lock_guard lk(consoleMutex_);
    std::vector<std::string> names;
    for (auto& [name, fn] : hooks_)
        names.push_back(name);
    return names;
}

void HostRuntime::toast(ToastRecord toast) {
    std::string line = toast.title + ": " + toast.text;
    {
        std::lock_guard lk(consoleMutex_);
        toasts_.push_back(std::move(toast));
    }
    emit(OutputKind::Toast, line);
}

std::vector<ToastRecord> HostRuntime::toasts() const {
    std::lock_guard lk(consoleMutex_);
    return toasts_;
}

void HostRuntime::setOutput(std::function<void(OutputKind, const std::string&)> sink) {
    std::vector<std::string> earlier;
    {
        std::lock_guard lk(consoleMutex_);
        sink_ = std::move(sink);
        if (!sink_ || sinkSeen_)
            return;
        sinkSeen_ = true;
        for (const auto& event : events_)
            if (event.kind == ConsoleEvent::Kind::Log)
                earlier.push_back(event.text);
    }
    for (const auto& text : earlier)
        emit(OutputKind::Log, text);
}

void HostRuntime::gameNote(const std::string& text) {
    emit(OutputKind::Game, text);
}

void HostRuntime::emit(OutputKind kind, const std::string& text) {
    std::function<void(OutputKind, const std::string&)> sink;
    {
        std::lock_guard lk(consoleMutex_);
        sink = sink_;
    }
    if (sink)
        sink(kind, text);
}

}  // namespace sdk
