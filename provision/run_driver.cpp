#include "run_driver.h"

#include "bios_gate.h"
#include "marker_deploy.h"
#include "office_oem.h"
#include "run_log.h"
#include "system_calls.h"

#include <windows.h>
#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>

namespace kelvane {
namespace {

constexpr wchar_t kExePathFailed[] = L"Get exe path failed [%d]\r\n";
constexpr wchar_t kExePathLine[] = L"ExePath=[%ls]\r\n";
constexpr wchar_t kExeDirLine[] = L"ExeDir=[%ls]\r\n";

constexpr wchar_t kResultPass[] = L"Result=PASS";
constexpr wchar_t kResultFail[] = L"Result=FAIL";
constexpr wchar_t kResultSkip[] = L"Result=SKIP";

// The token ends the console line but not the log entry: the next entry
// continues the token's line.
void WriteResult(RunLog& log, const wchar_t* token)
{
    Print(L"%ls\r\n", token);
    log.AppendToLog(token);
}

}  // namespace

void RestrictDllSearch()
{
    // Both come with the loader update of Windows 7 and with every later
    // Windows; looked up rather than imported, so the program still starts
    // without them.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    using AddDllDirectoryFn = void*(WINAPI*)(const wchar_t*);
    constexpr DWORD kSearchUserDirs = 0x00000400;  // LOAD_LIBRARY_SEARCH_USER_DIRS
    constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr)
        return;
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    const auto addDirectory =
        reinterpret_cast<AddDllDirectoryFn>(reinterpret_cast<void*>(::GetProcAddress(kernel32, "AddDllDirectory")));
    if (setDefault == nullptr || addDirectory == nullptr)
        return;
    // WMI's own DLLs live in System32\wbem and find each other by name there.
    // Without that folder WMI may fail, which fails the run: still safe.
    wchar_t wbem[kPathUnits] = {};
    const UINT length = ::GetSystemDirectoryW(wbem, kPathUnits);
    if (length != 0 && length < kPathUnits && SUCCEEDED(::StringCchCatW(wbem, kPathUnits, L"\\wbem")))
        addDirectory(wbem);
    setDefault(kSearchSystem32 | kSearchUserDirs);
}

void ExeDirOf(const wchar_t* exePath, wchar_t (&exeDir)[kPathUnits])
{
    const std::size_t length = BoundedLength(exePath, kPathUnits - 1);
    std::size_t dirLength = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (exePath[i] == L'\\')
            dirLength = i + 1;
    }
    for (std::size_t i = 0; i < dirLength; ++i)
        exeDir[i] = exePath[i];
    exeDir[dirLength] = L'\0';
}

int RunProvisioning()
{
    wchar_t exePath[kPathUnits] = {};
    const DWORD pathLength = KELVANE_SYSCALL(GetModuleFileNameW)(nullptr, exePath, kPathUnits);
    // A path that filled the whole buffer was cut: its directory would be
    // some other folder, so the path counts as unknown.
    if (pathLength == 0 || pathLength >= kPathUnits) {
        Print(kExePathFailed, static_cast<int>(pathLength));
        return kExitFailure;
    }
    Print(kExePathLine, exePath);

    wchar_t exeDir[kPathUnits] = {};
    ExeDirOf(exePath, exeDir);
    Print(kExeDirLine, exeDir);

    wchar_t logPath[kPathUnits] = {};
    ChooseLogPath(exeDir, logPath);
    RunLog log(logPath);
    log.WriteRunHeader();

    switch (CheckBiosIdentityAndRegion(log)) {
    case GateOutcome::Fail:
        WriteResult(log, kResultFail);
        return kExitFailure;
    case GateOutcome::Skip:
        WriteResult(log, kResultSkip);
        return kExitSuccess;
    case GateOutcome::GoAhead:
        break;
    }

    switch (EnforceOfficeOemMode(log)) {
    case OfficeOutcome::Absent:
        return kExitSuccess;
    case OfficeOutcome::NotApplied:
        WriteResult(log, kResultFail);
        return kExitFailure;
    case OfficeOutcome::Done:
        break;
    }

    WriteResult(log, kResultPass);
    // The marker's outcome is in the log; the run has already passed.
    DeployMarker(log);
    return kExitSuccess;
}

}  // namespace kelvane
