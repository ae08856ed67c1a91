#pragma once
// The two map lists a series is played on, and finding a map in a list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brevant {

// Best of 3 and best of 5.
extern const std::vector<std::string> rotationMapsMd5;
// Best of 7.
extern const std::vector<std::string> rotationMapsMd7;

// The position of the first entry equal to `name` ignoring ASCII case; -1 when there is none,
// or when the list or the name is empty.
std::int32_t indexOfMap(const std::vector<std::string>& list, const std::string& name);

// The position of the map to apply next: the one after lastMap when lastMap is in the list, else
// nextIdx (0 when that is out of range); -1 when the list is empty.
std::int32_t pickNextIndex(const std::vector<std::string>& list, const std::string& lastMap,
                           std::int32_t nextIdx);

// What a rotation taken from outside (a peer's state, the file, an order) may hold. A map code
// is 1 to 64 bytes (of UTF-8, which the JSON parser already saw to); a list holds 1 to 64 of
// them. A revision stays below
// 2^32 - 2^20, so that a million applies later it still has not wrapped to 0 (which would lose
// every comparison with the other clients from then on).
inline constexpr std::size_t maxMapCodeBytes = 64;
inline constexpr std::size_t maxRotationMaps = 64;
inline constexpr std::uint32_t revisionCeiling = 0xFFF00000u;

bool usableMapCode(const std::string& map);
bool usableRotation(const std::vector<std::string>& list);
inline bool usableRevision(std::uint32_t rev) {
    return rev < revisionCeiling;
}

}  // namespace brevant
