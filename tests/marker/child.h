#pragma once
// Runs a program as a child process with its standard output and error on
// pipes, and hands back every byte it wrote and its exit code.
#include <windows.h>

#include <string>

namespace marker_test {

struct ChildRun {
    bool started = false;
    DWORD startError = 0;
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};

// Starts `program` with the command line "<program>" <arguments> (the program
// path quoted) in `workDir`, or in the test's own directory when it is null,
// and waits for it to end.
ChildRun RunChild(const std::wstring& program, const std::wstring& arguments, const wchar_t* workDir = nullptr);

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

}  // namespace marker_test
