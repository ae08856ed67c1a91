#pragma once
// The replay watcher: a thread of the plugin's own that polls the replay folder, waits until a
// new replay stops growing, gives a replay of an owned match the owned prefix and asks for its
// upload.
#include <atomic>

class GameWrapper;

namespace brevant {

// True while the watcher loop runs.
extern std::atomic<bool> replayWatcherRunning;

// Starts the watcher on watchedReplayFolder unless one runs or the folder is empty. Game thread.
void startReplayWatcher();
// Stops the watcher and waits for its thread; its waits end at once. Game thread.
void stopReplayWatcher();

// The watcher thread's body (runs until replayWatcherRunning is cleared or the thread is
// stopped).
void replayPollLoop();

// Whether the next replay to appear belongs to a game of the series this client hosts or
// joined, played in a private match. Game thread.
void markNextReplayIfOwned(GameWrapper* gw);

}  // namespace brevant
