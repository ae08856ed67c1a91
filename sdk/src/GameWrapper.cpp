#include "sdk/GameWrapper.h"

#include <boost/locale/encoding_utf.hpp>
#include <stdexcept>

#include "sdk/HostRuntime.h"

GameWrapper::GameWrapper(std::shared_ptr<sdk::HostRuntime> rt) : rt_(std::move(rt)) {}
GameWrapper::~GameWrapper() = default;

void GameWrapper::Execute(std::function<void(GameWrapper*)> callback) {
    // Safe from any thread. The callable keeps this handle alive until it has run.
    rt_->post(
        [self = shared_from_this(), callback = std::move(callback)] { callback(self.get()); });
}

void GameWrapper::SetTimeout(std::function<void(GameWrapper*)> callback, float seconds) {
    rt_->requireGameThread("GameWrapper::SetTimeout");
    rt_->setTimeout(
        [self = shared_from_this(), callback = std::move(callback)] { callback(self.get()); },
        seconds);
}

void GameWrapper::HookEvent(const std::string& eventName,
                            std::function<void(std::string)> callback) {
    rt_->requireGameThread("GameWrapper::HookEvent");
    rt_->hookEvent(eventName, std::move(callback));
}

void GameWrapper::Toast(const std::string& title, const std::string& text,
                        const std::string& texture, float seconds, std::uint8_t toastType,
                        float width, float height) {
    rt_->requireGameThread("GameWrapper::Toast");
    rt_->toast({title, text, texture, seconds, toastType, width, height});
}

ServerWrapper GameWrapper::GetOnlineGame() {
    rt_->requireGameThread("GameWrapper::GetOnlineGame");
    return ServerWrapper(rt_, rt_->model().onlineGame);
}

ServerWrapper GameWrapper::GetCurrentGameState() {
    rt_->requireGameThread("GameWrapper::GetCurrentGameState");
    return ServerWrapper(rt_, rt_->model().currentGameState);
}

std::string GameWrapper::GetCurrentMap() {
    rt_->requireGameThread("GameWrapper::GetCurrentMap");
    return rt_->model().currentMap;
}

PlayerControllerWrapper GameWrapper::GetPlayerController() {
    rt_->requireGameThread("GameWrapper::GetPlayerController");
    return PlayerControllerWrapper(rt_);
}

UniqueIDWrapper GameWrapper::GetUniqueID() {
    rt_->requireGameThread("GameWrapper::GetUniqueID");
    if (rt_->model().localPlayer.uniqueIdThrows)
        throw std::runtime_error("GetUniqueID failed");
    return UniqueIDWrapper(rt_, rt_->model().localPlayer.uniqueId);
}

bool GameWrapper::IsUsingSteamVersion() {
    rt_->requireGameThread("GameWrapper::IsUsingSteamVersion");
    return rt_->model().localPlayer.usingSteam;
}

bool GameWrapper::IsUsingEpicVersion() {
    rt_->requireGameThread("GameWrapper::IsUsingEpicVersion");
    return rt_->model().localPlayer.usingEpic;
}

std::uint64_t GameWrapper::GetSteamID() {
    rt_->requireGameThread("GameWrapper::GetSteamID");
    return rt_->model().localPlayer.steamId;
}

std::string GameWrapper::GetEpicID() {
    rt_->requireGameThread("GameWrapper::GetEpicID");
    return rt_->model().localPlayer.epicId;
}

std::wstring GameWrapper::GetDataFolderW() {
    rt_->requireGameThread("GameWrapper::GetDataFolderW");
    // The plugin gets the data folder as wide text, by way of UTF-8 (the path's own bytes on
    // POSIX, its wide text converted on Windows).
    const std::u8string utf8 = rt_->options().dataFolder.u8string();
    const char* bytes = reinterpret_cast<const char*>(utf8.data());
    return boost::locale::conv::utf_to_utf<wchar_t>(bytes, bytes + utf8.size());
}

MatchmakingWrapper GameWrapper::GetMatchmakingWrapper() {
    rt_->requireGameThread("GameWrapper::GetMatchmakingWrapper");
    return MatchmakingWrapper(rt_->model().matchmaking.present ? rt_ : nullptr);
}

MMRWrapper GameWrapper::GetMMRWrapper() {
    rt_->requireGameThread("GameWrapper::GetMMRWrapper");
    return MMRWrapper(rt_->model().mmr.present ? rt_ : nullptr);
}
