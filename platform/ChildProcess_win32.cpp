#include "platform/ChildProcess.h"

#include <windows.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/ChildProcessImpl.h"

#include "platform/Text.h"

namespace platform {

long long ChildProcess::Impl::readSome(char* buffer, std::size_t size) {
    // A broken pipe: every writer (the child and its children) is gone.
    DWORD got = 0;
    if (!::ReadFile(output, buffer, static_cast<DWORD>(size), &got, nullptr))
        return 0;
    return static_cast<long long>(got);
}

long long ChildProcess::Impl::writeSome(const char* data, std::size_t size) {
    DWORD put = 0;
    if (!::WriteFile(input, data, static_cast<DWORD>(size), &put, nullptr))
        return -1;
    return static_cast<long long>(put);
}

void ChildProcess::Impl::reap() {
    if (reaped || !process)
        return;
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    exitCode = ::GetExitCodeProcess(process, &code) ? static_cast<int>(code) : -1;
    reaped = true;
}

void ChildProcess::Impl::terminate() {
    ::TerminateProcess(process, 137);
}

// Windows has no documented call that freezes a whole process.
bool ChildProcess::Impl::suspend(bool) {
    return false;
}

void ChildProcess::Impl::close(Native& handle) {
    if (handle)
        ::CloseHandle(std::exchange(handle, kNone));
}

void ChildProcess::Impl::releaseProcess() {
    close(process);
}

namespace {

// One argument quoted as the C runtime's command-line parser reads it back.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

// This process's environment with the launch's additions, as CreateProcessW takes it: sorted
// "NAME=value" entries (names compared without case), each ended by a zero, and a final zero.
std::wstring environmentBlock(const std::vector<std::pair<std::string, std::string>>& extra) {
    struct NoCase {
        bool operator()(const std::wstring& a, const std::wstring& b) const {
            return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                          static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
        }
    };
    std::map<std::wstring, std::wstring, NoCase> env;
    if (wchar_t* block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* e = block; *e; e += std::wcslen(e) + 1) {
            const std::wstring entry = e;
            // Entries such as "=C:=C:\dir" start with '='; their name runs to the second one.
            const auto eq = entry.find(L'=', 1);
            env[entry.substr(0, eq)] = eq == std::wstring::npos ? L"" : entry.substr(eq + 1);
        }
        ::FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : extra)
        env[utf8ToWide(name)] = utf8ToWide(value);
    std::wstring out;
    for (const auto& [name, value] : env)
        out.append(name).append(L"=").append(value).push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(ChildLaunch launch, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0) ||
        !::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        error = "CreatePipe failed: error " + std::to_string(::GetLastError());
        for (HANDLE* h : {&inRead, &inWrite, &outRead, &outWrite})
            Impl::close(*h);
        return nullptr;
    }
    // Our ends stay with us.
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

    const std::wstring program = launch.program.native();
    std::wstring commandLine = quoted(program);
    for (const auto& arg : launch.arguments)
        commandLine.append(L" ").append(quoted(utf8ToWide(arg)));
    std::wstring environment = environmentBlock(launch.environment);

    // Only the three pipe ends are inherited, not every inheritable handle of this process.
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listBuffer(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    HANDLE inherited[] = {inRead, outWrite};
    const bool listReady =
        ::InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
        ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                    sizeof inherited, nullptr, nullptr);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = inRead;
    startup.StartupInfo.hStdOutput = outWrite;
    startup.StartupInfo.hStdError = outWrite;
    startup.lpAttributeList = listReady ? list : nullptr;
    PROCESS_INFORMATION info{};
    const BOOL started =
        ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                         CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                             (listReady ? EXTENDED_STARTUPINFO_PRESENT : 0),
                         environment.data(), nullptr, &startup.StartupInfo, &info);
    const DWORD startError = ::GetLastError();
    if (listReady)
        ::DeleteProcThreadAttributeList(list);
    Impl::close(inRead);
    Impl::close(outWrite);
    if (!started) {
        error = "cannot start " + wideToUtf8(program) + ": error " + std::to_string(startError);
        Impl::close(inWrite);
        Impl::close(outRead);
        return nullptr;
    }
    ::CloseHandle(info.hThread);

    auto impl = std::make_unique<Impl>();
    impl->process = info.hProcess;
    impl->input = inWrite;
    impl->output = outRead;
    impl->onLine = std::move(launch.onLine);
    impl->reader = std::thread([raw = impl.get()] { raw->readOutput(); });
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

}  // namespace platform
