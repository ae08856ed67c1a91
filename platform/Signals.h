#pragma once
// Termination requests from outside the process (Ctrl-C, a service manager).
#include <functional>

namespace platform {

// Routes SIGINT and SIGTERM (or their equivalents) to onSignal, called on a thread of its own.
// Call it before starting any other thread, so that no other thread takes the signals.
void watchTerminationSignals(std::function<void()> onSignal);

}  // namespace platform
