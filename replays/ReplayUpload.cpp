#include "replays/ReplayUpload.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>

#include "core/GameThread.h"
#include "core/Globals.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/Workers.h"
#include "match/MatchIdentity.h"
#include "net/BackendEndpoint.h"
#include "net/HttpRequests.h"
#include "platform/Clock.h"
#include "platform/FileHold.h"
#include "platform/Files.h"
#include "platform/Random.h"
#include "platform/Text.h"
#include "replays/ReplayBody.h"
#include "replays/ReplayFiles.h"
#include "replays/ReplayFolder.h"
#include "replays/ReplayNames.h"
#include "sdk/CVarManagerWrapper.h"

namespace brevant::replays {
namespace {

using Clock = std::chrono::steady_clock;

// The transport's own limits are on silence, and a server that reads a byte a second never falls
// silent: the pace is what cuts it (within about a window), and the whole has an end too.
std::mutex limitsMutex;
UploadLimits limits;

std::string fileNameUtf8(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::mutex noteMutex;
std::optional<UploadNote> note;

void noteUpload(const std::string& name, bool delivered, std::string outcome) {
    std::lock_guard lk(noteMutex);
    note = UploadNote{name, platform::steadyMillis(), delivered, std::move(outcome)};
}

// The Part's toast, on the game thread.
void toast(const char* text) {
    postToGame([text](GameWrapper* gw) { showToast(gw, text); });
}

}  // namespace

UploadLimits uploadLimits() {
    std::lock_guard lk(limitsMutex);
    return limits;
}

void setUploadLimits(const UploadLimits& newLimits) {
    std::lock_guard lk(limitsMutex);
    limits = newLimits;
}

std::optional<UploadNote> lastUploadTry() {
    std::unique_lock lk(noteMutex, std::try_to_lock);
    if (!lk.owns_lock())
        return std::nullopt;
    return note;
}

bool fitsUpload(const outbox::ReplayRecord& record) {
    // Any boundary has the same length as this one.
    static const std::string boundary = "----BREVANTBOUNDARY" + std::string(24, '0');
    const std::uint64_t form = multipartHead(boundary, {record.deviceId, record.server,
                                                        record.uploader, fileNameUtf8(record.path)})
                                   .size() +
                               multipartTail(boundary).size();
    return record.size <= maxUploadBodyBytes && form <= maxUploadBodyBytes - record.size;
}

std::optional<outbox::ReplayRecord> findReplayToUpload(
    const std::wstring& folder, const std::string& deviceId, const std::string& server,
    const UploadConfig& config, const std::shared_ptr<CVarManagerWrapper>& console) {
    logTo(console, "[BRV] Replays dir: " + platform::wideToUtf8(folder));
    const bool withPrefix = config.requirePrefix && !config.requiredPrefix.empty();
    const std::wstring replay = newestUploadableReplay(
        folder, config.maxAgeMinutes,
        config.requirePrefix ? std::optional(config.requiredPrefix) : std::nullopt);
    if (replay.empty()) {
        logTo(console, withPrefix
                           ? "[BRV] Nenhum .replay recente com o prefixo exigido foi encontrado."
                           : "[BRV] Nenhum .replay recente encontrado.");
        return std::nullopt;
    }
    std::error_code ec;
    const auto file = platform::widePath(replay);
    const auto size = std::filesystem::file_size(file, ec);
    const auto time = std::filesystem::last_write_time(file, ec);
    if (ec || size == 0) {
        logTo(console, "[BRV] Falha ao ler replay: " + platform::wideToUtf8(replay));
        return std::nullopt;
    }
    outbox::ReplayRecord record;
    record.path = platform::wideToUtf8(replay);
    record.size = size;
    record.writeTime = static_cast<std::int64_t>(time.time_since_epoch().count());
    record.owned = hasPrefix(fileNameOf(replay), ownedReplayPrefix());
    record.deviceId = deviceId;
    record.server = server;
    record.uploader = config.uploader;
    return record;
}

outbox::Attempt sendReplay(const outbox::ReplayRecord& record, int attempt, std::stop_token stop) {
    const auto console = globalCvarManager.load();
    const std::string fileName = fileNameUtf8(record.path);
    try {
        const std::wstring path = platform::utf8ToWide(record.path);
        if (!platform::isPlainFile(platform::widePath(path)))
            return outbox::Attempt::Gone;
        if (platform::heldForWriting(platform::widePath(path)))
            return outbox::Attempt::TryLater;  // the game is writing it again: not now
        std::error_code ec;
        const auto size = std::filesystem::file_size(platform::widePath(path), ec);
        outbox::ReplayRecord now = record;
        now.size = ec ? record.size : size;
        if (!fitsUpload(now)) {
            logTo(console, "[BRV] Replay grande demais para enviar (" + std::to_string(now.size) +
                               " bytes): " + fileName);
            return outbox::Attempt::Refused;
        }
        const auto config = standardUploadConfig(record.uploader);
        const std::string boundary = makeBoundary();
        // The file is read as it is sent, a piece at a time: a replay of any size costs the
        // game's memory one piece.
        auto body = replayBody(
            path, now.size,
            multipartHead(boundary, {record.deviceId, record.server, record.uploader, fileName}),
            multipartTail(boundary));
        if (!body) {
            if (stop.stop_requested())
                return outbox::Attempt::TryLater;
            logTo(console, "[BRV] Falha ao ler replay: " + record.path);
            // Still there but not readable now (held by another program, an I/O error): tried
            // again later, not taken for gone.
            return platform::isPlainFile(platform::widePath(path)) ? outbox::Attempt::TryLater
                                                                   : outbox::Attempt::Gone;
        }
        const UploadLimits bounds = uploadLimits();
        PostLimits post;
        post.timeouts.receive = bounds.answer;
        post.deadline = Clock::now() + bounds.whole;
        post.pace = platform::HttpPace{bounds.minBytes, bounds.window};
        HttpResult result;
        const bool answered =
            httpPost(config.host, config.port, config.path, multipartContentType(boundary),
                     std::move(*body), result, stop, post);
        if (stop.stop_requested())
            return outbox::Attempt::TryLater;  // unload: kept for the next load, without a word
        const unsigned status = answered ? result.status : 0;
        noteUpload(fileName, answered && result.ok,
                   answered && result.ok ? "enviado"
                   : answered            ? "falhou (" + std::to_string(status) + ")"
                                         : "sem resposta");
        if (answered && result.ok) {
            logTo(console, "[BRV] Replay enviado (" + fileName + ")");
            toast("Replay enviado.");
            return outbox::Attempt::Delivered;
        }
        logTo(console, "[BRV] Falha no upload (" + fileName + ")");
        if (attempt == 0)
            toast("Falha ao enviar replay.");
        const bool final = status >= 400 && status < 500 && status != 408 && status != 429;
        return final ? outbox::Attempt::Refused : outbox::Attempt::TryLater;
    } catch (...) {
        logTo(console, "[BRV] Excecao em uploadLastReplayAsync");
        return outbox::Attempt::TryLater;
    }
}

UploadConfig standardUploadConfig(std::string uploader) {
    const auto endpoint = backendEndpoint();
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

void uploadLastReplayAsync(const std::string& deviceId, const std::string& server,
                           const UploadConfig& config,
                           std::shared_ptr<CVarManagerWrapper> console) {
    startWorker("brv-upload", [folder = uploadSearchFolder(), deviceId, server, config,
                               console = std::move(console)](std::stop_token) {
        try {
            auto record = findReplayToUpload(folder, deviceId, server, config, console);
            if (!record)
                return;
            if (!fitsUpload(*record)) {
                logTo(console, "[BRV] Replay grande demais para enviar (" +
                                   std::to_string(record->size) + " bytes): " + record->path);
                return;
            }
            outbox::keepReplay(std::move(*record));
        } catch (...) {
            logTo(console, "[BRV] Excecao em uploadLastReplayAsync");
        }
    });
}

void uploadLastReplayNow() {
    auto gw = globalGameWrapper.load();
    if (!gw)
        return;
    if (settingOn("brv_upload_only_vxa", true)) {
        try {
            const std::wstring newest =
                newestUploadableReplay(uploadSearchFolder(), 10, std::nullopt);
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
    uploadLastReplayAsync(deviceId, serverNameNow(), standardUploadConfig(""),
                          globalCvarManager.load());
}

}  // namespace brevant::replays
