#include "platform/Signals.h"

#include <windows.h>

#include <utility>

namespace platform {
namespace {

std::function<void()>* handler = nullptr;

// The system calls this on a thread of its own for Ctrl-C, Ctrl-Break and the console's close.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            if (handler && *handler)
                (*handler)();
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void watchTerminationSignals(std::function<void()> onSignal) {
    // Set once, before other threads start, and kept for the life of the process.
    static std::function<void()> kept;
    kept = std::move(onSignal);
    handler = &kept;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

}  // namespace platform
