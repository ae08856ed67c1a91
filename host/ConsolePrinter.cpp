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
    std::size_t folded = 0;
    if (fold_ && folder_.repeats({}, text, &folded))
        return;
    if (folded > 0)
        write_("  (repeated " + std::to_string(folded) +
               (folded == 1 ? " more time)" : " more times)"));
    write_(stamp + text);
}

bool standardOutputIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) == 1;
#endif
}

}  // namespace host
