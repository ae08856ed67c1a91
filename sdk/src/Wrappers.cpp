#include "sdk/Wrappers.h"

#include <stdexcept>

#include "sdk/HostRuntime.h"

using sdk::GameStateModel;
using sdk::HostRuntime;

namespace {
[[noreturn]] void nullCall(const char* what) {
    throw std::runtime_error(std::string(what) + " on a null wrapper");
}
}  // namespace

UniqueIDWrapper::UniqueIDWrapper(std::shared_ptr<HostRuntime> rt, std::string id)
    : rt_(std::move(rt)), id_(std::move(id)) {}

std::string UniqueIDWrapper::GetIdString() const {
    if (rt_)
        rt_->requireGameThread("UniqueIDWrapper::GetIdString");
    return id_;
}

ActorWrapper::~ActorWrapper() = default;

bool ActorWrapper::IsNull() const {
    if (rt_)
        rt_->requireGameThread("ActorWrapper::IsNull");
    return !present();
}

void ActorWrapper::check(const char* what) const {
    if (rt_)
        rt_->requireGameThread(what);
    if (!present())
        nullCall(what);
}

// ---- teams and players -----------------------------------------------------------------

int TeamInfoWrapper::countIn(const std::shared_ptr<HostRuntime>& rt,
                             const std::shared_ptr<GameStateModel>& game) {
    if (rt)
        rt->requireGameThread("ArrayWrapper<TeamInfoWrapper>::Count");
    return game ? static_cast<int>(game->teamScores.size()) : 0;
}

TeamInfoWrapper TeamInfoWrapper::at(const std::shared_ptr<HostRuntime>& rt,
                                    const std::shared_ptr<GameStateModel>& game, int index) {
    if (rt)
        rt->requireGameThread("ArrayWrapper<TeamInfoWrapper>::Get");
    TeamInfoWrapper team;
    team.rt_ = rt;
    team.game_ = game;
    team.index_ = index;
    return team;
}

bool TeamInfoWrapper::present() const {
    return rt_ && game_ && index_ >= 0 && index_ < static_cast<int>(game_->teamScores.size()) &&
           game_->teamScores[index_].has_value();
}

int TeamInfoWrapper::GetScore() const {
    check("TeamInfoWrapper::GetScore");
    return *game_->teamScores[index_];
}

int PlayerReplicationInfoWrapper::countIn(const std::shared_ptr<HostRuntime>& rt,
                                          const std::shared_ptr<GameStateModel>& game) {
    if (rt)
        rt->requireGameThread("ArrayWrapper<PlayerReplicationInfoWrapper>::Count");
    return game ? static_cast<int>(game->players.size()) : 0;
}

PlayerReplicationInfoWrapper PlayerReplicationInfoWrapper::at(
    const std::shared_ptr<HostRuntime>& rt, const std::shared_ptr<GameStateModel>& game,
    int index) {
    if (rt)
        rt->requireGameThread("ArrayWrapper<PlayerReplicationInfoWrapper>::Get");
    PlayerReplicationInfoWrapper pri;
    pri.rt_ = rt;
    pri.game_ = game;
    pri.index_ = index;
    return pri;
}

PlayerReplicationInfoWrapper PlayerReplicationInfoWrapper::local(
    const std::shared_ptr<HostRuntime>& rt) {
    PlayerReplicationInfoWrapper pri;
    pri.rt_ = rt;
    pri.index_ = -1;
    return pri;
}

bool PlayerReplicationInfoWrapper::present() const {
    if (!rt_)
        return false;
    if (index_ < 0)
        return !game_ && rt_->model().localPlayer.hasPri;
    return game_ && index_ < static_cast<int>(game_->players.size()) &&
           game_->players[index_].has_value();
}

UnrealStringWrapper PlayerReplicationInfoWrapper::GetPlayerName() const {
    check("PlayerReplicationInfoWrapper::GetPlayerName");
    if (index_ < 0)
        return UnrealStringWrapper(rt_->model().localPlayer.priName);
    return UnrealStringWrapper(game_->players[index_]->name);
}

UniqueIDWrapper PlayerReplicationInfoWrapper::GetUniqueIdWrapper() const {
    check("PlayerReplicationInfoWrapper::GetUniqueIdWrapper");
    if (index_ < 0)
        return UniqueIDWrapper(rt_, rt_->model().localPlayer.priUniqueId);
    return UniqueIDWrapper(rt_, game_->players[index_]->uniqueId);
}

unsigned char PlayerReplicationInfoWrapper::GetTeamNum() const {
    check("PlayerReplicationInfoWrapper::GetTeamNum");
    if (index_ < 0)
        return 0;
    return game_->players[index_]->teamNum;
}

PlayerControllerWrapper::PlayerControllerWrapper(std::shared_ptr<HostRuntime> rt)
    : ActorWrapper(rt && rt->model().localPlayer.hasController ? std::move(rt) : nullptr) {}

PlayerReplicationInfoWrapper PlayerControllerWrapper::GetPRI() const {
    check("PlayerControllerWrapper::GetPRI");
    return PlayerReplicationInfoWrapper::local(rt_);
}

// ---- game events -------------------------------------------------------------------------

GameSettingPlaylistWrapper::GameSettingPlaylistWrapper(std::shared_ptr<HostRuntime> rt,
                                                       std::shared_ptr<GameStateModel> game)
    : ActorWrapper(std::move(rt)), game_(std::move(game)) {}

bool GameSettingPlaylistWrapper::present() const {
    return rt_ && game_ && game_->hasPlaylist;
}

bool GameSettingPlaylistWrapper::IsPrivateMatch() const {
    check("GameSettingPlaylistWrapper::IsPrivateMatch");
    return game_->privateMatch;
}

ReplayDirectorWrapper::ReplayDirectorWrapper(std::shared_ptr<HostRuntime> rt,
                                             std::shared_ptr<GameStateModel> game)
    : ActorWrapper(std::move(rt)), game_(std::move(game)) {}

bool ReplayDirectorWrapper::present() const {
    return rt_ && game_ && game_->hasReplayDirector;
}

void ReplayDirectorWrapper::SetbAutoSave(bool value) {
    check("ReplayDirectorWrapper::SetbAutoSave");
    game_->autoSaveCalls.push_back(value);
}

GameEventWrapper::GameEventWrapper(std::shared_ptr<HostRuntime> rt,
                                   std::shared_ptr<GameStateModel> game)
    : ActorWrapper(std::move(rt)), game_(std::move(game)) {}

bool GameEventWrapper::present() const {
    return rt_ && game_;
}

GameSettingPlaylistWrapper GameEventWrapper::GetPlaylist() const {
    check("GameEventWrapper::GetPlaylist");
    return GameSettingPlaylistWrapper(rt_, game_);
}

ArrayWrapper<PlayerReplicationInfoWrapper> GameEventWrapper::GetPRIs() const {
    check("GameEventWrapper::GetPRIs");
    return ArrayWrapper<PlayerReplicationInfoWrapper>(rt_, game_);
}

ArrayWrapper<TeamInfoWrapper> TeamGameEventWrapper::GetTeams() const {
    check("TeamGameEventWrapper::GetTeams");
    return ArrayWrapper<TeamInfoWrapper>(rt_, game_);
}

ReplayDirectorWrapper ServerWrapper::GetReplayDirector() const {
    check("ServerWrapper::GetReplayDirector");
    return ReplayDirectorWrapper(rt_, game_);
}

// ---- matchmaking and skill ------------------------------------------------------------------

void MatchmakingWrapper::CreatePrivateMatch(int region, int playlist,
                                            const CustomMatchSettings& settings) {
    check("MatchmakingWrapper::CreatePrivateMatch");
    auto& mm = rt_->model().matchmaking;
    mm.creations.push_back({region, playlist, settings});
    if (mm.create == sdk::CallBehaviour::Throw)
        throw std::runtime_error("CreatePrivateMatch failed");
    if (mm.create == sdk::CallBehaviour::Succeed)
        rt_->model().enterPrivateMatch(settings.ServerName, settings.MapName);
}

void MatchmakingWrapper::JoinPrivateMatch(const std::string& name, const std::string& password) {
    check("MatchmakingWrapper::JoinPrivateMatch");
    auto& mm = rt_->model().matchmaking;
    mm.joins.push_back({name, password});
    if (mm.join == sdk::CallBehaviour::Throw)
        throw std::runtime_error("JoinPrivateMatch failed");
    // The host's match keeps its map; a join only ever lands in that match.
    if (mm.join == sdk::CallBehaviour::Succeed)
        rt_->model().enterPrivateMatch(name, rt_->model().currentMap);
}

bool MatchmakingWrapper::UpdatePrivateMatch(const CustomMatchSettings& settings) {
    check("MatchmakingWrapper::UpdatePrivateMatch");
    auto& mm = rt_->model().matchmaking;
    mm.updates.push_back(settings);
    const char* outcome = mm.update == sdk::CallBehaviour::Succeed  ? "accepted"
                          : mm.update == sdk::CallBehaviour::Refuse ? "refused"
                                                                    : "error";
    // The note names the match the map went into, so that a whole evening's log shows whose
    // maps reached which match.
    const auto& online = rt_->model().onlineGame;
    rt_->gameNote("game: UpdatePrivateMatch map=" + settings.MapName +
                  " players=" + std::to_string(settings.MaxPlayerCount) + " -> " + outcome +
                  (online ? " in '" + online->serverName + "'" : " in no match"));
    if (mm.update == sdk::CallBehaviour::Throw)
        throw std::runtime_error("UpdatePrivateMatch failed");
    return mm.update == sdk::CallBehaviour::Succeed;
}

namespace {
const sdk::PlaylistSkillModel& skillFor(HostRuntime& rt, int playlist, const char* what) {
    static const sdk::PlaylistSkillModel neverPlayed{};
    auto& playlists = rt.model().mmr.playlists;
    auto it = playlists.find(playlist);
    if (it == playlists.end())
        return neverPlayed;
    if (it->second.throws)
        throw std::runtime_error(std::string(what) + " failed");
    return it->second;
}
}  // namespace

SkillRank MMRWrapper::GetPlayerRank(const UniqueIDWrapper& /*id*/, int playlist) {
    check("MMRWrapper::GetPlayerRank");
    return skillFor(*rt_, playlist, "GetPlayerRank").rank;
}

SkillRating MMRWrapper::GetPlayerSkillRating(const UniqueIDWrapper& /*id*/, int playlist) {
    check("MMRWrapper::GetPlayerSkillRating");
    return skillFor(*rt_, playlist, "GetPlayerSkillRating").rating;
}

float MMRWrapper::CalculateMMR(SkillRating rating, bool /*disregardPlacements*/) {
    check("MMRWrapper::CalculateMMR");
    // The game's displayed MMR is an affine function of the rating's mean.
    return rating.Mu * 20.0f + 100.0f;
}
