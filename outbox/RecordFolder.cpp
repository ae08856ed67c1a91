#include "outbox/RecordFolder.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/FileWriter.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace brevant::outbox {
namespace {

namespace fs = std::filesystem;

constexpr auto staleTemporary = std::chrono::minutes(1);

fs::path recordPath(const fs::path& folder, const std::string& key) {
    return folder / platform::widePath(platform::utf8ToWide(key + ".json"));
}

bool olderThan(fs::file_time_type written, fs::file_time_type::duration age) {
    return fs::file_time_type::clock::now() - written > age;
}

}  // namespace

std::vector<RecordFile> readRecordFiles(const fs::path& folder) {
    std::vector<RecordFile> files;
    platform::forEachFileIn(folder, [&](const auto& name, auto) {
        const fs::path file(name);
        if (file.extension() != ".json")
            return;
        std::ifstream in(folder / file, std::ios::binary);
        if (!in.is_open())
            return;
        files.push_back({platform::wideToUtf8(platform::pathToWide(file.stem())),
                         std::string(std::istreambuf_iterator<char>(in), {})});
    });
    std::sort(files.begin(), files.end(),
              [](const RecordFile& a, const RecordFile& b) { return a.key < b.key; });
    return files;
}

bool setAside(const fs::path& folder, const std::string& key) {
    std::error_code ec;
    fs::create_directories(folder / "bad", ec);
    const auto from = recordPath(folder, key);
    const auto to = recordPath(folder / "bad", key);
    if (platform::moveFileReplacing(from, to)) {
        // Its 7 days count from now.
        fs::last_write_time(to, fs::file_time_type::clock::now(), ec);
        return true;
    }
    fs::remove(from, ec);
    return false;
}

void tidyRecordFolder(const fs::path& folder) {
    std::vector<fs::path> old;
    platform::forEachFileIn(folder, [&](const auto& name, auto written) {
        if (fs::path(name).extension() == ".tmp" && olderThan(written, staleTemporary))
            old.push_back(folder / name);
    });
    platform::forEachFileIn(folder / "bad", [&](const auto& name, auto written) {
        if (olderThan(written, std::chrono::milliseconds(keptForMs)))
            old.push_back(folder / "bad" / name);
    });
    for (const auto& file : old) {
        std::error_code ec;
        fs::remove(file, ec);
    }
}

void saveRecord(const fs::path& folder, const std::string& key, const Record& r) {
    writeFileLater(recordPath(folder, key), 0, [doc = toJson(r)] { return dumpJson(doc); });
}

void forgetRecord(const fs::path& folder, const std::string& key) {
    removeFileLater(recordPath(folder, key));
}

}  // namespace brevant::outbox
