#include "host/ConsolePrinter.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace host {

ConsolePrinter::ConsolePrinter(bool foldRepeats, std::function<void(const std::string&)> write)
    : fold_(foldRepeats), write_(std::move(write)) {}

void ConsolePrinter::print(const std::string& stamp, const std::string& text) {
    std::lock_guard lk(mutex_);
    if (fold_ && !last_.empty() && text == last_) {
        ++repeats_;
        write_(std::string(countIsLast_ ? eraseLineAbove : "") + "  (repeated " +
               std::to_string(repeats_) + (repeats_ == 1 ? " more time)" : " more times)"));
        countIsLast_ = true;
        return;
    }
    last_ = text;
    repeats_ = 0;
    countIsLast_ = false;
    write_(stamp + text);
}

void ConsolePrinter::inputTyped() {
    std::lock_guard lk(mutex_);
    last_.clear();
    repeats_ = 0;
    countIsLast_ = false;
}

bool standardOutputIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) == 1;
#endif
}

}  // namespace host
