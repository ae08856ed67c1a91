// The rotation file as the plugin reads it at start: whatever the file holds, the load ends
// quietly and leaves a state the rotation can use (the index is only ever used after a bounds
// check), and a save of that state loads back to the same members.
//
// Input: the file's bytes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/FileWriter.h"
#include "fuzz/Require.h"
#include "fuzz/ScratchFolder.h"
#include "match/MatchIdentity.h"
#include "rotation/HostingState.h"
#include "rotation/RotationFile.h"

namespace {

const std::filesystem::path& scratchFile() {
    static const std::filesystem::path file = [] {
        std::filesystem::create_directories(fuzz::scratchFolder() / "plugins");
        return fuzz::scratchFolder() / "plugins" / "brevant.rotate.json";
    }();
    return file;
}

struct Snapshot {
    bool enabled;
    std::int32_t nextIdx;
    std::vector<std::string> rotation;
    std::string lastMap;
    std::uint32_t rev;
    std::int64_t ts;
    std::string server;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot() {
    std::lock_guard lk(brevant::hostingMutex);
    const auto& s = brevant::rotationState;
    return {s.enabled.load(), s.nextIdx.load(),          s.rotation, s.lastMap, s.rev.load(),
            s.ts.load(),      brevant::currentServerName};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    brevant::resetMatchIdentity();
    brevant::resetHostingState();
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::rotationState.file = scratchFile();
    }
    {
        std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    brevant::loadRotationState();
    const Snapshot loaded = snapshot();

    // What was loaded survives a save and a load, but for the index, which a load moves to the
    // map after the last one whenever that map is in the list. The writer thread puts the save
    // on the disk; the load reads it once it is there, as a load after an unload does.
    brevant::saveRotationState();
    fuzz::require(brevant::waitForFileWrites(std::chrono::seconds(10)),
                  "the save reached the disk");
    brevant::resetMatchIdentity();
    brevant::resetHostingState();
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::rotationState.file = scratchFile();
    }
    brevant::loadRotationState();
    Snapshot again = snapshot();
    fuzz::require(again.rotation == loaded.rotation && again.lastMap == loaded.lastMap &&
                      again.server == loaded.server && again.rev == loaded.rev &&
                      again.ts == loaded.ts && again.enabled == loaded.enabled,
                  "a saved state loads back the same");
    return 0;
}
