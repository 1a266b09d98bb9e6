#include "seam_hooks.h"

#include <objbase.h>

namespace test_seam {
namespace {
Plan plan;
Counts counts;
}  // namespace

void Arrange(const Plan& next)
{
    plan = next;
    counts = Counts{};
}

const Counts& Observed()
{
    return counts;
}

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit)
{
    ++counts.coInitializeEx;
    if (FAILED(plan.coInitializeEx))
        return plan.coInitializeEx;
    return ::CoInitializeEx(reserved, coInit);
}

HRESULT CoInitializeSecurity(
    PSECURITY_DESCRIPTOR secDesc, LONG authSvcCount, SOLE_AUTHENTICATION_SERVICE* authSvc, void* reserved1,
    DWORD authnLevel, DWORD impLevel, void* authList, DWORD capabilities, void* reserved3)
{
    ++counts.coInitializeSecurity;
    if (FAILED(plan.coInitializeSecurity))
        return plan.coInitializeSecurity;
    return ::CoInitializeSecurity(
        secDesc, authSvcCount, authSvc, reserved1, authnLevel, impLevel, authList, capabilities, reserved3);
}

void CoUninitialize()
{
    ++counts.coUninitialize;
    ::CoUninitialize();
}

BSTR SysAllocString(const OLECHAR* text)
{
    ++counts.sysAllocString;
    if (counts.sysAllocString == plan.failSysAllocStringAt)
        return nullptr;
    return ::SysAllocString(text);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
{
    if (plan.overrideModuleFileName)
        return plan.moduleFileNameResult;
    return ::GetModuleFileNameW(module, fileName, size);
}

}  // namespace test_seam
