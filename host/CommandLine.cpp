#include "host/CommandLine.h"

#include <cmath>
#include <cstdlib>

#include "host/ConsoleText.h"

namespace host {

CommandLine::CommandLine(std::string program, int argc, char** argv)
    : program_(std::move(program)), args_(argv + (argc > 0 ? 1 : 0), argv + argc) {}

std::optional<std::string> CommandLine::next() {
    if (failed() || at_ >= args_.size())
        return std::nullopt;
    current_ = args_[at_++];
    return current_;
}

std::optional<std::string> CommandLine::value(const std::string& what) {
    // An option where the value should be is a value forgotten, not a file named "--headless".
    if (failed() || at_ >= args_.size() || args_[at_].empty() || args_[at_].rfind("--", 0) == 0) {
        fail(current_ + " needs " + what);
        return std::nullopt;
    }
    return args_[at_++];
}

std::optional<double> CommandLine::number(const std::string& what, double min, double max,
                                          bool whole) {
    const auto text = value(what);
    if (!text)
        return std::nullopt;
    char* end = nullptr;
    const double n = std::strtod(text->c_str(), &end);
    if (end == text->c_str() || *end || !std::isfinite(n) || n < min || n > max ||
        (whole && n != std::floor(n))) {
        fail(current_ + " needs " + what + ", not '" + *text + "'");
        return std::nullopt;
    }
    return n;
}

void CommandLine::unknown() {
    fail(current_.rfind("-", 0) == 0 ? "unknown option " + current_
                                     : "unexpected argument '" + current_ + "'");
}

void CommandLine::fail(const std::string& why) {
    if (mistake_.empty())
        mistake_ = why;
    at_ = args_.size();
}

std::string CommandLine::mistakeText() const {
    // An argument is shown as the terminal can show it: no control character gets through.
    return program_ + ": " + toTerminalText(mistake_) + "\n" + "Try '" + program_ +
           " --help' for the options.\n";
}

}  // namespace host
