// The pairing-status reply rule of brevant::queryPairStatus: brevant::readPairStatusReply(status,
// statusRead, body, registered).
//
// Input: one byte of flags (bit 0: the status was read), two bytes of status (big endian), then
// the body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/Require.h"
#include "net/HttpRequests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const bool statusRead = (data[0] & 1) != 0;
    const unsigned status = static_cast<unsigned>(data[1] << 8 | data[2]);
    const std::string body(reinterpret_cast<const char*>(data) + 3, size - 3);

    bool registered = true;
    const bool ok = brevant::readPairStatusReply(status, statusRead, body, registered);
    fuzz::require(ok || !registered, "no answer without an understood reply");
    fuzz::require(!body.empty() || !ok, "an empty body is never understood");
    return 0;
}
