#include "replays/ReplayFolder.h"

#include "platform/KnownFolders.h"
#include "platform/Text.h"

namespace brevant {

std::wstring watchedReplayFolder;

namespace {

std::wstring demosUnder(const std::wstring& documents) {
    auto path = platform::widePath(documents) / "My Games" / "Rocket League" / "TAGame" / "Demos";
    return platform::pathToWide(path);
}

// A profile path as long as this does not fit the Windows call's buffer and counts as none; the
// same rule on every platform keeps the search in one place for one environment.
constexpr std::size_t maxProfileLength = 260;

}  // namespace

std::wstring gameDemosFolder() {
    if (auto docs = platform::documentsFolder(); docs && !docs->empty())
        return demosUnder(*docs);
    if (auto profile = platform::environmentVariable(L"USERPROFILE"))
        return demosUnder(platform::pathToWide(platform::widePath(*profile) / "Documents"));
    return {};
}

std::wstring gameDemosFolderOrHere() {
    if (auto docs = platform::documentsFolder(); docs && !docs->empty())
        return demosUnder(*docs);
    auto profile = platform::environmentVariable(L"USERPROFILE");
    if (!profile || profile->empty() || profile->size() >= maxProfileLength)
        return demosUnder(L".");
    return demosUnder(platform::pathToWide(platform::widePath(*profile) / "Documents"));
}

std::wstring uploadSearchFolder() {
    return watchedReplayFolder.empty() ? gameDemosFolderOrHere() : watchedReplayFolder;
}

}  // namespace brevant
