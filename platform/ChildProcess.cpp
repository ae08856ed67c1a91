// What both systems' child processes share: the reader, writing a line, waiting and killing.
#include "platform/ChildProcess.h"

#include "platform/ChildProcessImpl.h"
#include "platform/OutputLines.h"

namespace platform {

void ChildProcess::Impl::readOutput() {
    readLinesToTheEnd([this](char* buffer, std::size_t size) { return readSome(buffer, size); },
                      onLine);
    {
        std::lock_guard lk(mutex);
        outputClosed = true;
    }
    ended.notify_all();
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
    if (waitForExit(std::chrono::milliseconds(0)) < 0)
        kill();
    closeInput();
    if (impl_->reader.joinable())
        impl_->reader.join();
    Impl::close(impl_->output);
    impl_->releaseProcess();
}

bool ChildProcess::writeLine(const std::string& line) {
    std::lock_guard lk(impl_->mutex);
    if (impl_->input == Impl::kNone)
        return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const long long put = impl_->writeSome(text.data() + done, text.size() - done);
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

void ChildProcess::closeInput() {
    std::lock_guard lk(impl_->mutex);
    Impl::close(impl_->input);
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
    if (!impl_->reaped && impl_->process != Impl::kNone)
        impl_->terminate();
    lk.unlock();
    waitForExit(std::chrono::seconds(10));
}

bool ChildProcess::freeze(bool frozen) {
    std::lock_guard lk(impl_->mutex);
    return !impl_->reaped && impl_->process != Impl::kNone && impl_->suspend(frozen);
}

}  // namespace platform
