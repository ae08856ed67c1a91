#include "plugin/Log.h"

#include "plugin/Globals.h"

namespace brevant {

void logLine(const std::string& text) {
    if (auto cvars = globalCvarManager.load())
        cvars->log(text);
}

}  // namespace brevant
