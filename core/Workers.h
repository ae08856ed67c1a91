#pragma once
// Worker threads that nobody waits for during unload (pairing checks, rank submissions, replay
// uploads). The module counts them until each has fully ended, so the host can close the
// module only once no thread runs its code.
#include <chrono>
#include <functional>
#include <stop_token>
#include <string>

namespace brevant {

// Runs fn on a new thread named for its job ("brv-pairing", "brv-upload": short, systems keep 15
// characters), so that a debugger or `top -H` shows what each one does. fn is given a stop token
// that unload may trigger (requestWorkersStop); long waits in it end when it is. What fn throws
// is swallowed at the failure boundary ("worker"). A failure to start the thread is raised to
// the caller (std::system_error).
void startWorker(std::string name, std::function<void(std::stop_token)> fn);

// A worker that lives while the module is loaded (the file writer). It is not counted among
// the running workers (so nothing waits for it while the plugin runs) until requestWorkersStop
// asks it to stop; from then on it is, until it has ended, as any other.
void startResidentWorker(std::string name, std::function<void(std::stop_token)> fn);

// How many worker threads were started in this process: each start is a thread created.
int workersStarted();

// Asks every running worker to stop.
void requestWorkersStop();

// Workers that have not ended yet.
int runningWorkers();

// Waits up to timeout for every worker to end; returns how many still run.
int waitForWorkers(std::chrono::milliseconds timeout);

}  // namespace brevant
