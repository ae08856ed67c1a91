#pragma once
// Splitting a child's output into lines as it arrives, for every system's ChildProcess.
#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// Hands each complete line in `pending` (without its "\n" or "\r\n") to `onLine` and keeps the
// unfinished rest in `pending`.
inline void takeCompleteLines(std::string& pending,
                              const std::function<void(const std::string&)>& onLine) {
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = pending.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (onLine)
            onLine(line);
    }
    pending.erase(0, start);
}

// Reads the output with `read(buffer, size)` (the count of bytes read; 0 or less when the output
// ended) until it ends, handing each line to `onLine`; the last one comes even without a line end.
template <class Read>
void readLinesToTheEnd(Read&& read, const std::function<void(const std::string&)>& onLine) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const long long got = read(buffer, sizeof buffer);
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(got));
        takeCompleteLines(pending, onLine);
    }
    if (!pending.empty() && onLine)
        onLine(pending);
}

}  // namespace platform
