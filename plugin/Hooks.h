#pragma once
// The game events the plugin follows, and what each one schedules.
#include <memory>

class GameWrapper;

namespace brevant {

inline constexpr const char* eventMatchEnded =
    "Function TAGame.GameEvent_Soccar_TA.EventMatchEnded";
inline constexpr const char* eventPostGameLobby =
    "Function TAGame.GameEvent_Soccar_TA.EventPostGameLobbyStarted";
inline constexpr const char* eventStartRound = "Function TAGame.GameEvent_Soccar_TA.StartRound";
inline constexpr const char* eventActiveStartRound =
    "Function TAGame.GameEvent_Soccar_TA.Active.StartRound";

// Hooks the four events, in this order, on the plugin's game wrapper.
void hookGameEvents(const std::shared_ptr<GameWrapper>& gameWrapper);

// The post-game lobby: replay marking, auto-save, the result report and the rotation step.
// Does nothing without the plugin's game wrapper.
void handlePostGameLobby(const std::shared_ptr<GameWrapper>& gw);

}  // namespace brevant
