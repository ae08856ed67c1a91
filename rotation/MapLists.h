#pragma once
// The two map lists a series is played on, and finding a map in a list.
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

}  // namespace brevant
