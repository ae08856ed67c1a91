#include "platform/Random.h"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <random>

namespace platform {

std::uint32_t osRandom32() {
    std::uint32_t value = 0;
    if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return value;
    // The system's generator refused (it does not in practice): the C++ library's device, which
    // on Windows reads the same source through rand_s.
    std::random_device device;
    return static_cast<std::uint32_t>(device());
}

}  // namespace platform
