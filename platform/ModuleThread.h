#pragma once
// Threads that a loadable module starts. A host may close the module without waiting for them;
// a thread that then returned into the module's code would run into unmapped memory.
#include <functional>

namespace platform {

// Runs `body` on the calling thread, a thread this module started, and keeps the module loaded
// until the thread has ended. On Windows the thread takes a reference on its own module before
// the body runs, and gives it back as it exits, from the system's code, so that it never
// returns into a module that the reference kept mapped (FreeLibraryAndExitThread); what the
// thread's start routine would have done after this call is then left undone, so call it last.
// On POSIX it only runs the body: there the host waits for the plugin's threads.
void runHoldingModule(std::function<void()> body);

}  // namespace platform
