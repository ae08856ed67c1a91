#pragma once
// The host program's standard output. On a terminal a line that repeats the one before it (the
// time stamp aside) is not printed again: a line right under it counts the repeats and is
// rewritten in place as they come, so that typed commands do not scroll away and the count
// stands where the repeated line was. Once a command is typed (the terminal has echoed it below),
// the next line is printed whole again. Through a pipe (the demo and the tests read it so) or
// when told to, every line.
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

namespace host {

class ConsolePrinter {
public:
    ConsolePrinter(bool foldRepeats, std::function<void(const std::string&)> write);

    // Any thread. The stamp is printed before the text but not compared.
    void print(const std::string& stamp, const std::string& text);
    void print(const std::string& text) { print({}, text); }
    // A line was typed on the terminal: what comes next is printed below its echo.
    void inputTyped();

    // Written before a count that replaces the count line above it: cursor up, erase the line.
    static constexpr const char* eraseLineAbove = "\x1b[1A\x1b[2K";

private:
    std::mutex mutex_;
    const bool fold_;
    std::string last_;          // the last line printed whole, without its stamp
    std::size_t repeats_ = 0;   // of last_ since it was printed
    bool countIsLast_ = false;  // the count line is the last line on the terminal
    std::function<void(const std::string&)> write_;
};

// Whether standard output is a terminal (not a pipe or a file).
bool standardOutputIsTerminal();

}  // namespace host
