// The module's entry points: the only symbols it exports.
#include <chrono>
#include <cstdint>
#include <memory>

#include "core/Globals.h"
#include "core/Workers.h"
#include "plugin/Brevant.h"

#ifdef _WIN32
#define BREVANT_VISIBLE __declspec(dllexport)
#else
#define BREVANT_VISIBLE __attribute__((visibility("default")))
#endif
#define BREVANT_EXPORT extern "C" BREVANT_VISIBLE

namespace {
std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> singleton;
}

BREVANT_EXPORT std::uintptr_t getPlugin() {
    if (!singleton)
        singleton = std::make_shared<brevant::Brevant>();
    return reinterpret_cast<std::uintptr_t>(&singleton);
}

BREVANT_EXPORT void deleteMe() {
    if (singleton)
        singleton.reset();
}

// Waits up to timeoutMs for the plugin's worker threads to end and returns how many still run.
// The host closes the module only when this answers 0.
BREVANT_EXPORT int brevantWaitForWorkers(int timeoutMs) {
    return brevant::waitForWorkers(std::chrono::milliseconds(timeoutMs));
}

extern "C" {
BREVANT_VISIBLE BakkesMod::Plugin::PluginInfo exports = {
    95, "VXAPlugin.cpp", "Brevant", "Brevant - Autohost", brevant::pluginVersion,
    1,  &getPlugin,      &deleteMe,
};
}
