#include "rotation/RotationFile.h"

#include <fstream>
#include <iterator>

#include "core/FileWriter.h"
#include "match/MatchIdentity.h"
#include "net/Json.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"

namespace brevant {
namespace {

// What the file holds, copied under the lock; its text is made on the writer's thread.
struct RotationSnapshot {
    bool enabled = false;
    std::string lastMap;
    std::int32_t nextIdx = 0;
    std::uint32_t rev = 1;
    std::vector<std::string> rotation;
    std::string server;
    std::int64_t ts = 0;
};

// Orders the snapshots of the file: taken under hostingMutex, so a later number is a later state.
std::uint64_t snapshotVersion = 0;

std::string render(const RotationSnapshot& s) {
    json doc;
    doc["enabled"] = s.enabled;
    doc["lastMap"] = s.lastMap;
    doc["nextIdx"] = s.nextIdx;
    doc["rev"] = s.rev;
    doc["rotation"] = s.rotation;
    doc["server"] = s.server;
    doc["ts"] = s.ts;
    return dumpJson(doc);
}

std::filesystem::path currentFile() {
    std::lock_guard lk(hostingMutex);
    return rotationState.file;
}

// Each member is stored as soon as it is read, as the file's readers always did.
void readMembers(const json& doc) {
    std::lock_guard lk(hostingMutex);
    currentServerName = stringField(doc, "server", "");
    rotationState.enabled.store(boolField(doc, "enabled", false));
    auto rotation = doc.value("rotation", json::array()).get<std::vector<std::string>>();
    // A list or revision past the bounds a peer's state must keep reads as a member of the wrong
    // type: the load ends there.
    if (!rotation.empty() && !usableRotation(rotation))
        throw FieldTypeError("rotation out of bounds");
    if (!rotation.empty())
        rotationState.rotation = std::move(rotation);
    rotationState.nextIdx.store(intField(doc, "nextIdx", 0));
    rotationState.lastMap = stringField(doc, "lastMap", "");
    const std::uint32_t rev = uintField(doc, "rev", 1);
    if (!usableRevision(rev))
        throw FieldTypeError("rev out of bounds");
    rotationState.rev.store(rev);
    rotationState.ts.store(int64Field(doc, "ts", 0));
    if (!rotationState.rotation.empty() && !rotationState.lastMap.empty())
        advanceAfterLocked(rotationState.lastMap);
}

}  // namespace

std::filesystem::path rotationFilePath(const std::wstring& dataFolder) {
    return platform::widePath(dataFolder) / "plugins" / "brevant.rotate.json";
}

void loadRotationState() {
    try {
        const auto file = currentFile();
        std::ifstream in(file, std::ios::binary);
        if (!in.is_open())
            return;
        std::string text{std::istreambuf_iterator<char>(in), {}};
        // A save of the same state later writes nothing.
        noteFileContents(file, text);
        readMembers(json::parse(text));
    } catch (...) {
        // Unreadable, malformed or of the wrong type: what was read so far stays.
    }
}

void saveRotationState() {
    try {
        RotationSnapshot snapshot;
        std::filesystem::path file;
        std::uint64_t version = 0;
        {
            std::lock_guard lk(hostingMutex);
            file = rotationState.file;
            snapshot.enabled = rotationState.enabled.load();
            snapshot.lastMap = rotationState.lastMap;
            snapshot.nextIdx = rotationState.nextIdx.load();
            snapshot.rev = rotationState.rev.load();
            snapshot.rotation = rotationState.rotation;
            snapshot.server = currentServerName;
            snapshot.ts = rotationState.ts.load();
            version = ++snapshotVersion;
        }
        if (file.empty())
            return;
        writeFileLater(file, version,
                       [snapshot = std::move(snapshot)] { return render(snapshot); });
    } catch (...) {
        // The state in memory stays the one that counts; the next save tries again.
    }
}

}  // namespace brevant
