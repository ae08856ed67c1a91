#pragma once
#include <cstdint>

namespace platform {

// One value from the operating system's non-deterministic random source.
std::uint32_t osRandom32();

}  // namespace platform
