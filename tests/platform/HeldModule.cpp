// A module that starts one thread under platform::runHoldingModule and keeps it waiting until
// told to end, for the test of a module closed while its thread still runs.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/ModuleThread.h"

#ifdef _WIN32
#include <windows.h>
#define HELD_EXPORT extern "C" __declspec(dllexport)
#else
#define HELD_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::mutex mutex;
std::condition_variable changed;
bool started = false;
bool released = false;
unsigned long threadId = 0;
}  // namespace

// Starts the thread and returns once it runs (and so holds the module).
HELD_EXPORT void heldStart() {
    std::thread([] {
        platform::runHoldingModule([] {
            std::unique_lock lock(mutex);
#ifdef _WIN32
            threadId = ::GetCurrentThreadId();
#endif
            started = true;
            changed.notify_all();
            changed.wait(lock, [] { return released; });
        });
    }).detach();
    std::unique_lock lock(mutex);
    changed.wait(lock, [] { return started; });
}

// The system's id of the thread (Windows; 0 elsewhere), to wait for its end.
HELD_EXPORT unsigned long heldThreadId() {
    std::lock_guard lock(mutex);
    return threadId;
}

// Lets the thread end.
HELD_EXPORT void heldRelease() {
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
}
