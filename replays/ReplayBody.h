#pragma once
// A replay upload's body as its source: the form's parts before the file, the file's bytes read
// a piece at a time as they are sent, and the closing boundary. The bytes are those of the whole
// body built in memory; the file is never held whole.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/HttpTransport.h"

namespace brevant {

// Nothing when the file cannot be opened. `fileBytes` is its size now: a file that then ends
// sooner fails the upload (read answers nothing), one that grows is sent as it was.
std::optional<platform::HttpBodySource> replayBody(const std::wstring& path,
                                                   std::uint64_t fileBytes, std::string head,
                                                   std::string tail);

}  // namespace brevant
