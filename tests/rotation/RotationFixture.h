#pragma once
// The plugin in the stand-in host, paired, with a backend on loopback and a five-map series
// running in the private match "Sala", the game on "Stadium_P".
#include <string>
#include <vector>

#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "rotation/HostingState.h"
#include "rotation/MapLists.h"
#include "tests/support/ConnectedPlugin.h"

namespace testing_support {

class RotationFixture : public ConnectedPlugin {
protected:
    void SetUp() override {
        ConnectedPlugin::SetUp();
        host.game().enterPrivateMatch("Sala", "Stadium_P");
        {
            std::lock_guard lk(brevant::hostingMutex);
            brevant::currentServerName = "Sala";
            brevant::rotationState.rotation = brevant::rotationMapsMd5;
            brevant::rotationState.lastMap = "Stadium_P";
            brevant::rotationState.nextIdx = 3;
            brevant::rotationState.enabled = true;
        }
        brevant::beginHostingSeries();  // this load hosts "Sala"
        brevant::observeSeries(true);
    }
    GameWrapper& gw() { return *brevant::globalGameWrapper.load(); }
    std::string lastMap() {
        std::lock_guard lk(brevant::hostingMutex);
        return brevant::rotationState.lastMap;
    }
    // The maps the game was asked to put into the match, in order.
    std::vector<std::string> updates() {
        std::vector<std::string> maps;
        for (const auto& s : host.game().matchmaking.updates)
            maps.push_back(s.MapName);
        return maps;
    }
};

}  // namespace testing_support
