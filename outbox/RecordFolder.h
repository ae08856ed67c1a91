#pragma once
// The outbox's folder: one JSON file per record, named by its key, written and removed through
// the file writer; records that fail their checks are moved to bad/ beside them (kept 7 days).
// Reading, moving aside and tidying run on the outbox's thread, never the game's.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "outbox/Record.h"

namespace brevant::outbox {

constexpr std::int64_t keptForMs = 7LL * 24 * 60 * 60 * 1000;  // wall-clock time

struct RecordFile {
    std::string key;  // the file's name without ".json"
    std::string text;
};
// The record files of `folder`, by name, oldest key first. A file that cannot be read now is
// left where it is for the next load.
std::vector<RecordFile> readRecordFiles(const std::filesystem::path& folder);

// Moves the record file of `key` to bad/; false when it could not be moved (then it is removed,
// so that it never blocks the others).
bool setAside(const std::filesystem::path& folder, const std::string& key);

// Removes what a crash or time left: temporary files of an interrupted write older than a
// minute, and files in bad/ older than 7 days.
void tidyRecordFolder(const std::filesystem::path& folder);

// Through the file writer: never waits for the disk.
void saveRecord(const std::filesystem::path& folder, const std::string& key, const Record& r);
void forgetRecord(const std::filesystem::path& folder, const std::string& key);

}  // namespace brevant::outbox
