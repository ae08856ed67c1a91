#pragma once
// The game wrappers: small handles onto the simulated game. Every call checks that it runs on
// the game thread (the host reports a call from any other thread as a fault).
#include <cstdint>
#include <memory>
#include <string>

#include "sdk/Api.h"
#include "sdk/Records.h"

namespace sdk {
class HostRuntime;
struct GameStateModel;
}  // namespace sdk

class SDK_API UnrealStringWrapper {
public:
    explicit UnrealStringWrapper(std::string text = {}) : text_(std::move(text)) {}
    std::string ToString() const { return text_; }

private:
    std::string text_;
};

class SDK_API UniqueIDWrapper {
public:
    UniqueIDWrapper() = default;
    UniqueIDWrapper(std::shared_ptr<sdk::HostRuntime> rt, std::string id);
    std::string GetIdString() const;

private:
    std::shared_ptr<sdk::HostRuntime> rt_;
    std::string id_;
};

// Base of everything that may be null.
class SDK_API ActorWrapper {
public:
    ActorWrapper() = default;
    explicit ActorWrapper(std::shared_ptr<sdk::HostRuntime> rt) : rt_(std::move(rt)) {}
    virtual ~ActorWrapper();
    bool IsNull() const;

protected:
    // Checks the calling thread; throws when the wrapper is null.
    void check(const char* what) const;
    virtual bool present() const { return rt_ != nullptr; }
    std::shared_ptr<sdk::HostRuntime> rt_;
};

template <typename T>
class ArrayWrapper {
public:
    ArrayWrapper() = default;
    ArrayWrapper(std::shared_ptr<sdk::HostRuntime> rt, std::shared_ptr<sdk::GameStateModel> game)
        : rt_(std::move(rt)), game_(std::move(game)) {}
    int Count() const { return T::countIn(rt_, game_); }
    T Get(int index) const { return T::at(rt_, game_, index); }

private:
    std::shared_ptr<sdk::HostRuntime> rt_;
    std::shared_ptr<sdk::GameStateModel> game_;
};

class SDK_API TeamInfoWrapper : public ActorWrapper {
public:
    TeamInfoWrapper() = default;
    int GetScore() const;

    static int countIn(const std::shared_ptr<sdk::HostRuntime>& rt,
                       const std::shared_ptr<sdk::GameStateModel>& game);
    static TeamInfoWrapper at(const std::shared_ptr<sdk::HostRuntime>& rt,
                              const std::shared_ptr<sdk::GameStateModel>& game, int index);

private:
    bool present() const override;
    std::shared_ptr<sdk::GameStateModel> game_;
    int index_ = -1;
};

class SDK_API PlayerReplicationInfoWrapper : public ActorWrapper {
public:
    PlayerReplicationInfoWrapper() = default;
    UnrealStringWrapper GetPlayerName() const;
    UniqueIDWrapper GetUniqueIdWrapper() const;
    unsigned char GetTeamNum() const;

    static int countIn(const std::shared_ptr<sdk::HostRuntime>& rt,
                       const std::shared_ptr<sdk::GameStateModel>& game);
    static PlayerReplicationInfoWrapper at(const std::shared_ptr<sdk::HostRuntime>& rt,
                                           const std::shared_ptr<sdk::GameStateModel>& game,
                                           int index);
    // The local player's own entry.
    static PlayerReplicationInfoWrapper local(const std::shared_ptr<sdk::HostRuntime>& rt);

private:
    bool present() const override;
    std::shared_ptr<sdk::GameStateModel> game_;
    int index_ = -1;  // -1: the local player's entry
};

class SDK_API PlayerControllerWrapper : public ActorWrapper {
public:
    PlayerControllerWrapper() = default;
    explicit PlayerControllerWrapper(std::shared_ptr<sdk::HostRuntime> rt);
    PlayerReplicationInfoWrapper GetPRI() const;
};

class SDK_API GameSettingPlaylistWrapper : public ActorWrapper {
public:
    GameSettingPlaylistWrapper() = default;
    GameSettingPlaylistWrapper(std::shared_ptr<sdk::HostRuntime> rt,
                               std::shared_ptr<sdk::GameStateModel> game);
    bool IsPrivateMatch() const;

private:
    bool present() const override;
    std::shared_ptr<sdk::GameStateModel> game_;
};

class SDK_API ReplayDirectorWrapper : public ActorWrapper {
public:
    ReplayDirectorWrapper() = default;
    ReplayDirectorWrapper(std::shared_ptr<sdk::HostRuntime> rt,
                          std::shared_ptr<sdk::GameStateModel> game);
    void SetbAutoSave(bool value);

private:
    bool present() const override;
    std::shared_ptr<sdk::GameStateModel> game_;
};

class SDK_API GameEventWrapper : public ActorWrapper {
public:
    GameEventWrapper() = default;
    GameEventWrapper(std::shared_ptr<sdk::HostRuntime> rt,
                     std::shared_ptr<sdk::GameStateModel> game);
    GameSettingPlaylistWrapper GetPlaylist() const;
    ArrayWrapper<PlayerReplicationInfoWrapper> GetPRIs() const;

protected:
    bool present() const override;
    std::shared_ptr<sdk::GameStateModel> game_;
};

class SDK_API TeamGameEventWrapper : public GameEventWrapper {
public:
    using GameEventWrapper::GameEventWrapper;
    ArrayWrapper<TeamInfoWrapper> GetTeams() const;
};

class SDK_API ServerWrapper : public TeamGameEventWrapper {
public:
    using TeamGameEventWrapper::TeamGameEventWrapper;
    ReplayDirectorWrapper GetReplayDirector() const;
};

class SDK_API MatchmakingWrapper : public ActorWrapper {
public:
    using ActorWrapper::ActorWrapper;
    void CreatePrivateMatch(int region, int playlist, const CustomMatchSettings& settings);
    void JoinPrivateMatch(const std::string& name, const std::string& password);
    bool UpdatePrivateMatch(const CustomMatchSettings& settings);
};

class SDK_API MMRWrapper : public ActorWrapper {
public:
    using ActorWrapper::ActorWrapper;
    SkillRank GetPlayerRank(const UniqueIDWrapper& id, int playlist);
    SkillRating GetPlayerSkillRating(const UniqueIDWrapper& id, int playlist);
    float CalculateMMR(SkillRating rating, bool disregardPlacements);
};
