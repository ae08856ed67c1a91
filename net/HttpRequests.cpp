#include "net/HttpRequests.h"

#include "net/BackendEndpoint.h"
#include "net/Json.h"
#include "platform/HttpTransport.h"
#include "platform/Text.h"

namespace brevant {
namespace {

constexpr const char* apiKey = "qworlenstapifendrux";

// A body given whole, or its source.
struct Body {
    std::optional<std::string> text;
    std::optional<platform::HttpBodySource> source;
};

bool exchange(const char* method, const std::wstring& host, std::uint16_t port,
              const std::string& target, const char* userAgent, const std::wstring& headers,
              Body body, platform::HttpResponse& response, std::stop_token stop = {},
              const PostLimits& limits = {}) {
    platform::HttpRequest request;
    request.method = method;
    request.host = platform::wideToUtf8(host);
    request.port = port;
    request.target = target;
    request.userAgent = userAgent;
    request.extraHeaders = platform::wideToUtf8(headers);
    request.body = std::move(body.text);
    request.bodySource = std::move(body.source);
    request.stop = std::move(stop);
    request.deadline = limits.deadline;
    request.pace = limits.pace;
    return platform::httpExchange(request, response, limits.timeouts);
}

// Only a 2xx answer did what was asked; a status that was not read counts as 0.
void readStatus(platform::HttpResponse& reply, HttpResult& result) {
    result.status = reply.statusRead ? reply.status : 0;
    result.ok = result.status >= 200 && result.status <= 299;
    result.body = std::move(reply.body);
}

// A POST and its status: false when nothing came back (refused, timed out, stopped).
bool post(const std::wstring& host, std::uint16_t port, const std::string& target,
          const char* userAgent, const std::wstring& headers, Body body, HttpResult& result,
          std::stop_token stop, const PostLimits& limits = {}) {
    result = HttpResult{};
    try {
        platform::HttpResponse reply;
        if (!exchange("POST", host, port, target, userAgent, headers, std::move(body), reply,
                      std::move(stop), limits))
            return false;
        readStatus(reply, result);
        return true;
    } catch (...) {
        result = HttpResult{};
        return false;
    }
}

}  // namespace

std::string percentEncode(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

std::wstring buildRequestHeaders(const std::optional<std::wstring>& contentType) {
    std::wstring headers;
    if (contentType && !contentType->empty())
        headers += L"Content-Type: " + *contentType + L"\r\n";
    headers += L"x-api-key: " + platform::utf8ToWide(apiKey) + L"\r\n";
    headers += L"x-client: brevant-plugin\r\n";
    return headers;
}

bool queryPairStatus(const std::string& deviceId, bool& registered, std::stop_token stop) {
    registered = false;
    try {
        const auto endpoint = backendEndpoint();
        platform::HttpResponse response;
        if (!exchange("GET", endpoint.backendHost, endpoint.pairPort,
                      "/pair-status?deviceId=" + percentEncode(deviceId), "Brevant/1.0", L"",
                      Body{}, response, std::move(stop)))
            return false;
        return readPairStatusReply(response.status, response.statusRead, response.body, registered);
    } catch (...) {
        registered = false;
        return false;
    }
}

bool readPairStatusReply(unsigned status, bool statusRead, const std::string& body,
                         bool& registered) {
    registered = false;
    try {
        if (!statusRead)
            status = 0;  // as the transport reports a status it could not read
        if (body.empty())
            return false;
        const json reply = json::parse(body, nullptr, false);
        if (!reply.is_object())
            return false;
        auto member = reply.find("registered");
        if (member == reply.end()) {
            // An error status without an answer is the server failing, not "not registered".
            return status < 400;
        }
        if (!member->is_boolean())
            return false;
        registered = member->get<bool>();
        return true;
    } catch (...) {
        registered = false;
        return false;
    }
}

bool httpPost(const std::wstring& host, std::uint16_t port, const std::wstring& path,
              const std::string& contentType, std::string body, HttpResult& result,
              std::stop_token stop, std::optional<std::chrono::steady_clock::time_point> deadline) {
    try {
        return post(host, port, platform::wideToUtf8(path), "Brevant/1.0",
                    buildRequestHeaders(platform::utf8ToWide(contentType)),
                    {body.empty() ? std::nullopt : std::optional<std::string>(std::move(body)),
                     std::nullopt},
                    result, std::move(stop), PostLimits{{}, deadline, std::nullopt});
    } catch (...) {
        result = HttpResult{};
        return false;
    }
}

bool httpPost(const std::wstring& host, std::uint16_t port, const std::wstring& path,
              const std::string& contentType, platform::HttpBodySource body, HttpResult& result,
              std::stop_token stop, const PostLimits& limits) {
    try {
        return post(host, port, platform::wideToUtf8(path), "Brevant/1.0",
                    buildRequestHeaders(platform::utf8ToWide(contentType)),
                    {std::nullopt, std::move(body)}, result, std::move(stop), limits);
    } catch (...) {
        result = HttpResult{};
        return false;
    }
}

bool postRankSubmit(const std::string& body, HttpResult& result, std::stop_token stop) {
    const auto endpoint = backendEndpoint();
    return post(endpoint.backendHost, endpoint.rankPort, "/rank-submit", "Brevant/0.0.2",
                L"Content-Type: application/json; charset=utf-8\r\n", Body{body, std::nullopt},
                result, std::move(stop));
}

}  // namespace brevant
