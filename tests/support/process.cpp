#include "process.h"

#include "files.h"
#include "owners.h"

#include <cstdio>
#include <io.h>
#include <fcntl.h>
#include <functional>
#include <thread>

namespace testing_support {
namespace {

std::wstring CommandLine(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring line = L"\"" + program + L"\"";
    if (!arguments.empty())
        line += L" " + arguments;
    return line;
}

// Loads dll into a child started suspended, before its entry point runs: the
// loader has finished by the time the main thread's first APC runs.
bool InjectAndResume(const PROCESS_INFORMATION& process, const std::wstring& dll)
{
    const SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
    void* remote = ::VirtualAllocEx(process.hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    const bool ok = remote != nullptr && ::WriteProcessMemory(process.hProcess, remote, dll.c_str(), bytes, nullptr) &&
                    ::QueueUserAPC(
                        reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&::LoadLibraryW)), process.hThread,
                        reinterpret_cast<ULONG_PTR>(remote)) != 0;
    if (!ok)
        ::TerminateProcess(process.hProcess, 998);
    ::ResumeThread(process.hThread);
    return ok;
}

// Starts program with the given standard handles (inheritable), standard
// input from NUL. Returns false, with the error in *error, when it cannot.
bool Launch(
    const std::wstring& program, const std::wstring& arguments, const std::wstring& workingDir, HANDLE output,
    HANDLE errors, PROCESS_INFORMATION& process, DWORD* error = nullptr, const std::wstring& injectDll = L"")
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const kelvane::UniqueFile nul(::CreateFileW(
        L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = output != nullptr ? output : nul.get();
    startup.hStdError = errors != nullptr ? errors : nul.get();
    std::wstring line = CommandLine(program, arguments);
    const DWORD flags = injectDll.empty() ? 0 : CREATE_SUSPENDED;
    BOOL started = ::CreateProcessW(
        program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
        workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &process);
    if (!started && error != nullptr)
        *error = ::GetLastError();
    if (started && !injectDll.empty() && !InjectAndResume(process, injectDll) && error != nullptr)
        *error = ERROR_DLL_INIT_FAILED;
    return started != FALSE;
}

}  // namespace

ChildRun RunChild(
    const std::wstring& program, const std::wstring& arguments, const std::wstring& workingDir, DWORD timeoutMs,
    const std::wstring& injectDll)
{
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kelvane::UniqueKernelObject outRead, outWrite, errRead, errWrite;
    if (!::CreatePipe(outRead.put(), outWrite.put(), &inherit, 0) ||
        !::CreatePipe(errRead.put(), errWrite.put(), &inherit, 0))
        return run;
    ::SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION started{};
    run.started =
        Launch(program, arguments, workingDir, outWrite.get(), errWrite.get(), started, &run.startError, injectDll);
    // The child holds its own copies of the write ends; ours must go, or the
    // reads below never see the end of the output.
    outWrite.reset();
    errWrite.reset();
    if (!run.started)
        return run;
    const kelvane::UniqueKernelObject process(started.hProcess);
    const kelvane::UniqueKernelObject thread(started.hThread);

    // Both pipes are drained at once, so a child that fills one cannot stall.
    auto drain = [](HANDLE pipe, std::string& into) {
        char chunk[4096];
        DWORD got = 0;
        while (::ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0)
            into.append(chunk, got);
    };
    std::thread outReader(drain, outRead.get(), std::ref(run.output));
    std::thread errReader(drain, errRead.get(), std::ref(run.errors));
    if (::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0) {
        run.finished = true;
    } else {
        ::TerminateProcess(process.get(), 999);
        ::WaitForSingleObject(process.get(), INFINITE);
    }
    outReader.join();
    errReader.join();
    ::GetExitCodeProcess(process.get(), &run.exitCode);
    return run;
}

HANDLE
StartChild(const std::wstring& program, const std::wstring& workingDir, const std::wstring& injectDll, DWORD* error)
{
    PROCESS_INFORMATION process{};
    if (!Launch(program, L"", workingDir, nullptr, nullptr, process, error, injectDll))
        return nullptr;
    const kelvane::UniqueKernelObject thread(process.hThread);
    return process.hProcess;
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value) : name_(name)
{
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed > 0) {
        std::wstring buffer(needed, L'\0');
        if (::GetEnvironmentVariableW(name, buffer.data(), needed) < needed) {
            previous_ = buffer.c_str();
            hadPrevious_ = true;
        }
    }
    ::SetEnvironmentVariableW(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    ::SetEnvironmentVariableW(name_.c_str(), hadPrevious_ ? previous_.c_str() : nullptr);
}

CapturedStdout::CapturedStdout()
{
    path_ = std::wstring(KELVANE_TEST_WORK) + L"\\captured-stdout.txt";
    std::fflush(stdout);
    savedFd_ = _dup(_fileno(stdout));
    const int fd = _wopen(path_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT, 0600);
    _dup2(fd, _fileno(stdout));
    _close(fd);
}

std::string CapturedStdout::Text()
{
    if (!restored_) {
        std::fflush(stdout);
        _dup2(savedFd_, _fileno(stdout));
        _close(savedFd_);
        restored_ = true;
    }
    return ReadBytes(path_);
}

CapturedStdout::~CapturedStdout()
{
    Text();
}

}  // namespace testing_support
