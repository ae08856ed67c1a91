// The outbox's reading of a record file: brevant::outbox::readRecord(text, now).
//
// Input: the file's bytes. Rules: whatever they are, the read ends with a record or a reason;
// a record it takes has its count of tries within bounds and a creation time not past the
// minute's slack, and written back as the outbox writes it, reads back the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/Require.h"
#include "outbox/Record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::int64_t now = 1'800'000'000'000;  // a fixed wall clock: runs repeat
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto read = brevant::outbox::readRecord(text, now);
    if (!read.record) {
        fuzz::require(!read.why.empty(), "a refusal says why");
        return 0;
    }
    const auto& r = *read.record;
    fuzz::require(r.attempts >= 0 && r.attempts <= brevant::outbox::mostAttempts,
                  "tries within bounds");
    fuzz::require(r.createdMs >= 0 && r.createdMs <= now + 60'000, "created not in the future");
    const auto again =
        brevant::outbox::readRecord(brevant::dumpJson(brevant::outbox::toJson(r)), now);
    fuzz::require(again.record.has_value(), "a record taken is taken again once written");
    const auto& a = *again.record;
    fuzz::require(a.kind == r.kind && a.name == r.name && a.createdMs == r.createdMs &&
                      a.attempts == r.attempts && a.text == r.text &&
                      a.replay.path == r.replay.path && a.replay.size == r.replay.size &&
                      a.replay.writeTime == r.replay.writeTime &&
                      a.replay.owned == r.replay.owned && a.replay.deviceId == r.replay.deviceId &&
                      a.replay.server == r.replay.server && a.replay.uploader == r.replay.uploader,
                  "a record reads back as it was written");
    return 0;
}
