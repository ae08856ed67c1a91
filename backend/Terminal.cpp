#include "backend/Terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace brevant::backend {
namespace {

std::mutex outputMutex;

// Runs the whole lines in `pending` and removes them; false when one of them was "quit" or
// "exit".
bool runLines(Server& server, std::string& pending) {
    for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        if (line == "quit" || line == "exit")
            return false;
        printLine(server.runCommand(line));
    }
    return true;
}

}  // namespace

void printLine(const std::string& text) {
    std::lock_guard lock(outputMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms.count()));
    return text;
}

void runConsole(Server& server, bool console, int wakeFd) {
    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int n = ::poll(fds, console ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("brevant-backend: poll");
            return;
        }
        if (fds[0].revents != 0)
            return;  // SIGINT or SIGTERM
        if (!console || fds[1].revents == 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (interactive)
                return;  // Ctrl-D
            printLine("standard input ended; running until SIGINT or SIGTERM");
            console = false;
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        if (!runLines(server, pending))
            return;
    }
}

}  // namespace brevant::backend
