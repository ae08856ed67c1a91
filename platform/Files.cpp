#include "platform/Files.h"

namespace platform {

std::filesystem::path temporaryBeside(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    auto temporary = path;
    temporary += ".tmp";
    return temporary;
}

}  // namespace platform
