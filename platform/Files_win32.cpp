#include "platform/Files.h"

#include <windows.h>

namespace platform {

bool moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Replaces an existing target; across volumes the system copies and deletes for us.
    return ::MoveFileExW(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

}  // namespace platform
