#include "replays/ReplayFiles.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "platform/Text.h"

namespace brevant {
namespace fs = std::filesystem;

namespace {

bool isDirectory(const std::wstring& folder) {
    std::error_code ec;
    return !folder.empty() && fs::is_directory(platform::widePath(folder), ec);
}

// Each regular file of the folder (links followed), in the order the file system lists them,
// with its write time; entries whose type or time cannot be read are skipped.
template <typename Fn>
void forEachFile(const std::wstring& folder, Fn&& fn) {
    std::error_code ec;
    fs::directory_iterator it(platform::widePath(folder), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::error_code entryEc;
        if (!entry.is_regular_file(entryEc) || entryEc)
            continue;
        fn(entry);
    }
}

std::optional<fs::file_time_type> writeTime(const fs::directory_entry& entry) {
    std::error_code ec;
    auto time = entry.last_write_time(ec);
    if (ec)
        return std::nullopt;
    return time;
}

}  // namespace

std::wstring fileNameOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool hasPrefix(const std::wstring& name, const std::wstring& prefix) {
    return name.size() >= prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

bool hasReplayExtension(const std::wstring& path) {
    std::wstring name = fileNameOf(path);
    if (const auto stream = name.find(L':'); stream != std::wstring::npos)
        name.resize(stream);
    if (name == L"." || name == L"..")
        return false;
    const auto dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0)
        return false;
    return name.compare(dot, std::wstring::npos, L".replay") == 0;
}

std::wstring findLatestReplay(const std::wstring& folder, std::int32_t maxAgeMinutes,
                              const std::optional<std::wstring>& prefix) {
    if (!isDirectory(folder))
        return {};
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::minutes(maxAgeMinutes);
    std::optional<fs::file_time_type> bestTime;
    std::wstring best;
    forEachFile(folder, [&](const fs::directory_entry& entry) {
        const std::wstring path = platform::pathToWide(entry.path());
        if (!hasReplayExtension(path))
            return;
        if (prefix && !prefix->empty() && !hasPrefix(fileNameOf(path), *prefix))
            return;
        const auto time = writeTime(entry);
        if (!time || *time < cutoff)
            return;
        if (!bestTime || *time > *bestTime) {
            bestTime = time;
            best = path;
        }
    });
    return best;
}

std::optional<std::wstring> newestReplayIn(const std::wstring& folder) {
    if (!isDirectory(folder))
        return std::nullopt;
    // The test runs on the file system's own text (narrow or wide): the extension is ASCII, so
    // it matches there exactly when it matches in the wide text, and only the chosen path is
    // converted. A poll walks every entry; converting each would cost as much as the walk.
    static constexpr std::string_view extension = ".replay";
    std::optional<fs::file_time_type> bestTime;
    fs::path best;
    forEachFile(folder, [&](const fs::directory_entry& entry) {
        const auto& path = entry.path().native();
        using Unit = std::make_unsigned_t<std::decay_t<decltype(path[0])>>;
        if (path.size() < extension.size())
            return;
        for (std::size_t i = 0; i < extension.size(); ++i) {
            const auto c = static_cast<Unit>(path[path.size() - extension.size() + i]);
            if (c > 0x7F || std::tolower(static_cast<int>(c)) != extension[i])
                return;
        }
        const auto time = writeTime(entry);
        if (time && (!bestTime || *time > *bestTime)) {
            bestTime = time;
            best = entry.path();
        }
    });
    if (!bestTime)
        return std::nullopt;
    return platform::pathToWide(best);
}

bool readWholeFile(const std::wstring& path, std::string& data) {
    data.clear();
    return appendWholeFile(path, data);
}

bool appendWholeFile(const std::wstring& path, std::string& data, std::size_t reserveAfter) {
    const std::size_t before = data.size();
    try {
        std::ifstream file(platform::widePath(path), std::ios::binary);
        if (!file)
            return false;
        file.seekg(0, std::ios::end);
        const std::streamoff size = file.tellg();
        if (size <= 0)
            return false;
        data.reserve(before + static_cast<std::size_t>(size) + reserveAfter);
        data.resize(before + static_cast<std::size_t>(size));
        file.seekg(0, std::ios::beg);
        file.read(data.data() + before, size);
        if (file.good())
            return true;
    } catch (...) {
        // Out of memory for a huge file reads as unreadable.
    }
    data.resize(before);
    return false;
}

}  // namespace brevant
