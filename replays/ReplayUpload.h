#pragma once
// Sending the newest qualifying replay to the backend as multipart form data.
#include <cstdint>
#include <memory>
#include <string>

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

enum class UploadOutcome { NothingToSend, Sent, Failed };
// One upload as the worker makes it, on the calling thread: the newest qualifying replay of
// `folder`, sent and logged to `console`; Sent only for a 2xx answer. Throws what the file or
// text work throws.
UploadOutcome uploadLatestReplay(const std::wstring& folder, const std::string& deviceId,
                                 const std::string& server, const UploadConfig& config,
                                 const std::shared_ptr<CVarManagerWrapper>& console);

// Looks for the replay (see replaySearchFolder) and uploads it on a worker thread; returns at
// once. Log lines go to `console`; the outcome shows as a toast when `gw` is given. Game thread.
// Throws when no worker thread could be started.
void uploadLastReplayAsync(const std::shared_ptr<GameWrapper>& gw, const std::string& deviceId,
                           const std::string& server, const UploadConfig& config,
                           std::shared_ptr<CVarManagerWrapper> console);

// brv_upload_last_replay: with brv_upload_only_vxa on, refuses when the newest replay of the
// last 10 minutes is not owned; otherwise uploads. Game thread.
void uploadLastReplayNow();

}  // namespace brevant::replays
