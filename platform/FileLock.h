#pragma once
// An exclusive lock on a file, held for the life of the object. The system lets go of it when
// the process ends in any way, a crash included, so a lock left by a dead process is never in
// the way.
#include <filesystem>
#include <memory>
#include <string>

namespace platform {

class FileLock {
public:
    virtual ~FileLock() = default;

    // Creates the file when missing and locks it, writing this process's id into it. Nullptr
    // when another process holds it (`heldBy` then has the id it wrote, or is empty) or the file
    // cannot be opened (`error` says why).
    static std::unique_ptr<FileLock> acquire(const std::filesystem::path& file, std::string& heldBy,
                                             std::string& error);
};

}  // namespace platform
