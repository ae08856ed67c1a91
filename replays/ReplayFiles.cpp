#include "replays/ReplayFiles.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "platform/Files.h"
#include "platform/Text.h"

namespace brevant {
namespace fs = std::filesystem;

namespace {

// The folder's entry `name` as a path of the folder.
std::wstring entryPath(const std::wstring& folder, const fs::path::string_type& name) {
    return platform::pathToWide(platform::widePath(folder) / name);
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

std::wstring newestUploadableReplay(const std::wstring& folder, std::int32_t maxAgeMinutes,
                                    const std::optional<std::wstring>& prefix) {
    if (folder.empty())
        return {};
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::minutes(maxAgeMinutes);
    std::optional<fs::file_time_type> bestTime;
    std::wstring best;
    platform::forEachFileIn(platform::widePath(folder), [&](const auto& name, auto time) {
        const std::wstring wideName = platform::pathToWide(name);
        if (!hasReplayExtension(wideName) || time < cutoff)
            return;
        if (prefix && !prefix->empty() && !hasPrefix(wideName, *prefix))
            return;
        if (!bestTime || time > *bestTime) {
            bestTime = time;
            best = entryPath(folder, name);
        }
    });
    return best;
}

std::optional<std::wstring> newestWrittenReplay(const std::wstring& folder) {
    if (folder.empty())
        return std::nullopt;
    // The test runs on the file system's own text (narrow or wide): the extension is ASCII, so
    // it matches there exactly when it matches in the wide text, and only the chosen name is
    // converted. The name alone decides: a shorter one leaves a separator among the path's last
    // seven characters, which never match.
    static constexpr std::string_view extension = ".replay";
    std::optional<fs::file_time_type> bestTime;
    fs::path::string_type best;
    platform::forEachFileIn(platform::widePath(folder), [&](const auto& name, auto time) {
        using Unit = std::make_unsigned_t<fs::path::value_type>;
        if (name.size() < extension.size())
            return;
        for (std::size_t i = 0; i < extension.size(); ++i) {
            const auto c = static_cast<Unit>(name[name.size() - extension.size() + i]);
            if (c > 0x7F || std::tolower(static_cast<int>(c)) != extension[i])
                return;
        }
        if (!bestTime || time > *bestTime) {
            bestTime = time;
            best = name;
        }
    });
    if (!bestTime)
        return std::nullopt;
    return entryPath(folder, best);
}

bool readWholeFile(const std::wstring& path, std::string& data) {
    data.clear();
    return appendWholeFile(path, data);
}

bool appendWholeFile(const std::wstring& path, std::string& data, std::size_t reserveAfter,
                     std::stop_token stop) {
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
        constexpr std::streamoff chunk = 1024 * 1024;
        for (std::streamoff at = 0; at < size && file.good(); at += chunk) {
            if (stop.stop_requested())
                break;
            file.read(data.data() + before + at, std::min(chunk, size - at));
        }
        if (file.good() && !stop.stop_requested())
            return true;
    } catch (...) {
        // Out of memory for a huge file reads as unreadable.
    }
    data.resize(before);
    return false;
}

}  // namespace brevant
