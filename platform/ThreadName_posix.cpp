#include "platform/ThreadName.h"

#include <pthread.h>

#include <cstring>

namespace platform {

void setCurrentThreadName(const char* name) {
    // Linux keeps 15 bytes and a terminator; a longer name is refused whole, so cut it first.
    char cut[16] = {};
    std::strncpy(cut, name ? name : "", sizeof cut - 1);
    pthread_setname_np(pthread_self(), cut);
}

}  // namespace platform
