#pragma once
// A file that a program writes in several writes, held open from the first to the last so that
// others can tell it is not complete yet, and the check for such a hold.
//
// On POSIX the writer holds an open-file-description lock (F_OFD_SETLK) over the whole file: it
// belongs to the open file, not to the process, so a reader in the same process (the stand-in
// game runs in the plugin's) sees it as another program would. On Windows the writer's handle
// shares no writing, so an open that shares none fails with a sharing violation while it is held,
// as it does while the game writes a replay.
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class HeldFile {
public:
    virtual ~HeldFile() = default;  // closing lets go of the hold
    // Opens `path` for appending (made when missing) and holds it; nullptr with `error` when it
    // cannot.
    static std::unique_ptr<HeldFile> open(const std::filesystem::path& path, std::string& error);
    // Appends the bytes whole; false when the write failed.
    virtual bool append(std::string_view bytes) = 0;
};

// Whether a writer holds `path` as HeldFile does. False when nothing holds it, and when it cannot
// be told (the file is gone: what reads it next finds that out).
bool heldForWriting(const std::filesystem::path& path);

}  // namespace platform
