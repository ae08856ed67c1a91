#include "platform/Signals.h"

#include <signal.h>

#include <thread>

namespace platform {

void watchTerminationSignals(std::function<void()> onSignal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Threads started from here on inherit the mask; only the watcher takes the signals.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, onSignal = std::move(onSignal)] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) == 0)
                onSignal();
        }
    }).detach();
}

}  // namespace platform
