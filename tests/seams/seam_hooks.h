#pragma once
// Test build of the provisioning sources: the calls behind KELVANE_SYSCALL land
// here. Each forwards to the platform unless a test has asked it to fail.
#include <windows.h>
#include <oleauto.h>

namespace test_seam {

struct Plan {
    HRESULT coInitializeEx = S_OK;        // a failure code makes CoInitializeEx fail with it
    HRESULT coInitializeSecurity = S_OK;  // likewise CoInitializeSecurity
    int failSysAllocStringAt = 0;         // the n-th SysAllocString (1-based) returns null; 0: never
    bool overrideModuleFileName = false;  // GetModuleFileNameW returns moduleFileNameResult...
    DWORD moduleFileNameResult = 0;       // ...and leaves the buffer as it was
};

struct Counts {
    int coInitializeEx = 0;
    int coInitializeSecurity = 0;
    int coUninitialize = 0;
    int sysAllocString = 0;
};

// The plan for the calls to come; resets the counts.
void Arrange(const Plan& plan);
const Counts& Observed();

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
HRESULT CoInitializeSecurity(
    PSECURITY_DESCRIPTOR secDesc, LONG authSvcCount, SOLE_AUTHENTICATION_SERVICE* authSvc, void* reserved1,
    DWORD authnLevel, DWORD impLevel, void* authList, DWORD capabilities, void* reserved3);
void CoUninitialize();
BSTR SysAllocString(const OLECHAR* text);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

}  // namespace test_seam
