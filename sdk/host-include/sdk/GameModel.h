#pragma once
// The simulated game behind the game wrappers. Tests set it directly on the game thread; the
// host program drives it from its commands. Plain data: the wrappers read it and record what
// the plugin asks of the game.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/Api.h"
#include "sdk/Records.h"

namespace sdk {

// What a game call does when the plugin makes it.
enum class CallBehaviour {
    Succeed,
    Throw,   // raises an error from inside the SDK
    Refuse,  // returns normally but reports a refusal where the call has a result
};

struct PlayerModel {
    std::string name;
    std::string uniqueId;  // the unique-id text (a Steam number or an Epic identifier)
    std::uint8_t teamNum = 0;
};

// One game event (an online game or the current game state).
struct GameStateModel {
    bool hasPlaylist = true;
    bool privateMatch = false;
    std::string serverName;  // of a private match
    // Teams in order; an empty optional is a null team.
    std::vector<std::optional<int>> teamScores{0, 0};
    // Players in order; an empty optional is a null entry of the list.
    std::vector<std::optional<PlayerModel>> players;
    bool hasReplayDirector = true;
    // Every value given to SetbAutoSave, in order.
    std::vector<bool> autoSaveCalls;
};

struct PrivateMatchCreation {
    int region = 0;
    int playlist = 0;
    CustomMatchSettings settings;
};

struct PrivateMatchJoin {
    std::string name;
    std::string password;
};

struct MatchmakingModel {
    bool present = true;
    CallBehaviour create = CallBehaviour::Succeed;
    CallBehaviour join = CallBehaviour::Succeed;
    CallBehaviour update = CallBehaviour::Succeed;
    std::vector<PrivateMatchCreation> creations;
    std::vector<PrivateMatchJoin> joins;
    std::vector<CustomMatchSettings> updates;
};

struct PlaylistSkillModel {
    SkillRank rank;
    SkillRating rating;
    bool throws = false;  // the skill calls raise an error for this playlist
};

struct MmrModel {
    bool present = true;
    std::map<int, PlaylistSkillModel> playlists;  // by playlist number
    // A playlist without an entry answers zeros, as the game does for one never played.
};

struct LocalPlayerModel {
    std::string uniqueId;         // GetUniqueID()'s text; may be empty
    bool uniqueIdThrows = false;  // GetUniqueID raises an error
    bool hasController = true;
    bool hasPri = true;
    std::string priName;
    std::string priUniqueId;
    bool usingSteam = true;
    bool usingEpic = false;
    std::uint64_t steamId = 0;
    std::string epicId;
};

struct SDK_API GameModel {
    std::shared_ptr<GameStateModel> onlineGame;        // null when not in an online game
    std::shared_ptr<GameStateModel> currentGameState;  // null when no game is running
    std::string currentMap;
    LocalPlayerModel localPlayer;
    MatchmakingModel matchmaking;
    MmrModel mmr;
    // The players a game has when the console's "game end" ends it (tests set a game's players
    // directly).
    std::vector<PlayerModel> roster;

    // A plausible game sitting in the main menu: a Steam player with ranks in 1v1, 2v2, 3v3, and
    // a roster of four for a 2v2 (that player and a partner on blue, two rivals on orange; two
    // Steam ids of 17 digits, two Epic ids of 32 hexadecimal digits).
    static GameModel mainMenuDefault();

    // The player is in a private match of that name on that map (an online game that is also
    // the current game), as after a successful creation or join.
    void enterPrivateMatch(const std::string& name, const std::string& map);
    // Back in the main menu: no online game, no current game, no map.
    void leaveMatch();
};

}  // namespace sdk
