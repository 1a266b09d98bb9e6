#include "child.h"

#include <thread>
#include <utility>
#include <vector>

namespace marker_test {
namespace {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Handle& operator=(Handle&&) = delete;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    HANDLE get() const { return handle_; }
    HANDLE* put()
    {
        reset();
        return &handle_;
    }
    void reset()
    {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// The child's end is inheritable, ours is not: our end must not keep the
// pipe open in the child, or reading would never see its end.
bool MakePipe(Handle& ours, Handle& childs)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    if (!::CreatePipe(ours.put(), childs.put(), &inherit, 0))
        return false;
    return ::SetHandleInformation(ours.get(), HANDLE_FLAG_INHERIT, 0) != 0;
}

std::string ReadAll(HANDLE pipe)
{
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(pipe, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

}  // namespace

ChildRun RunChild(const std::wstring& program, const std::wstring& arguments, const wchar_t* workDir)
{
    ChildRun run;
    Handle outRead, outWrite, errRead, errWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
        run.startError = ::GetLastError();
        return run;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Handle nul(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr));

    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    std::vector<wchar_t> mutableCommandLine(commandLine.begin(), commandLine.end());
    mutableCommandLine.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = outWrite.get();
    startup.hStdError = errWrite.get();
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), mutableCommandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, workDir,
                          &startup, &process)) {
        run.startError = ::GetLastError();
        return run;
    }
    run.started = true;
    Handle processHandle(process.hProcess);
    Handle threadHandle(process.hThread);
    // Only the child may hold the write ends now, so the reads end with it.
    outWrite.reset();
    errWrite.reset();

    // Both pipes drain at once: a child filling one of them must not stall.
    std::thread errReader([&run, &errRead] { run.err = ReadAll(errRead.get()); });
    run.out = ReadAll(outRead.get());
    errReader.join();

    ::WaitForSingleObject(processHandle.get(), INFINITE);
    ::GetExitCodeProcess(processHandle.get(), &run.exitCode);
    return run;
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value) : name_(name)
{
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed > 0) {
        std::vector<wchar_t> buffer(needed);
        if (::GetEnvironmentVariableW(name, buffer.data(), needed) < needed) {
            previous_ = buffer.data();
            hadPrevious_ = true;
        }
    }
    ::SetEnvironmentVariableW(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    ::SetEnvironmentVariableW(name_.c_str(), hadPrevious_ ? previous_.c_str() : nullptr);
}

}  // namespace marker_test
