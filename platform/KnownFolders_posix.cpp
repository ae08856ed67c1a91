#include "platform/KnownFolders.h"

#include <cstdlib>

#include "platform/Text.h"

namespace platform {

std::optional<std::wstring> documentsFolder() {
    // The desktop's own setting first, then the usual place under the home folder.
    if (const char* docs = std::getenv("XDG_DOCUMENTS_DIR"); docs && *docs)
        return utf8ToWide(docs);
    if (const char* home = std::getenv("HOME"); home && *home)
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
