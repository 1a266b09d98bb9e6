#include "quintar_seams.h"

#include "app_framework.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

// The program's own main routine; the test build renames it, so that the
// wmain below can record when it is entered and left.
int QuintarMain();

namespace quintar_seams {
namespace {

bool FailureRequested(const wchar_t* call)
{
    wchar_t value[64] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QUINTAR_TEST_FAIL", value, 64);
    return length > 0 && length < 64 && std::wcscmp(value, call) == 0;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    Trace(moduleName == nullptr ? "GetModuleHandleW own-module" : "GetModuleHandleW named-module");
    if (FailureRequested(L"GetModuleHandleW"))
        return nullptr;
    return ::GetModuleHandleW(moduleName);
}

namespace framework {

int WinInit(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand)
{
    // What the main routine hands over, compared with the process's own values.
    char line[160] = {};
    std::snprintf(
        line, sizeof(line), "WinInit %s %s %s show=%d",
        instance == ::GetModuleHandleW(nullptr) ? "own-module" : "other-module",
        previousInstance == nullptr ? "null-previous" : "some-previous",
        commandLine == ::GetCommandLineW() ? "process-command-line" : "other-command-line", showCommand);
    Trace(line);
    if (FailureRequested(L"WinInit")) {
        Trace("WinInit forced to fail");
        return 0;
    }
    return ::framework::WinInit(instance, previousInstance, commandLine, showCommand);
}

}  // namespace framework

void Trace(const char* event)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QUINTAR_TEST_TRACE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const HANDLE file =
        ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    ::WriteFile(file, event, static_cast<DWORD>(std::strlen(event)), &written, nullptr);
    ::WriteFile(file, "\n", 1, &written, nullptr);
    ::CloseHandle(file);
}

}  // namespace quintar_seams

int wmain()
{
    quintar_seams::Trace("enter main");
    const int exitCode = QuintarMain();
    char line[32] = {};
    std::snprintf(line, sizeof(line), "leave main %d", exitCode);
    quintar_seams::Trace(line);
    return exitCode;
}
