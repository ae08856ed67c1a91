// The HTTP response reader of platform/HttpTransport_posix.cpp (status line and headers, interim
// responses, content-length, chunked and close-delimited bodies, the body cap), through
// platform::readHttpResponse, which runs httpExchange's own reader on bytes instead of a socket.
//
// Input: one byte of flags, one byte of piece size, then the bytes the server sends.
//   flags bit 0     the request was a HEAD
//   flags bits 1-2  the body cap: 1 MiB (httpExchange's default), 0, 7 or 100 bytes
//   piece size      0: the bytes arrive in one piece; n: in pieces of n bytes
//
// Besides the sanitizers it checks what httpExchange promises its callers, and that how the bytes
// were cut into pieces changes nothing.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/Require.h"
#include "platform/HttpTransport.h"

namespace {

constexpr std::size_t kCaps[] = {1024 * 1024, 0, 7, 100};

bool same(const platform::HttpResponse& a, const platform::HttpResponse& b) {
    return a.statusRead == b.statusRead && a.status == b.status && a.body == b.body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const bool head = (data[0] & 1) != 0;
    const std::size_t cap = kCaps[(data[0] >> 1) & 3];
    const std::size_t pieceSize = data[1];
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::vector<std::string_view> pieces;
    if (pieceSize == 0) {
        pieces.push_back(bytes);
    } else {
        for (std::size_t at = 0; at < bytes.size(); at += pieceSize)
            pieces.push_back(bytes.substr(at, pieceSize));
    }

    platform::HttpResponse response;
    const bool answered = platform::readHttpResponse(pieces, head, response, cap);

    fuzz::require(answered == response.statusRead, "true exactly when the response head was read");
    if (!response.statusRead) {
        fuzz::require(response.status == 0, "no status without a response head");
        fuzz::require(response.body.empty(), "no body without a response head");
    } else {
        fuzz::require(response.status <= 999, "a status has three digits");
        fuzz::require(response.status < 100 || response.status >= 200 || response.status == 101,
                      "an interim response is never the answer");
    }
    fuzz::require(response.body.size() <= cap, "the body stops at the cap");
    if (head)
        fuzz::require(response.body.empty(), "the answer to a HEAD has no body");

    if (pieceSize != 0) {
        const std::string_view whole[] = {bytes};
        platform::HttpResponse inOnePiece;
        platform::readHttpResponse(whole, head, inOnePiece, cap);
        fuzz::require(same(response, inOnePiece), "the pieces the bytes arrive in change nothing");
    }
    return 0;
}
