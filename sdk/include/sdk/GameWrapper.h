#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sdk/Api.h"
#include "sdk/Wrappers.h"

class SDK_API GameWrapper : public std::enable_shared_from_this<GameWrapper> {
public:
    explicit GameWrapper(std::shared_ptr<sdk::HostRuntime> rt);
    ~GameWrapper();

    // Scheduling. Safe from any thread: Execute. Game thread: the rest.
    void Execute(std::function<void(GameWrapper*)> callback);
    void SetTimeout(std::function<void(GameWrapper*)> callback, float seconds);
    void HookEvent(const std::string& eventName, std::function<void(std::string)> callback);

    void Toast(const std::string& title, const std::string& text,
               const std::string& texture = "default", float seconds = 3.5f,
               std::uint8_t toastType = 0, float width = 290.0f, float height = 60.0f);

    ServerWrapper GetOnlineGame();
    ServerWrapper GetCurrentGameState();
    std::string GetCurrentMap();

    PlayerControllerWrapper GetPlayerController();
    UniqueIDWrapper GetUniqueID();
    bool IsUsingSteamVersion();
    bool IsUsingEpicVersion();
    std::uint64_t GetSteamID();
    std::string GetEpicID();
    std::wstring GetDataFolderW();

    MatchmakingWrapper GetMatchmakingWrapper();
    MMRWrapper GetMMRWrapper();

    sdk::HostRuntime& runtime() const { return *rt_; }

private:
    std::shared_ptr<sdk::HostRuntime> rt_;
};
