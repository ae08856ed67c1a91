#pragma once
// The plugin's one writer of its own small files (the rotation file, the outbox's records). A
// caller hands over what a file is to hold and goes on at once: the disk is never touched on
// the caller's thread, the game thread among them. One thread writes, in the order things were
// handed over; of what waits for the same file only the newest is kept, bytes equal to what the
// file already holds are not written again, and each write leaves the file whole
// (platform::writeFileAtomically). A write that fails is logged once for a run of failures of
// that file, and the next hand-over for it tries again.
//
// The writer is a resident worker thread (core/Workers.h), started by the load and asked to stop
// by the unload, when it writes what is left and ends: a save only hands its snapshot over, and
// no save starts a thread. A module is not closed while it writes, and an unload that cannot
// wait for the disk lets it finish on its own. Outside a load (tests, a hand-over after unload)
// a hand-over starts a writer that ends once nothing is left.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace brevant {

// What a file is to hold, made on the writer's thread: a snapshot taken under the caller's lock
// is cheap to copy, its text is not always.
using FileContents = std::function<std::string()>;

// Hands over what `path` is to hold. `version` orders the hand-overs of one file: one not newer
// than what was already handed over is dropped, so that two threads that took their snapshots
// in one order and hand them over in the other never leave the older one on disk. Any thread;
// never waits for the disk.
void writeFileLater(const std::filesystem::path& path, std::uint64_t version,
                    FileContents contents);
// Hands over the removal of `path` (after whatever was handed over for it before).
void removeFileLater(const std::filesystem::path& path);
// Hands over the removal of `path` when its last write is older than `age`: a temporary file that
// a crash left in the middle of a write, which no write of this run is using.
void removeStaleFileLater(const std::filesystem::path& path, std::chrono::seconds age);

// Starts the resident writer unless a writer runs. At load.
void startFileWriter();

// Waits until everything handed over so far has been written or has failed; false when the
// timeout came first. Not from the writer itself.
bool waitForFileWrites(std::chrono::milliseconds timeout);

// What `path` holds, as the caller just read it: handing over the same bytes writes nothing.
void noteFileContents(const std::filesystem::path& path, std::string bytes);

// Forgets what files hold and the versions handed over (a new load reads them afresh). Only
// while nothing is being written.
void resetFileWriter();

}  // namespace brevant
