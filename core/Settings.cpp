#include "core/Settings.h"

#include "core/Globals.h"

namespace brevant {

bool settingOn(const char* cvar, bool whenUnreadable) {
    try {
        if (const auto cvars = globalCvarManager.load()) {
            CVarWrapper value = cvars->getCvar(cvar);
            if (!value.IsNull())
                return value.getBoolValue();
        }
    } catch (...) {
    }
    return whenUnreadable;
}

}  // namespace brevant
