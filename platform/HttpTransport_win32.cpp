// HTTP on WinHTTP: one synchronous session, connection and request per exchange, closed in
// reverse order before returning. A stop request closes the request handle from the thread that
// asks, which makes the call under way on the exchange's thread fail at once.
#include "platform/HttpTransport.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/HttpRequestText.h"
#include "platform/PaceWatch.h"
#include "platform/Text.h"
#include "platform/WinHttp_win32.h"

namespace platform {
namespace {

using winhttp::limitMs;

// The three handles of one exchange. The request handle may be closed early by a stop request
// on another thread; the mutex makes that and the exchange's own close happen once.
class Handles {
public:
    ~Handles() { closeRequest(); }
    void closeRequest() {
        std::lock_guard lock(mutex_);
        if (request_)
            ::WinHttpCloseHandle(std::exchange(request_, nullptr));
        stopped_ = true;
    }
    // Keeps the request handle unless a stop came first (then it is closed at once).
    bool setRequest(HINTERNET request) {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            ::WinHttpCloseHandle(request);
            return false;
        }
        request_ = request;
        return true;
    }
    HINTERNET request() {
        std::lock_guard lock(mutex_);
        return request_;
    }

    winhttp::Handle session;
    winhttp::Handle connection;

private:
    std::mutex mutex_;
    HINTERNET request_ = nullptr;
    bool stopped_ = false;
};

using TimePoint = std::chrono::steady_clock::time_point;

// The sooner of two ends, either of which may be none.
std::optional<TimePoint> sooner(std::optional<TimePoint> a, std::optional<TimePoint> b) {
    if (!a || (b && *b < *a))
        return b;
    return a;
}

// Closes the request once the exchange's end has passed, unless the exchange ends first. The end
// may move: the pace's cut follows the body's progress. A thread of its own watches it (WinHTTP
// bounds each call, not the whole exchange), started once there is an end to watch.
class Watch {
public:
    explicit Watch(Handles& handles) : handles_(handles) {}
    ~Watch() {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        changed_.notify_all();
        if (watcher_.joinable())
            watcher_.join();
    }
    // The end from now on; none: no end.
    void endAt(std::optional<TimePoint> at) {
        {
            std::lock_guard lock(mutex_);
            end_ = at;
        }
        changed_.notify_all();
        if (at && !watcher_.joinable())
            watcher_ = std::thread([this] { run(); });
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!over_) {
            if (!end_) {
                changed_.wait(lock);
            } else if (std::chrono::steady_clock::now() >= *end_) {
                lock.unlock();
                handles_.closeRequest();
                return;
            } else {
                changed_.wait_until(lock, *end_);
            }
        }
    }

    Handles& handles_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<TimePoint> end_;
    bool over_ = false;
    std::thread watcher_;
};

// One call on the request handle, or failure when a stop closed it.
template <class Call>
bool onRequest(Handles& handles, Call&& call) {
    HINTERNET request = handles.request();
    return request && call(request);
}

// Session, connection and request, with the limits set; false when one cannot be made or a stop
// came first.
bool openExchange(const HttpRequest& request, const HttpTimeouts& timeouts, Handles& handles) {
    if (!winhttp::openSession(handles.session, request.userAgent,
                              WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY))
        return false;
    // Name resolution comes under the connection's limit, as it does on the other systems.
    const auto setLimits = [&](HINTERNET handle) {
        ::WinHttpSetTimeouts(handle, limitMs(timeouts.connect), limitMs(timeouts.connect),
                             limitMs(timeouts.send), limitMs(timeouts.receive));
    };
    setLimits(handles.session.value);
    if (!winhttp::connect(handles.session.value, handles.connection, request.host, request.port))
        return false;
    HINTERNET opened = winhttp::openRequest(handles.connection.value, request.method,
                                            request.target, request.port);
    if (!opened || !handles.setRequest(opened))
        return false;
    // The request's own limits too: not every WinHTTP passes the session's on to it.
    setLimits(opened);
    // The caller sees every answer as it came, a redirect included.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(opened, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
    winhttp::setResponseHeadLimit(opened, limitMs(timeouts.receive));
    // Line by line, each added as it is: a repeated name stays a line of its own.
    const std::string lines = headerLines(request.extraHeaders);
    for (std::size_t at = 0; at < lines.size();) {
        const std::size_t end = lines.find("\r\n", at);
        const std::wstring line = utf8ToWide(std::string_view(lines).substr(at, end - at));
        ::WinHttpAddRequestHeaders(opened, line.c_str(), static_cast<DWORD>(line.size()),
                                   WINHTTP_ADDREQ_FLAG_ADD);
        at = end + 2;
    }
    return true;
}

// Sends the head, then the source's bytes a piece at a time (WinHttpWriteData): never more of
// the body in memory than one piece. With a pace, each piece is small enough to be taken within
// the send limit at any pace it accepts, and the watch's end follows the progress; once the body
// is out, the response head gets the receive limit.
bool sendStreamed(const HttpRequest& request, const HttpTimeouts& timeouts, Handles& handles,
                  Watch& watch) {
    const HttpBodySource& source = *request.bodySource;
    if (source.size > 0xFFFFFFFFu)
        return false;  // WinHTTP's total length is 32 bits
    std::optional<PaceWatch> pace;
    if (request.pace) {
        pace.emplace(*request.pace, std::chrono::steady_clock::now());
        watch.endAt(sooner(request.deadline, pace->cutAt()));
    }
    const DWORD length = static_cast<DWORD>(source.size);
    if (!onRequest(handles, [&](HINTERNET r) {
            return ::WinHttpSendRequest(r, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                        WINHTTP_NO_REQUEST_DATA, 0, length, 0) != FALSE;
        }))
        return false;
    std::vector<char> piece(static_cast<std::size_t>(
        pace ? std::min<std::uint64_t>(64 * 1024, pace->pieceBytes()) : 64 * 1024));
    for (std::uint64_t left = source.size; left > 0;) {
        const auto n = source.read(
            piece.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size())));
        if (!n || *n == 0 || *n > left)
            return false;
        for (std::size_t at = 0; at < *n;) {
            DWORD written = 0;
            if (!onRequest(handles,
                           [&](HINTERNET r) {
                               return ::WinHttpWriteData(r, piece.data() + at,
                                                         static_cast<DWORD>(*n - at),
                                                         &written) != FALSE;
                           }) ||
                written == 0)
                return false;
            at += written;
            if (pace) {
                pace->taken(written, std::chrono::steady_clock::now());
                watch.endAt(sooner(request.deadline, pace->cutAt()));
            }
        }
        left -= *n;
    }
    if (pace && timeouts.receive.count() > 0)
        watch.endAt(sooner(request.deadline, std::chrono::steady_clock::now() + timeouts.receive));
    return onRequest(handles,
                     [](HINTERNET r) { return ::WinHttpReceiveResponse(r, nullptr) != FALSE; });
}

// Sends the request with its body and waits for the response head.
bool sendRequest(const HttpRequest& request, const HttpTimeouts& timeouts, Handles& handles,
                 Watch& watch) {
    if (request.bodySource && carriesBody(request))
        return sendStreamed(request, timeouts, handles, watch);
    static const std::string kNoBody;
    const std::string& body = carriesBody(request) && request.body ? *request.body : kNoBody;
    // WinHTTP writes the Content-Length itself from the total length; a GET gets none.
    const DWORD length = static_cast<DWORD>(body.size());
    return onRequest(handles,
                     [&](HINTERNET r) {
                         return ::WinHttpSendRequest(r, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                     body.empty() ? WINHTTP_NO_REQUEST_DATA
                                                                  : const_cast<char*>(body.data()),
                                                     length, length, 0) != FALSE;
                     }) &&
           onRequest(handles,
                     [](HINTERNET r) { return ::WinHttpReceiveResponse(r, nullptr) != FALSE; });
}

// The body: what arrives until its end, a failure or the cap.
void readBody(Handles& handles, std::size_t maxBodyBytes, std::string& body) {
    std::string chunk;
    while (body.size() < maxBodyBytes) {
        DWORD available = 0;
        if (!onRequest(
                handles,
                [&](HINTERNET r) { return ::WinHttpQueryDataAvailable(r, &available) != FALSE; }) ||
            available == 0)
            return;
        chunk.resize(available);
        DWORD read = 0;
        if (!onRequest(handles,
                       [&](HINTERNET r) {
                           return ::WinHttpReadData(r, chunk.data(), available, &read) != FALSE;
                       }) ||
            read == 0)
            return;
        const std::size_t room = maxBodyBytes - body.size();
        body.append(chunk.data(), read < room ? read : room);
    }
}

}  // namespace

bool httpExchange(const HttpRequest& request, HttpResponse& response, const HttpTimeouts& timeouts,
                  std::size_t maxBodyBytes) {
    try {
        response = HttpResponse{};
        if (request.method.empty() || request.host.empty() || request.stop.stop_requested())
            return false;
        Handles handles;
        if (!openExchange(request, timeouts, handles))
            return false;
        // From here on a stop closes the request, which ends whichever call is under way; so
        // does the deadline, watched by a thread of its own (WinHTTP bounds each call, not the
        // whole exchange).
        std::optional<std::stop_callback<std::function<void()>>> onStop;
        onStop.emplace(request.stop, [&handles] { handles.closeRequest(); });
        Watch watch(handles);
        watch.endAt(request.deadline);
        if (!sendRequest(request, timeouts, handles, watch))
            return false;
        DWORD status = 0;
        response.statusRead =
            onRequest(handles, [&](HINTERNET r) { return winhttp::readStatus(r, status); });
        if (!response.statusRead)
            return false;
        watch.endAt(request.deadline);  // the head came: the body is bounded as before
        response.status = status;
        readBody(handles, maxBodyBytes, response.body);
        return true;
    } catch (...) {
        // Out of memory or threads. Past the response head this ends the body like any other
        // failure, keeping what arrived.
        return response.statusRead;
    }
}

}  // namespace platform
