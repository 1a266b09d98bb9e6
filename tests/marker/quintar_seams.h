#pragma once
// Hooks of the test build of QUINTAR. The environment of the test build's
// process chooses what they do:
//   QUINTAR_TEST_FAIL=GetModuleHandleW  the module handle comes back null;
//   QUINTAR_TEST_FAIL=WinInit           the framework's initialisation fails;
//   QUINTAR_TEST_TRACE=<file>           the application object's lifecycle and
//                                       the main routine's calls are appended
//                                       to <file>, one line per event.
#include <windows.h>

namespace quintar_seams {

HMODULE GetModuleHandleW(LPCWSTR moduleName);

namespace framework {
int WinInit(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);
}  // namespace framework

void Trace(const char* event);

}  // namespace quintar_seams
