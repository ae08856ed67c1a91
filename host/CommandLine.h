#pragma once
// A program's arguments read one by one. A mistake is told by naming the argument and what is
// wrong with it, then pointing at --help, rather than by the whole usage.
#include <optional>
#include <string>
#include <vector>

namespace host {

class CommandLine {
public:
    CommandLine(std::string program, int argc, char** argv);

    // The next argument; nothing at the end or once a mistake was found.
    std::optional<std::string> next();
    // The value of the option just read, or nothing with the mistake "OPTION needs WHAT" when
    // there is none (the end, or another option).
    std::optional<std::string> value(const std::string& what);
    // A number in [min, max] (a whole one when asked) as the value of the option just read;
    // nothing with the mistake named otherwise.
    std::optional<double> number(const std::string& what, double min, double max,
                                 bool whole = false);
    // Records a mistake (the first one counts) and ends the reading.
    void fail(const std::string& why);
    // The argument just read is none of the program's.
    void unknown();

    bool failed() const { return !mistake_.empty(); }
    // "PROGRAM: MISTAKE" and the line pointing at --help, each ending in a line end.
    std::string mistakeText() const;

private:
    std::string program_;
    std::vector<std::string> args_;
    std::size_t at_ = 0;
    std::string current_;
    std::string mistake_;
};

// --help or -h.
inline bool isHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

}  // namespace host
