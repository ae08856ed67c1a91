#include "replays/OwnedMark.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>

#include "core/FileWriter.h"
#include "net/Json.h"

namespace brevant {
namespace {

constexpr std::size_t mostNames = 32;

std::mutex markMutex;
std::filesystem::path markFile;  // guarded by markMutex, as the rest
OwnedMark mark;                  // what was last handed to the writer
bool changedThisRun = false;     // a game of this run ended: the file's mark is older
std::uint64_t version = 0;

void saveLocked() {
    changedThisRun = true;
    if (markFile.empty())
        return;
    json doc{{"endedAt", mark.endedAt},
             {"series", mark.series},
             {"deviceId", mark.deviceId},
             {"owed", mark.owed},
             {"handedOver", mark.handedOver}};
    writeFileLater(markFile, ++version, [doc = std::move(doc)] { return dumpJson(doc); });
}

std::optional<OwnedMark> parseMark(const std::string& text) {
    try {
        const json doc = json::parse(text);
        OwnedMark m;
        m.endedAt = int64Field(doc, "endedAt", 0);
        m.series = stringField(doc, "series", "");
        m.deviceId = stringField(doc, "deviceId", "");
        m.owed = boolField(doc, "owed", false);
        if (const auto it = doc.find("handedOver"); it != doc.end() && it->is_array())
            for (const auto& name : *it)
                if (name.is_string() && m.handedOver.size() < mostNames)
                    m.handedOver.push_back(name.get<std::string>());
        return m;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

void setOwnedMarkFile(const std::filesystem::path& file) {
    std::lock_guard lk(markMutex);
    markFile = file;
    mark = {};
    changedThisRun = false;
}

void noteGameEnded(bool owned, const std::string& series, const std::string& deviceId) {
    std::lock_guard lk(markMutex);
    if (!owned && !mark.owed && changedThisRun)
        return;  // nothing owed before, nothing now
    mark.endedAt = std::filesystem::file_time_type::clock::now().time_since_epoch().count();
    mark.series = owned ? series : std::string();
    mark.deviceId = owned ? deviceId : std::string();
    mark.owed = owned;
    saveLocked();
}

void noteReplayHandedOver(const std::string& name) {
    std::lock_guard lk(markMutex);
    mark.owed = false;
    mark.handedOver.push_back(name);
    if (mark.handedOver.size() > mostNames)
        mark.handedOver.erase(mark.handedOver.begin(),
                              mark.handedOver.end() - static_cast<std::ptrdiff_t>(mostNames));
    saveLocked();
}

std::optional<OwnedMark> readLastRunsOwnedMark() {
    std::filesystem::path file;
    {
        std::lock_guard lk(markMutex);
        if (changedThisRun)
            return std::nullopt;
        file = markFile;
    }
    std::ifstream in(file, std::ios::binary);
    if (file.empty() || !in.is_open())
        return std::nullopt;
    auto read = parseMark(std::string(std::istreambuf_iterator<char>(in), {}));
    std::lock_guard lk(markMutex);
    if (changedThisRun || !read)
        return std::nullopt;
    mark = *read;  // what this run's changes start from
    return read;
}

}  // namespace brevant
