#include "rotation/RotationFile.h"

#include <fstream>
#include <mutex>

#include "net/Json.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"

namespace brevant {
namespace {

std::mutex fileMutex;  // one save at a time, whichever thread saves

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
        std::ifstream in(currentFile());
        if (!in.is_open())
            return;
        readMembers(json::parse(in));
    } catch (...) {
        // Unreadable, malformed or of the wrong type: what was read so far stays.
    }
}

void saveRotationState() {
    try {
        json doc;
        std::filesystem::path file;
        {
            std::lock_guard lk(hostingMutex);
            file = rotationState.file;
            doc["enabled"] = rotationState.enabled.load();
            doc["lastMap"] = rotationState.lastMap;
            doc["nextIdx"] = rotationState.nextIdx.load();
            doc["rev"] = rotationState.rev.load();
            doc["rotation"] = rotationState.rotation;
            doc["server"] = currentServerName;
            doc["ts"] = rotationState.ts.load();
        }
        if (file.empty())
            return;
        const std::string text = dumpJson(doc);

        std::lock_guard lk(fileMutex);
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        auto temporary = file;
        temporary += ".tmp";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            if (!out.is_open())
                return;
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.close();
            if (!out)
                return;  // a short write never replaces the whole file
        }
        platform::moveFileReplacing(temporary, file);
    } catch (...) {
        // The state in memory stays the one that counts; the next save tries again.
    }
}

}  // namespace brevant
