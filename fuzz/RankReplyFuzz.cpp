// The toast text for the backend's answer to a rank submission: brevant::ranks::replyText(sent,
// result), with the result postRankSubmit would make of a status and a body.
//
// Input: one byte of flags (bit 0: the request was sent and answered), two bytes of status (big
// endian; a status the transport could not read is 0), then the body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/Require.h"
#include "net/HttpRequests.h"
#include "ranks/RankSubmit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const bool sent = (data[0] & 1) != 0;
    brevant::HttpResult result;
    if (sent) {
        result.status = static_cast<std::uint32_t>(data[1] << 8 | data[2]);
        result.ok = result.status >= 200 && result.status <= 299;
        result.body.assign(reinterpret_cast<const char*>(data) + 3, size - 3);
    }
    const std::string text = brevant::ranks::replyText(sent, result);
    fuzz::require(!text.empty(), "every outcome has a text");
    return 0;
}
