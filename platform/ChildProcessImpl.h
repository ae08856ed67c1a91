#pragma once
// What a child process holds on either system, and the steps each system implements
// (ChildProcess_posix.cpp, ChildProcess_win32.cpp, with start()); ChildProcess.cpp has the rest.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ChildProcess.h"

namespace platform {

struct ChildProcess::Impl {
#ifdef _WIN32
    using Native = void*;  // a HANDLE
    static constexpr Native kNone = nullptr;
#else
    using Native = int;  // a process id or a file descriptor
    static constexpr Native kNone = -1;
#endif
    Native process = kNone;  // the child's id (POSIX) or handle (Windows)
    Native input = kNone;    // our end of the child's standard input
    Native output = kNone;   // our end of the child's standard output and error
    std::function<void(const std::string&)> onLine;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable ended;
    bool outputClosed = false;
    bool reaped = false;
    int exitCode = -1;

    // The reader thread: each line of output to onLine until the output ends, then the waiters
    // are woken.
    void readOutput();

    // Each system's own:
    // Bytes read from the output into `buffer`; 0 or less once it ended.
    long long readSome(char* buffer, std::size_t size);
    // Bytes of `data` written to the input; 0 or less when the child stopped reading.
    long long writeSome(const char* data, std::size_t size);
    // After the output closed, the child has ended or is about to: waits for it (a short wait)
    // and keeps its exit code. Under the mutex.
    void reap();
    // Ends the child at once. Under the mutex, before it was reaped.
    void terminate();
    // Stops or continues the child. Under the mutex, before it was reaped.
    bool suspend(bool stopped);
    // Closes `handle` (a descriptor or a HANDLE) when open, and forgets it.
    static void close(Native& handle);
    // Lets go of the process itself, once it was waited for.
    void releaseProcess();
};

}  // namespace platform
