#include "run_driver.h"

#include "bios_gate.h"
#include "marker_deploy.h"
#include "office_oem.h"
#include "run_log.h"
#include "system_calls.h"

#include <windows.h>

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
void WriteResult(const wchar_t* logPath, const wchar_t* token)
{
    Print(L"%ls\r\n", token);
    AppendToLog(token, logPath);
}

}  // namespace

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
    WriteRunHeader(logPath);

    switch (CheckBiosIdentityAndRegion(logPath)) {
    case GateOutcome::Fail:
        WriteResult(logPath, kResultFail);
        return kExitFailure;
    case GateOutcome::Skip:
        WriteResult(logPath, kResultSkip);
        return kExitSuccess;
    case GateOutcome::GoAhead:
        break;
    }

    switch (EnforceOfficeOemMode(logPath)) {
    case OfficeOutcome::Absent:
        return kExitSuccess;
    case OfficeOutcome::NotApplied:
        WriteResult(logPath, kResultFail);
        return kExitFailure;
    case OfficeOutcome::Done:
        break;
    }

    WriteResult(logPath, kResultPass);
    // The marker's outcome is in the log; the run has already passed.
    DeployMarker(logPath);
    return kExitSuccess;
}

}  // namespace kelvane
