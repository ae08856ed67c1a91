#pragma once
// Choosing and reading replay files. Paths are wide text; nothing here keeps state, and every
// routine answers "nothing" rather than failing on a missing folder or an unreadable entry.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

namespace brevant {

// The last component's extension is exactly ".replay". A component "." or "..", or one whose
// only dot leads it, has no extension; an alternate-stream suffix (from the first ':') is
// ignored.
bool hasReplayExtension(const std::wstring& path);

// The upload's choice: the newest replay (by hasReplayExtension) of `folder` written at most
// maxAgeMinutes ago whose name starts with `prefix` (case-sensitive; none or empty: any).
// Equal times keep the one met first. Empty when nothing qualifies.
std::wstring newestUploadableReplay(const std::wstring& folder, std::int32_t maxAgeMinutes,
                                    const std::optional<std::wstring>& prefix);

// The watcher's choice: the entry of `folder` with the latest write time whose full path ends
// in ".replay" in any case, with no age or prefix rule. Equal times keep the one met first.
std::optional<std::wstring> newestWrittenReplay(const std::wstring& folder);

// The whole file into `data` (cleared first). False when it cannot be opened or read, or is
// empty.
bool readWholeFile(const std::wstring& path, std::string& data);
// The whole file appended to `data`, with room kept for `reserveAfter` more bytes, so that a
// buffer that already holds what goes before the file holds the file once, without a copy. It
// is read a megabyte at a time, and a stop request ends the read. False (with `data` as it was)
// as for readWholeFile, or when asked to stop.
bool appendWholeFile(const std::wstring& path, std::string& data, std::size_t reserveAfter = 0,
                     std::stop_token stop = {});

// The last component of a path ("\" or "/" separated).
std::wstring fileNameOf(const std::wstring& path);

// `name` begins with `prefix`, character for character; a shorter name never does.
bool hasPrefix(const std::wstring& name, const std::wstring& prefix);

}  // namespace brevant
