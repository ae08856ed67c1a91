// The simulated game saves a replay, as the real one does at the end of a match: a file with a
// name of its own choosing in the Demos folder, written in bursts while the game saves it.
//   game replay BYTES [BURSTS [SECONDS]]   BYTES bytes in BURSTS writes SECONDS apart
//                                          (default one write; 0.2 s apart)
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "sdk/HostRuntime.h"

namespace sdk {
namespace {

std::atomic<unsigned> replaysSaved{0};

bool parseCount(const std::string& text, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 10);
    return !text.empty() && text[0] != '-' && *end == '\0';
}

bool parseSeconds(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0 && value <= 3600;
}

std::filesystem::path environmentDocumentsFolder() {
    if (const char* docs = std::getenv("XDG_DOCUMENTS_DIR"); docs && *docs)
        return docs;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / "Documents";
    return ".";
}

bool append(const std::filesystem::path& file, unsigned long long bytes, unsigned long long at) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    // Bytes that vary with their place, so a stored copy can be compared with the original.
    for (unsigned long long i = 0; i < bytes && out; ++i)
        out.put(static_cast<char>('A' + (at + i) % 26));
    return static_cast<bool>(out);
}

}  // namespace

void HostRuntime::setDocumentsFolder(std::filesystem::path folder) {
    std::lock_guard lk(consoleMutex_);
    documentsFolder_ = std::move(folder);
}

std::filesystem::path HostRuntime::replayFolder() const {
    // The console's values are UTF-8; a path made from a plain string would read them in the
    // system's narrow code page on Windows.
    if (auto dir = findCvar("brv_replay_dir"); dir && !dir->get().empty()) {
        const std::string& value = dir->get();
        return std::filesystem::path(std::u8string(value.begin(), value.end()));
    }
    std::filesystem::path documents;
    {
        std::lock_guard lk(consoleMutex_);
        documents = documentsFolder_;
    }
    if (documents.empty())
        documents = environmentDocumentsFolder();
    return documents / "My Games" / "Rocket League" / "TAGame" / "Demos";
}

bool HostRuntime::saveGameReplay(const std::vector<std::string>& args) {
    unsigned long long bytes = 0;
    unsigned long long bursts = 1;
    double seconds = 0.2;
    if (args.size() < 3 || args.size() > 5 || !parseCount(args[2], bytes) ||
        (args.size() > 3 && (!parseCount(args[3], bursts) || bursts == 0 || bursts > 10000)) ||
        (args.size() > 4 && !parseSeconds(args[4], seconds)))
        return false;
    const auto folder = replayFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    char name[40];
    std::snprintf(name, sizeof name, "%08X%024llX.replay", ++replaysSaved,
                  static_cast<unsigned long long>(nowNanos()));
    const auto file = folder / name;
    const unsigned long long each = bytes / bursts;
    for (unsigned long long k = 0; k < bursts; ++k) {
        const unsigned long long size = k + 1 == bursts ? bytes - each * k : each;
        auto write = [this, file, size, at = each * k, last = k + 1 == bursts] {
            if (!append(file, size, at))
                log("game: cannot write the replay " + file.string());
            else if (last)
                gameNote("game: replay saved: " + file.string());
        };
        if (k == 0)
            write();
        else
            setTimeout(write, static_cast<float>(seconds * static_cast<double>(k)));
    }
    return true;
}

}  // namespace sdk
