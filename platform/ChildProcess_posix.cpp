#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/ChildProcessImpl.h"

extern char** environ;

namespace platform {

long long ChildProcess::Impl::readSome(char* buffer, std::size_t size) {
    ssize_t got;
    while ((got = ::read(output, buffer, size)) < 0 && errno == EINTR) {
    }
    return static_cast<long long>(got);
}

long long ChildProcess::Impl::writeSome(const char* data, std::size_t size) {
    ssize_t put;
    while ((put = ::write(input, data, size)) < 0 && errno == EINTR) {
    }
    return static_cast<long long>(put);
}

void ChildProcess::Impl::reap() {
    if (reaped || process < 0)
        return;
    int status = 0;
    while (::waitpid(process, &status, 0) < 0 && errno == EINTR) {
    }
    reaped = true;
    exitCode = WIFEXITED(status)     ? WEXITSTATUS(status)
               : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                     : -1;
}

void ChildProcess::Impl::terminate() {
    ::kill(process, SIGKILL);
}

bool ChildProcess::Impl::suspend(bool stopped) {
    return ::kill(process, stopped ? SIGSTOP : SIGCONT) == 0;
}

void ChildProcess::Impl::close(Native& handle) {
    if (handle >= 0)
        ::close(std::exchange(handle, kNone));
}

// A process id needs no letting go once the child was reaped.
void ChildProcess::Impl::releaseProcess() {}

namespace {

struct Pipe {
    int ends[2] = {-1, -1};
    bool open() { return ::pipe2(ends, O_CLOEXEC) == 0; }
    void close() {
        for (int& fd : ends)
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
    }
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(ChildLaunch launch, std::string& error) {
    // A child that ended makes a write to its input raise SIGPIPE; the parent must see a failed
    // write instead of dying of it.
    static const bool sigpipeIgnored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipeIgnored;
    Pipe in;
    Pipe out;
    if (!in.open() || !out.open()) {
        error = std::string("pipe: ") + std::strerror(errno);
        in.close();
        out.close();
        return nullptr;
    }

    std::map<std::string, std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    for (const auto& [name, value] : launch.environment)
        env[name] = value;
    std::vector<std::string> envText;
    for (const auto& [name, value] : env)
        envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string program = launch.program.string();
    std::vector<std::string> args{program};
    args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.ends[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.ends[1], STDERR_FILENO);
    // The child gets its three standard streams and nothing else: a socket this process
    // accepted (a backend running in it) must not stay open in the child, or closing it here
    // would not end the connection for its client.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in.ends[0]);
    ::close(out.ends[1]);
    if (spawned != 0) {
        error = "cannot start " + program + ": " + std::strerror(spawned);
        ::close(in.ends[1]);
        ::close(out.ends[0]);
        return nullptr;
    }

    auto impl = std::make_unique<Impl>();
    impl->process = pid;
    impl->input = in.ends[1];
    impl->output = out.ends[0];
    impl->onLine = std::move(launch.onLine);
    impl->reader = std::thread([raw = impl.get()] { raw->readOutput(); });
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

}  // namespace platform
