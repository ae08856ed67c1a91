#include "platform/Random.h"

#include <random>

namespace platform {

std::uint32_t osRandom32() {
    // libstdc++ reads the kernel's random source (getrandom or /dev/urandom) for this device.
    std::random_device device;
    return static_cast<std::uint32_t>(device());
}

}  // namespace platform
