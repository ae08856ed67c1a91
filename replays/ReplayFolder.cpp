#include "replays/ReplayFolder.h"

#include "platform/KnownFolders.h"
#include "platform/Text.h"

namespace brevant {

std::wstring replayFolder;

namespace {
std::wstring demosUnder(const std::wstring& documents) {
    auto path = platform::widePath(documents) / "My Games" / "Rocket League" / "TAGame" / "Demos";
    return platform::pathToWide(path);
}
}  // namespace

std::wstring defaultReplayFolder() {
    if (auto docs = platform::documentsFolder(); docs && !docs->empty())
        return demosUnder(*docs);
    if (auto profile = platform::environmentVariable(L"USERPROFILE"))
        return demosUnder(platform::pathToWide(platform::widePath(*profile) / "Documents"));
    return {};
}

}  // namespace brevant
