#include "replays/ReplayUpload.h"

#include <random>

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "core/Workers.h"
#include "net/BackendEndpoint.h"
#include "net/HttpRequests.h"
#include "platform/Random.h"
#include "platform/Text.h"
#include "replays/ReplayFiles.h"
#include "replays/ReplayFolder.h"
#include "replays/ReplayNames.h"
#include "rotation/HostingState.h"
#include "sdk/CVarManagerWrapper.h"

namespace brevant::replays {
UploadOutcome uploadLatestReplay(const std::wstring& folder, const std::string& deviceId,
                                 const std::string& server, const UploadConfig& config,
                                 const std::shared_ptr<CVarManagerWrapper>& console) {
    logTo(console, "[BRV] Replays dir: " + platform::wideToUtf8(folder));
    const bool withPrefix = config.requirePrefix && !config.requiredPrefix.empty();
    const std::wstring replay = findLatestReplay(
        folder, config.maxAgeMinutes,
        config.requirePrefix ? std::optional(config.requiredPrefix) : std::nullopt);
    if (replay.empty()) {
        logTo(console, withPrefix
                           ? "[BRV] Nenhum .replay recente com o prefixo exigido foi encontrado."
                           : "[BRV] Nenhum .replay recente encontrado.");
        return UploadOutcome::NothingToSend;
    }
    const std::string boundary = makeBoundary();
    const std::string fileName = platform::wideToUtf8(fileNameOf(replay));
    // The file goes straight into the body after the parts before it: one copy of the replay.
    std::string body = multipartHead(boundary, {deviceId, server, config.uploader, fileName});
    const std::string tail = multipartTail(boundary);
    if (!appendWholeFile(replay, body, tail.size())) {
        logTo(console, "[BRV] Falha ao ler replay: " + platform::wideToUtf8(replay));
        return UploadOutcome::NothingToSend;
    }
    body += tail;
    HttpResult result;
    const bool sent = httpPost(config.host, config.port, config.path,
                               multipartContentType(boundary), std::move(body), result) &&
                      result.ok;
    logTo(console, (sent ? "[BRV] Replay enviado (" : "[BRV] Falha no upload (") + fileName + ")");
    return sent ? UploadOutcome::Sent : UploadOutcome::Failed;
}

UploadConfig standardUploadConfig(std::string uploader) {
    const auto& endpoint = backendEndpoint();
    return {endpoint.backendHost, endpoint.uploadPort, L"/upload-replay", 10, L"replay_VXA_", true,
            std::move(uploader)};
}

std::string makeBoundary() {
    static constexpr char alphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::mt19937 generator(platform::osRandom32());
    std::uniform_int_distribution<int> pick(0, sizeof alphabet - 2);  // without bias
    std::string boundary = "----BREVANTBOUNDARY";
    for (int i = 0; i < 24; ++i)
        boundary += alphabet[pick(generator)];
    return boundary;
}

std::string multipartHead(const std::string& boundary, const MultipartFields& fields) {
    const std::string opener = "--" + boundary + "\r\n";
    auto part = [&](const char* name, const std::string& value) {
        return opener + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
               "\r\n";
    };
    std::string head = part("deviceId", fields.deviceId) + part("server", fields.server);
    if (!fields.uploader.empty())
        head += part("uploader", fields.uploader);
    head += opener + "Content-Disposition: form-data; name=\"file\"; filename=\"" +
            fields.fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    return head;
}

std::string multipartTail(const std::string& boundary) {
    return "\r\n--" + boundary + "--\r\n";
}

std::string multipartContentType(const std::string& boundary) {
    return "multipart/form-data; boundary=" + boundary;
}

void uploadLastReplayAsync(const std::shared_ptr<GameWrapper>& gw, const std::string& deviceId,
                           const std::string& server, const UploadConfig& config,
                           std::shared_ptr<CVarManagerWrapper> console) {
    startWorker([folder = replaySearchFolder(), deviceId, server, config,
                 console = std::move(console), toast = gw != nullptr] {
        try {
            const auto outcome = uploadLatestReplay(folder, deviceId, server, config, console);
            if (toast && outcome != UploadOutcome::NothingToSend) {
                postToGame([sent = outcome == UploadOutcome::Sent](GameWrapper* gw) {
                    showToast(gw, sent ? "Replay enviado." : "Falha ao enviar replay.");
                });
            }
        } catch (...) {
            logTo(console, "[BRV] Excecao em uploadLastReplayAsync");
        }
    });
}

void uploadLastReplayNow() {
    auto gw = globalGameWrapper.load();
    if (!gw)
        return;
    if (switchOn("brv_upload_only_vxa")) {
        try {
            const std::wstring newest = findLatestReplay(replaySearchFolder(), 10, std::nullopt);
            if (!newest.empty() && !hasPrefix(fileNameOf(newest), ownedReplayPrefix())) {
                logLine(
                    "[BRV] brv_upload_last_replay: ignorado \x97 replay mais recente n\xE3o "
                    "tem prefixo VXA.");
                showToast(gw.get(), "Sem replay_VXA_ recente para enviar.");
                return;
            }
        } catch (...) {
            // The check is a courtesy: when it fails, the upload goes ahead.
        }
    }
    uploadLastReplayAsync(gw, deviceId, serverNameNow(), standardUploadConfig(""),
                          globalCvarManager.load());
}

}  // namespace brevant::replays
