// QUINTAR: the marker program. It brings up the application framework and
// ends; its presence in the Windows directory is what matters.
#include "app_framework.h"
#include "marker_calls.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t kModuleHandleFailed[] = L"Fatal Error: GetModuleHandle failed\n";
constexpr wchar_t kFrameworkInitFailed[] = L"Fatal Error: MFC initialization failed\n";

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// The framework's own class, used as it is: the program adds nothing to it.
framework::Application theApp;

}  // namespace

int wmain()
{
    const HMODULE module = QUINTAR_CALL(GetModuleHandleW)(nullptr);
    if (module == nullptr) {
        std::wprintf(kModuleHandleFailed);
        return kExitFailure;
    }
    LPWSTR commandLine = ::GetCommandLineW();
    if (QUINTAR_CALL(framework::WinInit)(module, nullptr, commandLine, 0) == 0) {
        std::wprintf(kFrameworkInitFailed);
        return kExitFailure;
    }
    return kExitSuccess;
}
