#pragma once
#include <optional>
#include <string>

namespace platform {

// The user's Documents folder as the shell knows it; nothing when the shell cannot tell.
std::optional<std::wstring> documentsFolder();
// A variable of the process environment; nothing when it is not set.
std::optional<std::wstring> environmentVariable(const std::wstring& name);

}  // namespace platform
