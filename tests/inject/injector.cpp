// The fault injector: a test-only DLL that a test loads into the real, unmodified
// Kelvane.exe before its entry point (the child is started suspended and
// LoadLibraryW of this DLL is queued to its main thread as an APC). It rewrites
// the program's import table entries of the functions hooked here, and hands out
// its own wrappers for the two functions the program looks up by name, so that
// the calls that can fail are counted and failed on request the way the function
// documents its failure.
//
// What a run does is chosen through the environment the child inherits:
//   KELVANE_FAULT_AT      N: the N-th failable call of the run fails (0 or unset: none)
//   KELVANE_FAULT_MODE    "once" (only the N-th) or "from" (the N-th and every later one)
//   KELVANE_FAULT_REPORT  file that receives what the run did (written at process exit)
//   KELVANE_FAULT_PAUSE_MS  longest Sleep let through (the registry pause makes a sweep slow)
//   KELVANE_FAULT_SLOW_WRITE_MS  each WriteFile lands in two halves this far apart, as on a slow disk
//   KELVANE_FAULT_SECURITY_SET_FROM  N: from the N-th CoInitializeSecurity on, answer
//                         RPC_E_TOO_LATE as Windows answers a repeat (Wine never does)
//
// Only the program's own run is counted and failed: the calls of the C runtime's
// start-up (before wmain) and exit (after wmain returns) are not the program's to
// mend. The run starts with the program's first call that the start-up never
// makes (GetModuleHandleW or GetModuleFileNameW) and ends with the runtime's exit.
// The report names every import not hooked here, so the sweep can tell when the
// program imports a function that this DLL neither fails nor is known to be
// unable to fail.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "owners.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

enum class Phase { StartUp, Run, Exit };

struct Config {
    unsigned long failAt = 0;
    bool failFromThenOn = false;
    std::wstring reportPath;
    DWORD pauseCapMs = INFINITE;
    DWORD slowWriteMs = 0;
    unsigned long securitySetFrom = 0;
};

struct Ledger {
    Phase phase = Phase::StartUp;
    unsigned long failableCalls = 0;      // failable calls made during the run
    std::vector<std::string> failed;      // "N function" of each call failed on purpose
    long comInitialised = 0;              // successful CoInitializeEx calls
    long comUninitialised = 0;            // CoUninitialize calls
    std::wstring consoleIntended;         // every unit the program asked the console to take
    std::wstring consoleLost;             // ...and of those, the ones that did not go out, as 0/1
    std::vector<std::wstring> logWrites;  // each WriteFile that reported success, as written
    unsigned long securityCalls = 0;      // CoInitializeSecurity calls...
    unsigned long securityTooLate = 0;    // ...and those answered RPC_E_TOO_LATE
    std::vector<std::string> unhooked;    // the program's imports left as they were
};

Config g_config;
Ledger g_ledger;

// Decides the fate of one failable call: true means "fail it".
bool Fails(const char* function)
{
    if (g_ledger.phase != Phase::Run)
        return false;
    const unsigned long call = ++g_ledger.failableCalls;
    const bool fail =
        g_config.failAt != 0 && (call == g_config.failAt || (g_config.failFromThenOn && call > g_config.failAt));
    if (fail)
        g_ledger.failed.push_back(std::to_string(call) + " " + function);
    return fail;
}

// The program's run lies between its first own call and the runtime's exit.
void StartRun()
{
    if (g_ledger.phase == Phase::StartUp)
        g_ledger.phase = Phase::Run;
}

void EndRun()
{
    if (g_ledger.phase == Phase::Run)
        g_ledger.phase = Phase::Exit;
}

// ---------------------------------------------------------------------------
// The failable functions. Each real function is reached through the pointer
// that the import table held before it was rewritten.

#define REAL(fn) static decltype(&::fn) real_##fn = nullptr

REAL(CreateFileW);
REAL(WriteFile);
REAL(CloseHandle);
REAL(FindFirstFileW);
REAL(FindClose);
REAL(CopyFileW);
REAL(CreateMutexW);
REAL(WaitForSingleObject);
REAL(ReleaseMutex);
REAL(GetModuleFileNameW);
REAL(GetModuleHandleW);
REAL(GetProcAddress);
REAL(GetSystemDirectoryW);
REAL(Sleep);
REAL(RegOpenKeyExW);
REAL(RegCreateKeyExW);
REAL(RegQueryValueExW);
REAL(RegSetValueExW);
REAL(RegCloseKey);
REAL(CoInitializeEx);
REAL(CoInitializeSecurity);
REAL(CoGetClassObject);
REAL(CoSetProxyBlanket);
REAL(CoUninitialize);
REAL(SysAllocString);
REAL(VariantClear);
REAL(SetDefaultDllDirectories);
REAL(AddDllDirectory);

using FputwcFn = wint_t(__cdecl*)(wchar_t, FILE*);
using FflushFn = int(__cdecl*)(FILE*);
using ExitFn = void(__cdecl*)(int);
FputwcFn real_fputwc = nullptr;
FflushFn real_fflush = nullptr;
ExitFn real_exit = nullptr;

HANDLE WINAPI Hook_CreateFileW(
    LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
    HANDLE templateFile)
{
    if (Fails("CreateFileW")) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return real_CreateFileW(name, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI Hook_WriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (Fails("WriteFile")) {
        if (written != nullptr)
            *written = 0;
        ::SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    BOOL ok = FALSE;
    if (g_config.slowWriteMs != 0 && overlapped == nullptr && bytes >= 4) {
        // A slow disk: the entry reaches the file in two pieces, a moment apart.
        const DWORD first = bytes / 4 * 2;
        DWORD done = 0;
        DWORD rest = 0;
        ok = real_WriteFile(file, data, first, &done, nullptr);
        if (ok) {
            real_Sleep(g_config.slowWriteMs);
            ok = real_WriteFile(file, static_cast<const char*>(data) + first, bytes - first, &rest, nullptr);
        }
        if (written != nullptr)
            *written = done + rest;
    } else {
        ok = real_WriteFile(file, data, bytes, written, overlapped);
    }
    if (ok && g_ledger.phase == Phase::Run)
        g_ledger.logWrites.emplace_back(static_cast<const wchar_t*>(data), bytes / sizeof(wchar_t));
    return ok;
}

BOOL WINAPI Hook_CloseHandle(HANDLE handle)
{
    if (Fails("CloseHandle")) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return real_CloseHandle(handle);
}

HANDLE WINAPI Hook_FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW found)
{
    if (Fails("FindFirstFileW")) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return real_FindFirstFileW(name, found);
}

BOOL WINAPI Hook_FindClose(HANDLE find)
{
    if (Fails("FindClose")) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return real_FindClose(find);
}

BOOL WINAPI Hook_CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists)
{
    if (Fails("CopyFileW")) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return real_CopyFileW(from, to, failIfExists);
}

HANDLE WINAPI Hook_CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name)
{
    if (Fails("CreateMutexW")) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return real_CreateMutexW(security, initialOwner, name);
}

DWORD WINAPI Hook_WaitForSingleObject(HANDLE object, DWORD ms)
{
    if (Fails("WaitForSingleObject")) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return real_WaitForSingleObject(object, ms);
}

BOOL WINAPI Hook_ReleaseMutex(HANDLE mutex)
{
    if (Fails("ReleaseMutex")) {
        ::SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return real_ReleaseMutex(mutex);
}

DWORD WINAPI Hook_GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size)
{
    StartRun();
    if (Fails("GetModuleFileNameW")) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return real_GetModuleFileNameW(module, name, size);
}

HMODULE WINAPI Hook_GetModuleHandleW(LPCWSTR name)
{
    StartRun();
    if (Fails("GetModuleHandleW")) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return real_GetModuleHandleW(name);
}

UINT WINAPI Hook_GetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    if (Fails("GetSystemDirectoryW")) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return real_GetSystemDirectoryW(buffer, size);
}

// Cannot fail; the registry's pause is cut short so that a sweep of a thousand
// runs stays within minutes.
void WINAPI Hook_Sleep(DWORD ms)
{
    real_Sleep(ms < g_config.pauseCapMs ? ms : g_config.pauseCapMs);
}

LSTATUS WINAPI Hook_RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM access, PHKEY result)
{
    if (Fails("RegOpenKeyExW"))
        return ERROR_ACCESS_DENIED;
    return real_RegOpenKeyExW(key, subkey, options, access, result);
}

LSTATUS WINAPI Hook_RegCreateKeyExW(
    HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR cls, DWORD options, REGSAM access,
    const LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    if (Fails("RegCreateKeyExW"))
        return ERROR_ACCESS_DENIED;
    return real_RegCreateKeyExW(key, subkey, reserved, cls, options, access, security, result, disposition);
}

LSTATUS WINAPI Hook_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    if (Fails("RegQueryValueExW"))
        return ERROR_ACCESS_DENIED;
    return real_RegQueryValueExW(key, name, reserved, type, data, size);
}

LSTATUS WINAPI Hook_RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    if (Fails("RegSetValueExW"))
        return ERROR_ACCESS_DENIED;
    return real_RegSetValueExW(key, name, reserved, type, data, size);
}

LSTATUS WINAPI Hook_RegCloseKey(HKEY key)
{
    if (Fails("RegCloseKey"))
        return ERROR_INVALID_HANDLE;
    return real_RegCloseKey(key);
}

HRESULT WINAPI Hook_CoInitializeEx(LPVOID reserved, DWORD flags)
{
    if (Fails("CoInitializeEx"))
        return E_OUTOFMEMORY;
    const HRESULT hr = real_CoInitializeEx(reserved, flags);
    if (SUCCEEDED(hr) && g_ledger.phase == Phase::Run)
        ++g_ledger.comInitialised;
    return hr;
}

HRESULT WINAPI Hook_CoInitializeSecurity(
    PSECURITY_DESCRIPTOR descriptor, LONG services, SOLE_AUTHENTICATION_SERVICE* serviceList, void* reserved1,
    DWORD level, DWORD impersonation, void* authList, DWORD capabilities, void* reserved3)
{
    if (Fails("CoInitializeSecurity"))
        return E_OUTOFMEMORY;
    if (g_config.securitySetFrom != 0 && ++g_ledger.securityCalls >= g_config.securitySetFrom) {
        ++g_ledger.securityTooLate;
        return RPC_E_TOO_LATE;
    }
    return real_CoInitializeSecurity(
        descriptor, services, serviceList, reserved1, level, impersonation, authList, capabilities, reserved3);
}

HRESULT WINAPI Hook_CoGetClassObject(REFCLSID cls, DWORD context, COSERVERINFO* server, REFIID iid, LPVOID* object)
{
    if (Fails("CoGetClassObject")) {
        if (object != nullptr)
            *object = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return real_CoGetClassObject(cls, context, server, iid, object);
}

HRESULT WINAPI Hook_CoSetProxyBlanket(
    IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level, DWORD impersonation,
    RPC_AUTH_IDENTITY_HANDLE identity, DWORD capabilities)
{
    if (Fails("CoSetProxyBlanket"))
        return E_OUTOFMEMORY;
    return real_CoSetProxyBlanket(proxy, authn, authz, principal, level, impersonation, identity, capabilities);
}

void WINAPI Hook_CoUninitialize()
{
    if (g_ledger.phase == Phase::Run)
        ++g_ledger.comUninitialised;
    real_CoUninitialize();
}

BSTR WINAPI Hook_SysAllocString(const OLECHAR* text)
{
    if (Fails("SysAllocString"))
        return nullptr;
    return real_SysAllocString(text);
}

HRESULT WINAPI Hook_VariantClear(VARIANTARG* value)
{
    if (Fails("VariantClear"))
        return DISP_E_BADVARTYPE;
    return real_VariantClear(value);
}

void NoteConsole(const std::wstring& text, bool lost)
{
    if (g_ledger.phase != Phase::Run)
        return;
    g_ledger.consoleIntended += text;
    g_ledger.consoleLost.append(text.size(), lost ? L'1' : L'0');
}

// The runtime's console output. The program's wide printing reaches the
// runtime as fwprintf calls: formatted here with the runtime's own formatter
// (its rules for %s differ from this DLL's), then written, or refused whole.
using VfwprintfFn = int(__cdecl*)(FILE*, const wchar_t*, va_list);
using VsnwprintfFn = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, va_list);
VfwprintfFn runtime_vfwprintf = nullptr;
VsnwprintfFn runtime_vsnwprintf = nullptr;

int __cdecl Hook_fwprintf(FILE* stream, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text(4096, L'\0');
    va_list copy;
    va_copy(copy, args);
    const int units = runtime_vsnwprintf(&text[0], text.size() - 1, format, copy);
    va_end(copy);
    text.resize(units < 0 ? 0 : static_cast<std::size_t>(units));
    int result = -1;
    if (!Fails("fwprintf"))
        result = runtime_vfwprintf(stream, format, args);
    va_end(args);
    NoteConsole(text, result < 0);
    return result;
}

// The runtime's own formatter writes some lines a character at a time.
wint_t __cdecl Hook_fputwc(wchar_t unit, FILE* stream)
{
    wint_t result = WEOF;
    if (!Fails("fputwc"))
        result = real_fputwc(unit, stream);
    NoteConsole(std::wstring(1, unit), result == WEOF);
    return result;
}

int __cdecl Hook_fflush(FILE* stream)
{
    if (Fails("fflush")) {
        errno = EIO;
        return EOF;
    }
    return real_fflush(stream);
}

void WriteReport();

// The report is written as the program hands over to the runtime's exit, so
// that it tells what the run did even if the process then fails to end.
void __cdecl Hook_exit(int code)
{
    EndRun();
    WriteReport();
    real_exit(code);
}

struct Hook {
    const char* name;
    void* replacement;
    void** real;
};

#define HOOK(fn)                                                                                                       \
    Hook                                                                                                               \
    {                                                                                                                  \
#fn, reinterpret_cast < void*>(&Hook_##fn), reinterpret_cast < void**>(&real_##fn)                             \
    }

BOOL WINAPI Hook_SetDefaultDllDirectories(DWORD flags)
{
    if (Fails("SetDefaultDllDirectories")) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return real_SetDefaultDllDirectories(flags);
}

DLL_DIRECTORY_COOKIE WINAPI Hook_AddDllDirectory(PCWSTR folder)
{
    if (Fails("AddDllDirectory")) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return real_AddDllDirectory(folder);
}

// The program looks these up rather than importing them: it gets the wrappers.
const Hook kLookedUp[] = {HOOK(SetDefaultDllDirectories), HOOK(AddDllDirectory)};

FARPROC WINAPI Hook_GetProcAddress(HMODULE module, LPCSTR name)
{
    if (Fails("GetProcAddress")) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    const FARPROC found = real_GetProcAddress(module, name);
    for (const Hook& hook : kLookedUp) {
        if (found != nullptr && !IS_INTRESOURCE(name) && std::strcmp(name, hook.name) == 0) {
            *hook.real = reinterpret_cast<void*>(found);
            return reinterpret_cast<FARPROC>(hook.replacement);
        }
    }
    return found;
}

const Hook kHooks[] = {
    HOOK(CreateFileW),
    HOOK(WriteFile),
    HOOK(CloseHandle),
    HOOK(FindFirstFileW),
    HOOK(FindClose),
    HOOK(CopyFileW),
    HOOK(CreateMutexW),
    HOOK(WaitForSingleObject),
    HOOK(ReleaseMutex),
    HOOK(GetModuleFileNameW),
    HOOK(GetModuleHandleW),
    HOOK(GetProcAddress),
    HOOK(GetSystemDirectoryW),
    HOOK(Sleep),
    HOOK(RegOpenKeyExW),
    HOOK(RegCreateKeyExW),
    HOOK(RegQueryValueExW),
    HOOK(RegSetValueExW),
    HOOK(RegCloseKey),
    HOOK(CoInitializeEx),
    HOOK(CoInitializeSecurity),
    HOOK(CoGetClassObject),
    HOOK(CoSetProxyBlanket),
    HOOK(CoUninitialize),
    HOOK(SysAllocString),
    HOOK(VariantClear),
    Hook{"fwprintf", reinterpret_cast<void*>(&Hook_fwprintf), nullptr},
    HOOK(fputwc),
    HOOK(fflush),
    HOOK(exit),
};

const Hook* FindHook(const char* name)
{
    for (const Hook& hook : kHooks) {
        if (std::strcmp(hook.name, name) == 0)
            return &hook;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Rewriting the import table.

void WriteSlot(void** slot, void* value)
{
    DWORD old = 0;
    ::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    ::VirtualProtect(slot, sizeof *slot, old, &old);
}

void PatchProgramImports()
{
    auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return;
    for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name != 0;
         ++desc) {
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA64*>(
            base + (desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk));
        auto** slots = reinterpret_cast<void**>(base + desc->FirstThunk);
        for (std::size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL64(names[i].u1.Ordinal)) {
                g_ledger.unhooked.push_back("#" + std::to_string(IMAGE_ORDINAL64(names[i].u1.Ordinal)));
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            const char* name = reinterpret_cast<const char*>(byName->Name);
            const Hook* hook = FindHook(name);
            if (hook == nullptr) {
                g_ledger.unhooked.emplace_back(name);
                continue;
            }
            // The hook reaches the real function through the entry it replaces.
            if (hook->real != nullptr)
                *hook->real = slots[i];
            WriteSlot(&slots[i], hook->replacement);
        }
    }
}

// ---------------------------------------------------------------------------
// The report.

std::string Hex(const std::wstring& text)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (wchar_t unit : text) {
        const auto u = static_cast<unsigned>(unit);
        hex += kDigits[(u >> 4) & 15];
        hex += kDigits[u & 15];
        hex += kDigits[(u >> 12) & 15];
        hex += kDigits[(u >> 8) & 15];
    }
    return hex;
}

bool g_reported = false;

void WriteReport()
{
    if (g_config.reportPath.empty() || g_reported)
        return;
    g_reported = true;
    EndRun();
    std::string text;
    text += "failable " + std::to_string(g_ledger.failableCalls) + "\n";
    for (const std::string& failed : g_ledger.failed)
        text += "failed " + failed + "\n";
    text += "com " + std::to_string(g_ledger.comInitialised) + " " + std::to_string(g_ledger.comUninitialised) + "\n";
    text += "console " + Hex(g_ledger.consoleIntended) + "\n";
    text += "lost " + std::string(g_ledger.consoleLost.begin(), g_ledger.consoleLost.end()) + "\n";
    for (const std::wstring& write : g_ledger.logWrites)
        text += "logwrite " + Hex(write) + "\n";
    text += "security already set " + std::to_string(g_ledger.securityTooLate) + "\n";
    for (const std::string& name : g_ledger.unhooked)
        text += "unhooked " + name + "\n";
    // This DLL's own imports are untouched: these are the real functions,
    // neither counted nor failed.
    const kelvane::UniqueFile file(::CreateFileW(
        g_config.reportPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
        nullptr));
    if (!file)
        return;
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

void ReadConfig()
{
    const HMODULE runtime = ::GetModuleHandleW(L"msvcrt.dll");
    runtime_vfwprintf = reinterpret_cast<VfwprintfFn>(reinterpret_cast<void*>(::GetProcAddress(runtime, "vfwprintf")));
    runtime_vsnwprintf =
        reinterpret_cast<VsnwprintfFn>(reinterpret_cast<void*>(::GetProcAddress(runtime, "_vsnwprintf")));
    g_config.failAt = std::wcstoul(Environment(L"KELVANE_FAULT_AT").c_str(), nullptr, 10);
    g_config.failFromThenOn = Environment(L"KELVANE_FAULT_MODE") == L"from";
    g_config.reportPath = Environment(L"KELVANE_FAULT_REPORT");
    const std::wstring pause = Environment(L"KELVANE_FAULT_PAUSE_MS");
    if (!pause.empty())
        g_config.pauseCapMs = std::wcstoul(pause.c_str(), nullptr, 10);
    g_config.slowWriteMs = std::wcstoul(Environment(L"KELVANE_FAULT_SLOW_WRITE_MS").c_str(), nullptr, 10);
    g_config.securitySetFrom = std::wcstoul(Environment(L"KELVANE_FAULT_SECURITY_SET_FROM").c_str(), nullptr, 10);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ReadConfig();
        PatchProgramImports();
    } else if (reason == DLL_PROCESS_DETACH) {
        WriteReport();
    }
    return TRUE;
}
