#include "platform/KnownFolders.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/Text.h"

namespace platform {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// XDG_DOCUMENTS_DIR as the desktop's user-dirs.dirs sets it: a quoted "$HOME/..." or absolute
// path on a line of its own. Empty when the file or the line is missing or unusable.
std::string documentsFromUserDirs(const std::string& home) {
    std::string config = environment("XDG_CONFIG_HOME");
    if (config.empty()) {
        if (home.empty())
            return {};
        config = home + "/.config";
    }
    std::ifstream file(config + "/user-dirs.dirs");
    const std::string key = "XDG_DOCUMENTS_DIR=\"";
    std::string line;
    std::string found;
    while (std::getline(file, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0)
            continue;
        const auto open = start + key.size();
        const auto close = line.find('"', open);
        if (close == std::string::npos)
            continue;
        std::string value = line.substr(open, close - open);
        if (value.rfind("$HOME/", 0) == 0 && !home.empty())
            found = home + value.substr(5);
        else if (!value.empty() && value.front() == '/')
            found = value;
        // The last assignment wins, as when the shell sources the file.
    }
    return found;
}

}  // namespace

std::optional<std::wstring> documentsFolder() {
    // The desktop's own setting first (environment, then its user-dirs file, which names a
    // localised folder such as ~/Documentos), then the usual place under the home folder.
    if (auto docs = environment("XDG_DOCUMENTS_DIR"); !docs.empty())
        return utf8ToWide(docs);
    const std::string home = environment("HOME");
    if (auto docs = documentsFromUserDirs(home); !docs.empty())
        return utf8ToWide(docs);
    if (!home.empty())
        return utf8ToWide(home) + L"/Documents";
    return std::nullopt;
}

std::optional<std::wstring> environmentVariable(const std::wstring& name) {
    const char* value = std::getenv(wideToUtf8(name).c_str());
    if (!value)
        return std::nullopt;
    return utf8ToWide(value);
}

}  // namespace platform
