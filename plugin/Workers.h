#pragma once
// Worker threads that nobody waits for during unload (pairing checks, rank submissions, replay
// uploads). The module counts them until each has fully ended, so the host can close the
// module only once no thread runs its code.
#include <chrono>
#include <functional>

namespace brevant {

// Runs fn on a new thread. An exception that leaves fn is swallowed. A failure to start the
// thread is raised to the caller (std::system_error).
void startWorker(std::function<void()> fn);

// Workers that have not ended yet.
int runningWorkers();

// Waits up to timeout for every worker to end; returns how many still run.
int waitForWorkers(std::chrono::milliseconds timeout);

}  // namespace brevant
