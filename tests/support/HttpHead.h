#pragma once
// The head of a request as the system's HTTP stack writes it, for tests that check the wire.
#include <cstddef>
#include <optional>
#include <string>

namespace testing_support {

// The request line, then Host, User-Agent, the extra lines and Content-Length (when given), in
// this order. WinHTTP writes the extra lines first, then its own (User-Agent, Host,
// Content-Length, Connection), and puts a space after the colon of an empty value.
// `extraLines` holds whole lines, each ended by CR LF.
inline std::string expectedRequestHead(const std::string& requestLine, const std::string& hostLine,
                                       const std::string& userAgent, const std::string& extraLines,
                                       std::optional<std::size_t> contentLength) {
    const std::string agent = "User-Agent: " + userAgent + "\r\n";
    const std::string length =
        contentLength ? "Content-Length: " + std::to_string(*contentLength) + "\r\n" : "";
#ifdef _WIN32
    std::string extra;
    for (std::size_t at = 0; at < extraLines.size();) {
        const std::size_t end = extraLines.find("\r\n", at);
        std::string line = extraLines.substr(at, end - at);
        if (!line.empty() && line.back() == ':')
            line += ' ';
        extra += line + "\r\n";
        at = end + 2;
    }
    return requestLine + "\r\n" + extra + agent + hostLine + "\r\n" + length +
           "Connection: Keep-Alive\r\n\r\n";
#else
    return requestLine + "\r\n" + hostLine + "\r\n" + agent + extraLines + length + "\r\n";
#endif
}

}  // namespace testing_support
