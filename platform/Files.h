#pragma once
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Renames a file, replacing an existing target and copying across volumes when a plain rename
// cannot. Returns false when the file could not be moved.
bool moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// The temporary file beside `path` that writeFileAtomically writes first ("NAME.tmp"), its
// folder made when missing. Both systems' writes start here.
std::filesystem::path temporaryBeside(const std::filesystem::path& path);

// Makes `path` hold exactly `bytes`, whole or not at all: the bytes go to a temporary file beside
// it, which is flushed to the disk and renamed over `path`, and the rename itself is made durable
// (the folder is flushed on POSIX; on Windows the move writes through). The folder is made when
// missing. On failure the temporary file is removed, `path` keeps what it held, and `error` says
// which step failed and why.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string& error);

// Opens `path` for writing (binary) only when no file of that name exists yet, so that nothing
// already there is ever truncated; the handle is not inherited by child processes. Nullptr with
// an errno-style `err` (EEXIST: the name is taken) when it cannot.
std::FILE* createNewFile(const std::filesystem::path& path, int& err);

// Calls fn with the name and last-write time of each regular file of `folder`, not recursing,
// in the order the file system lists them. Symbolic links (reparse points on Windows) are
// skipped, whatever they name: a link in the folder must never make a file elsewhere look like
// one of its own. Entries whose type or time cannot be read are skipped. One status query per
// entry, relative to the open folder, and no path built for it: a replay poll walks every entry of
// a large folder a few times a second. False when the folder cannot be listed.
using FileVisitor = std::function<void(const std::filesystem::path::string_type& name,
                                       std::filesystem::file_time_type writeTime)>;
bool forEachFileIn(const std::filesystem::path& folder, const FileVisitor& fn);

// `path` is a regular file itself: not a link (or reparse point), not a folder, and there.
bool isPlainFile(const std::filesystem::path& path);

}  // namespace platform
