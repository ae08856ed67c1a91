#pragma once
// The steps the HTTP exchange and the WebSocket upgrade both take on WinHTTP (Windows only).
#include <windows.h>
// windows.h first: winhttp.h needs its types.
#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/Text.h"

namespace platform::winhttp {

// WinHTTP takes its limits as int milliseconds; 0 means none, as ours does.
inline int limitMs(std::chrono::milliseconds limit) {
    if (limit.count() <= 0)
        return 0;
    return limit.count() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(limit.count());
}

// A handle closed once, when it goes.
struct Handle {
    HINTERNET value = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    void reset() {
        if (value)
            ::WinHttpCloseHandle(std::exchange(value, nullptr));
    }
};

// The session; false when it cannot be made.
inline bool openSession(Handle& session, const std::string& userAgent, DWORD accessType) {
    session.value = ::WinHttpOpen(utf8ToWide(userAgent).c_str(), accessType, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
    return session.value != nullptr;
}

// The connection to host:port (a numeric IPv6 host may come bracketed; WinHTTP takes it bare).
// It takes the session's limits as they are now: set them first.
inline bool connect(HINTERNET session, Handle& connection, const std::string& host,
                    std::uint16_t port) {
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    connection.value = ::WinHttpConnect(session, utf8ToWide(bare).c_str(), port, 0);
    return connection.value != nullptr;
}

// A request on the connection; TLS on port 443.
inline HINTERNET openRequest(HINTERNET connection, const std::string& method,
                             const std::string& target, std::uint16_t port) {
    return ::WinHttpOpenRequest(connection, utf8ToWide(method).c_str(),
                                utf8ToWide(target.empty() ? "/" : target).c_str(), nullptr,
                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                port == 443 ? WINHTTP_FLAG_SECURE : 0);
}

// How long the response head may take (90 s unless set).
inline void setResponseHeadLimit(HINTERNET request, int limitMs) {
    DWORD limit = static_cast<DWORD>(limitMs);
    ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &limit, sizeof limit);
}

// The answer's status code, once its head was received.
inline bool readStatus(HINTERNET request, DWORD& status) {
    DWORD size = sizeof status;
    return ::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                 WINHTTP_NO_HEADER_INDEX) != FALSE;
}

}  // namespace platform::winhttp
