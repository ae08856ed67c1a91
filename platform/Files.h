#pragma once
#include <filesystem>

namespace platform {

// Renames a file, replacing an existing target and copying across volumes when a plain rename
// cannot. Returns false when the file could not be moved.
bool moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace platform
