// The simulated game saves a replay, as the real one does at the end of a match: a file with a
// name of its own choosing in the Demos folder, written in bursts while the game saves it, and
// held open from the first write to the last (platform/FileHold.h), as the game holds it.
//   game replay BYTES [BURSTS [SECONDS]]   BYTES bytes in BURSTS writes SECONDS apart
//                                          (default one write; 0.2 s apart)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/FileHold.h"
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

// The replay being saved: open from its first write until its last.
struct ReplaySave {
    std::unique_ptr<platform::HeldFile> file;
};

bool append(ReplaySave& save, unsigned long long bytes, unsigned long long at) {
    if (!save.file)
        return false;
    // Bytes that vary with their place, so a stored copy can be compared with the original.
    std::string piece;
    constexpr unsigned long long pieceBytes = 1 << 16;
    for (unsigned long long done = 0; done < bytes;) {
        const unsigned long long n = std::min(pieceBytes, bytes - done);
        piece.resize(static_cast<std::size_t>(n));
        for (unsigned long long i = 0; i < n; ++i)
            piece[static_cast<std::size_t>(i)] = static_cast<char>('A' + (at + done + i) % 26);
        if (!save.file->append(piece))
            return false;
        done += n;
    }
    return true;
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
    auto save = std::make_shared<ReplaySave>();
    std::string error;
    save->file = platform::HeldFile::open(file, error);
    if (!save->file)
        log("game: cannot open the replay " + file.string() + " (" + error + ")");
    const unsigned long long each = bytes / bursts;
    for (unsigned long long k = 0; k < bursts; ++k) {
        const unsigned long long size = k + 1 == bursts ? bytes - each * k : each;
        auto write = [this, file, save, size, bytes, at = each * k, last = k + 1 == bursts] {
            if (!append(*save, size, at))
                log("game: cannot write the replay " + file.string());
            else if (last)
                gameNote("game: replay saved: " + file.string() + " (" + std::to_string(bytes) +
                         " bytes)");
            if (last)
                save->file.reset();  // saved: the game lets go of it
        };
        if (k == 0)
            write();
        else
            setTimeout(write, static_cast<float>(seconds * static_cast<double>(k)));
    }
    return true;
}

}  // namespace sdk
