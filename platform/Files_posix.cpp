#include "platform/Files.h"

#include <system_error>

namespace platform {

bool moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (!ec)
        return true;
    if (ec != std::errc::cross_device_link)
        return false;
    // Another volume: copy, then remove the original.
    if (!std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                    ec))
        return false;
    std::filesystem::remove(from, ec);
    return true;
}

}  // namespace platform
