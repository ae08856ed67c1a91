#pragma once
// The host program's standard output. On a terminal a line that repeats the one before it (the
// time stamp aside) is not printed again, and the next different line comes after one line with
// the count of those left out, so that typed commands do not scroll away. Through a pipe (the
// demo and the tests read it so) or when told to, every line.
#include <functional>
#include <mutex>
#include <string>

#include "host/RepeatFolder.h"

namespace host {

class ConsolePrinter {
public:
    ConsolePrinter(bool foldRepeats, std::function<void(const std::string&)> write);

    // Any thread. The stamp is printed before the text but not compared.
    void print(const std::string& stamp, const std::string& text);
    void print(const std::string& text) { print({}, text); }

private:
    std::mutex mutex_;
    const bool fold_;
    RepeatFolder folder_;
    std::function<void(const std::string&)> write_;
};

// Whether standard output is a terminal (not a pipe or a file).
bool standardOutputIsTerminal();

}  // namespace host
