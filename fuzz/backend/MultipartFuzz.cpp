// The upload body's multipart reader (backend/Multipart.h), fed the way the network feeds it: in
// pieces of any size. Whatever the pieces, the parts and the verdict are those of the body in
// one piece; the limits hold.
//
// Input: one byte of limits, one byte that seeds the piece sizes, then the body.
//   limits bits 0-1  the part header limit: 8 KiB (the upload's), 64, 100 or 20 bytes
//   limits bit 2     small field and file limits (16 and 256 bytes) instead of the upload's
//   limits bits 3-4  the boundary: "b", "b-1", "----BREVANTBOUNDARY" or "x y"
// The seed byte 0 gives pieces of one byte; others draw sizes from 1 to 64 bytes.
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend/Multipart.h"
#include "fuzz/Require.h"

namespace {

namespace mp = brevant::backend::multipart;

constexpr std::size_t kHeaderLimits[] = {8 * 1024, 64, 100, 20};
constexpr const char* kBoundaries[] = {"b", "b-1", "----BREVANTBOUNDARY", "x y"};

struct Collect final : mp::Handler {
    std::vector<std::pair<std::string, std::string>> parts;  // name, data
    std::size_t fileNames = 0;
    bool onPart(const mp::Part& part) override {
        fuzz::require(part.data.empty(), "a part's data comes after onPart");
        parts.push_back({part.name, {}});
        fileNames += part.fileName ? 1 : 0;
        return true;
    }
    bool onData(std::string_view bytes, std::uint64_t) override {
        fuzz::require(!parts.empty(), "data belongs to a part");
        fuzz::require(!bytes.empty(), "no empty data");
        parts.back().second += bytes;
        return true;
    }
};

struct Outcome {
    bool ok = false;
    mp::Failure failure = mp::Failure::None;
    Collect collected;
};

Outcome read(std::string_view body, const std::string& boundary, const mp::Limits& limits,
             const std::vector<std::size_t>& pieces) {
    Outcome outcome;
    mp::Reader reader(boundary, limits, outcome.collected);
    std::size_t at = 0;
    bool going = true;
    for (std::size_t i = 0; going && at < body.size(); ++i) {
        const std::size_t n = pieces.empty() ? body.size() : pieces[i % pieces.size()];
        going = reader.write(body.substr(at, n));
        at += n;
    }
    outcome.ok = going && reader.finish();
    outcome.failure = reader.failure();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    mp::Limits limits;
    limits.maxHeaderBytes = kHeaderLimits[data[0] & 3];
    if (data[0] & 4) {
        limits.maxFieldBytes = 16;
        limits.maxFileBytes = 256;
    }
    const std::string boundary = kBoundaries[(data[0] >> 3) & 3];
    const std::string_view body(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::vector<std::size_t> pieces;
    if (data[1] == 0) {
        pieces.push_back(1);
    } else {
        std::minstd_rand random(data[1]);
        for (int i = 0; i < 32; ++i)
            pieces.push_back(1 + random() % 64);
    }
    const Outcome whole = read(body, boundary, limits, {});
    const Outcome split = read(body, boundary, limits, pieces);

    fuzz::require(whole.ok == split.ok, "the pieces do not change the verdict");
    fuzz::require(whole.failure == split.failure, "the pieces do not change the failure");
    fuzz::require(whole.ok == (whole.failure == mp::Failure::None), "a failure says why");
    if (whole.ok) {
        fuzz::require(whole.collected.parts == split.collected.parts,
                      "the pieces do not change the parts");
        fuzz::require(whole.collected.parts.size() <= limits.maxParts, "at most maxParts parts");
        for (const auto& [name, bytes] : whole.collected.parts)
            fuzz::require(!name.empty() && bytes.size() <= limits.maxFileBytes,
                          "every part has a name and fits its limit");
    }
    const mp::Result parsed = mp::parse(body, boundary, limits);
    fuzz::require(parsed.ok() == whole.ok, "parse agrees with the reader");
    return 0;
}
