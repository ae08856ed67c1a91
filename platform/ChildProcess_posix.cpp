#include "platform/ChildProcess.h"
#include "platform/OutputLines.h"

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

extern char** environ;

namespace platform {

struct ChildProcess::Impl {
    pid_t pid = -1;
    int input = -1;   // our end of the child's standard input
    int output = -1;  // our end of the child's standard output and error
    std::function<void(const std::string&)> onLine;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable ended;
    bool outputClosed = false;
    bool reaped = false;
    int exitCode = -1;

    void readOutput() {
        readLinesToTheEnd(
            [this](char* buffer, std::size_t size) {
                ssize_t got;
                while ((got = ::read(output, buffer, size)) < 0 && errno == EINTR) {
                }
                return static_cast<long long>(got);
            },
            onLine);
        {
            std::lock_guard lk(mutex);
            outputClosed = true;
        }
        ended.notify_all();
    }

    // After the output closed, the child has ended or is about to: this wait is short.
    void reap() {
        if (reaped || pid < 0)
            return;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        reaped = true;
        exitCode = WIFEXITED(status)     ? WEXITSTATUS(status)
                   : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                         : -1;
    }
};

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
    impl->pid = pid;
    impl->input = in.ends[1];
    impl->output = out.ends[0];
    impl->onLine = std::move(launch.onLine);
    impl->reader = std::thread([raw = impl.get()] { raw->readOutput(); });
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
    if (waitForExit(std::chrono::milliseconds(0)) < 0)
        kill();
    closeInput();
    if (impl_->reader.joinable())
        impl_->reader.join();
    ::close(impl_->output);
}

bool ChildProcess::writeLine(const std::string& line) {
    std::lock_guard lk(impl_->mutex);
    if (impl_->input < 0)
        return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(impl_->input, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

void ChildProcess::closeInput() {
    std::lock_guard lk(impl_->mutex);
    if (impl_->input >= 0) {
        ::close(impl_->input);
        impl_->input = -1;
    }
}

int ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    std::unique_lock lk(impl_->mutex);
    if (!impl_->ended.wait_for(lk, timeout, [&] { return impl_->outputClosed; }))
        return -1;
    impl_->reap();
    return impl_->exitCode;
}

void ChildProcess::kill() {
    std::unique_lock lk(impl_->mutex);
    if (!impl_->reaped && impl_->pid > 0)
        ::kill(impl_->pid, SIGKILL);
    lk.unlock();
    waitForExit(std::chrono::seconds(10));
}

}  // namespace platform
