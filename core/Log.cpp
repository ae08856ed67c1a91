#include "core/Log.h"

#include "core/Globals.h"

namespace brevant {

void logTo(const std::shared_ptr<CVarManagerWrapper>& console, const std::string& text) {
    if (console)
        console->log(text);
}

void logLine(const std::string& text) {
    logTo(globalCvarManager.load(), text);
}

}  // namespace brevant
