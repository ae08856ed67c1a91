#pragma once
// What the status panel and brv_status show, gathered from each feature without waiting: a
// feature that is busy changing its state shows what it showed last.
#include <string>
#include <vector>

#include "ui/StatusPanel.h"

namespace brevant {

// The view now. Any thread that draws, and the game thread.
StatusView statusNow();
// The same as console lines ("[BRV] Status: ...").
std::vector<std::string> statusLines(const StatusView& view);
// What the player did with the panel: the setting, or an open by hand.
void applyStatusActions(const StatusActions& actions);

// The last game result reported, as the panel tells it. Game thread.
void noteResultReported(const std::string& name, const std::string& outcome);

}  // namespace brevant
