#include "rotation/MapLists.h"

#include <algorithm>
#include <cctype>

namespace brevant {

const std::vector<std::string> rotationMapsMd5 = {
    "EuroStadium_Night_P", "CHN_Stadium_P", "Stadium_P", "UtopiaStadium_Dusk_P", "cs_p",
};

const std::vector<std::string> rotationMapsMd7 = {
    "EuroStadium_Night_P", "CHN_Stadium_P",       "Stadium_P", "UtopiaStadium_Dusk_P",
    "Underwater_GRS_P",    "NeoTokyo_Standard_P", "cs_p",
};

namespace {

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

std::int32_t indexOfMap(const std::vector<std::string>& list, const std::string& name) {
    if (list.empty() || name.empty())
        return -1;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (sameIgnoringCase(list[i], name))
            return static_cast<std::int32_t>(i);
    }
    return -1;
}

bool usableMapCode(const std::string& map) {
    // Every map code comes out of the JSON parser (a message or the rotation file), which
    // refuses text that is not valid UTF-8: what is left to check is the size.
    return !map.empty() && map.size() <= maxMapCodeBytes;
}

bool usableRotation(const std::vector<std::string>& list) {
    return !list.empty() && list.size() <= maxRotationMaps &&
           std::all_of(list.begin(), list.end(), usableMapCode);
}

std::int32_t pickNextIndex(const std::vector<std::string>& list, const std::string& lastMap,
                           std::int32_t nextIdx) {
    const auto n = static_cast<std::int32_t>(list.size());
    if (n == 0)
        return -1;
    const std::int32_t at = indexOfMap(list, lastMap);
    const std::int32_t index = at >= 0 ? (at + 1) % n : nextIdx;
    return index < 0 || index >= n ? 0 : index;
}

}  // namespace brevant
