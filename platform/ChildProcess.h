#pragma once
// A program started as a child process, fed lines on its standard input and read line by line
// from its standard output and error (merged). The demo drives host programs this way.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct ChildLaunch {
    std::filesystem::path program;
    std::vector<std::string> arguments;  // without the program itself
    // Added to (or replacing in) this process's environment.
    std::vector<std::pair<std::string, std::string>> environment;
    // Called on a reader thread for each line of output, without its line end. The last line
    // comes even without a line end.
    std::function<void(const std::string&)> onLine;
};

class ChildProcess {
public:
    // Starts the program; nothing, with the reason in `error`, when it cannot be started.
    static std::unique_ptr<ChildProcess> start(ChildLaunch launch, std::string& error);
    // Kills the child when it still runs, and waits for it and for the reader.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes the line and a line end to the child's input; false once the child stopped reading.
    bool writeLine(const std::string& line);
    // Ends the child's input (it reads end of file).
    void closeInput();
    // Waits until the child has ended and its output is read. Answers its exit code (128 + the
    // signal when a signal ended it), or -1 when it still runs after the timeout.
    int waitForExit(std::chrono::milliseconds timeout);
    // Ends the child at once.
    void kill();
    // Freezes the child where it is (SIGSTOP) or lets it go on (SIGCONT); false where the system
    // cannot (Windows) or the child has ended.
    bool freeze(bool frozen);

    struct Impl;

private:
    explicit ChildProcess(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
