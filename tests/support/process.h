#pragma once
// Runs a program as a child process with its standard output on a pipe, the
// way a factory tool reads it.
#include <windows.h>

#include <string>

namespace testing_support {

struct ChildRun {
    bool started = false;
    DWORD startError = 0;  // GetLastError of a failed start
    std::string output;    // every byte written to standard output
    std::string errors;    // every byte written to standard error
    DWORD exitCode = 0;
    bool finished = false;  // false: it had to be killed after the time limit
};

// With injectDll, that DLL is loaded into the child before its entry point
// (tests/inject: the fault injector).
ChildRun RunChild(
    const std::wstring& program, const std::wstring& arguments = L"", const std::wstring& workingDir = L"",
    DWORD timeoutMs = 120000, const std::wstring& injectDll = L"");

// Sets an environment variable of this process, which every child started
// meanwhile inherits, and restores its earlier state when it goes.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::wstring name_;
    std::wstring previous_;
    bool hadPrevious_ = false;
};

// Starts a child whose output is discarded; the caller waits on the handle.
// Returns nullptr, with the error in *error, when it cannot.
HANDLE
StartChild(
    const std::wstring& program, const std::wstring& workingDir = L"", const std::wstring& injectDll = L"",
    DWORD* error = nullptr);

// Captures what this process writes to its standard output, in text mode as
// on a pipe ("\n" arrives as "\r\n"), between
// construction and Text().
class CapturedStdout {
public:
    CapturedStdout();
    ~CapturedStdout();
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;
    std::string Text();

private:
    int savedFd_ = -1;
    std::wstring path_;
    bool restored_ = false;
};

}  // namespace testing_support
