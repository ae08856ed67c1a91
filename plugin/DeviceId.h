#pragma once
// The persistent identifier of this installation, kept in <data folder>/Brevant/device_id.txt.
#include <string>

namespace brevant {

// A new identifier: 36 characters, groups of 8-4-4-4-12 lower-case hex digits.
std::string generateDeviceId();

// The identifier from the file, or a new one written to it. Never fails: whatever goes wrong
// ends in a freshly generated identifier.
std::string loadOrCreateDeviceId(const std::wstring& dataFolder);

}  // namespace brevant
