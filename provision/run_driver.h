#pragma once
// The provisioning run from start to exit code.
#include "text.h"

namespace kelvane {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// Copies exePath up to and including its last backslash into exeDir; empty
// when there is none.
void ExeDirOf(const wchar_t* exePath, wchar_t (&exeDir)[kPathUnits]);

// Every DLL loaded from now on (WMI's in-process server and the DLLs it loads
// by name) is looked for in System32 and WMI's folder in it, never in the
// program's own folder. Does nothing on a system without the means
// (Windows 7 without its loader update).
void RestrictDllSearch();

// The whole run: start-up, the stages in order, the Result token. Returns the
// process exit code.
int RunProvisioning();

}  // namespace kelvane
