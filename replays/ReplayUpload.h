#pragma once
// Sending a replay to the backend as multipart form data. A replay to send is a record of the
// outbox (outbox/Outbox.h): the watcher hands over the file it found, and the manual command the
// newest qualifying replay it finds; the outbox's thread then sends each, one at a time, until
// the backend has it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "outbox/Outbox.h"

class CVarManagerWrapper;
class GameWrapper;

namespace brevant::replays {

struct UploadConfig {
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring path;
    std::int32_t maxAgeMinutes = 10;  // only replays written this recently qualify
    std::wstring requiredPrefix;
    bool requirePrefix = true;
    std::string uploader;  // the player's name; may be empty
};

// What both callers send: the backend's upload route, replays of the last 10 minutes whose
// names carry "replay_VXA_".
UploadConfig standardUploadConfig(std::string uploader);

// "----BREVANTBOUNDARY" and 24 random letters and digits, from a generator seeded afresh from
// the operating system's random source.
std::string makeBoundary();

struct MultipartFields {
    std::string deviceId;
    std::string server;
    std::string uploader;  // its part is left out when empty
    std::string fileName;
};
// The body is the head, the replay's bytes as they are, then the tail. Values go in unescaped.
std::string multipartHead(const std::string& boundary, const MultipartFields& fields);
std::string multipartTail(const std::string& boundary);
std::string multipartContentType(const std::string& boundary);

// The backend takes a request body of at most 64 MiB: a replay fits when its bytes and the
// form around them do. One that does not is never read.
inline constexpr std::uint64_t maxUploadBodyBytes = 64ull * 1024 * 1024;
bool fitsUpload(const outbox::ReplayRecord& record);

// The newest qualifying replay of `folder` (newestUploadableReplay with the configuration's age and
// prefix) as a record to deliver, with the given fields; logs the Parts' lines when there is
// none. Any thread but the game's (it lists the folder).
std::optional<outbox::ReplayRecord> findReplayToUpload(
    const std::wstring& folder, const std::string& deviceId, const std::string& server,
    const UploadConfig& config, const std::shared_ptr<CVarManagerWrapper>& console);

// How long an upload may take. Its deadline follows its progress, so that a slow uplink still
// delivers while a peer that takes next to nothing is cut: bytes handed to the socket count as
// taken, and the upload is cut when less than `minBytes` were taken in the last `window`, when
// the answer has not come within `answer` after the whole body was taken, or when it has run
// for `whole`.
struct UploadLimits {
    std::uint64_t minBytes = 8 * 1024;
    std::chrono::milliseconds window{30'000};
    std::chrono::milliseconds answer{30'000};
    std::chrono::milliseconds whole{30LL * 60 * 1000};
};
UploadLimits uploadLimits();
// For tests: shorter limits, so that only the test about a limit waits it out.
void setUploadLimits(const UploadLimits& limits);

// One try at sending the record's file, as the outbox's thread makes it: a file that is no
// longer a plain file is Gone; one past the size the backend takes is Refused; a 2xx answer is
// Delivered, another 4xx but 408 and 429 Refused, and no answer or any other TryLater (a cut for
// slowness included, see UploadLimits). The exchange ends at once when `stop` is asked. Logs the
// Part's lines and, on the first try and on success, shows the toast. Never throws.
outbox::Attempt sendReplay(const outbox::ReplayRecord& record, int attempt, std::stop_token stop);

// The last upload tried: which replay, when (plugin clock), and what came of it.
struct UploadNote {
    std::string name;
    std::int64_t atMs = 0;
    bool delivered = false;
    std::string outcome;  // "enviado", "falhou (500)", "sem resposta"
};
// Never waits: nothing when none was tried yet or the note is being written.
std::optional<UploadNote> lastUploadTry();

// Looks for the newest qualifying replay (see uploadSearchFolder) on a worker thread and hands
// it to the outbox; returns at once. Game thread. Throws when no worker thread could be started.
void uploadLastReplayAsync(const std::string& deviceId, const std::string& server,
                           const UploadConfig& config, std::shared_ptr<CVarManagerWrapper> console);

// brv_upload_last_replay: with brv_upload_only_vxa on, refuses when the newest replay of the
// last 10 minutes is not owned; otherwise looks for the replay to upload. Game thread.
void uploadLastReplayNow();

}  // namespace brevant::replays
