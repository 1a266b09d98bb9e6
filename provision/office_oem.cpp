#include "office_oem.h"

#include "owners.h"
#include "run_log.h"

#include <cwchar>

namespace kelvane {
namespace {

constexpr wchar_t kNativeKey[] = L"SOFTWARE\\Microsoft\\Office\\16.0\\Common\\OEM";
constexpr wchar_t kWow64Key[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM";
constexpr wchar_t kValueName[] = L"OOBEMode";
constexpr wchar_t kRequiredMode[] = L"OEMTA";
constexpr DWORD kPauseAfterWriteMs = 3000;
constexpr std::size_t kRegistryValueUnits = 260;

constexpr wchar_t kSetupLine[] = L"Setup the registry key!\r\n";
constexpr wchar_t kNativeKeyLine[] = L"HKLM\\SOFTWARE\\Microsoft\\Office\\16.0\\Common\\OEM\r\n";
constexpr wchar_t kWow64KeyLine[] = L"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM\r\n";
constexpr wchar_t kOfficeAbsent[] = L"Not found Office reg key, skip and exit.\r\n";
constexpr wchar_t kBeforeWrite[] = L"Registry before write: [%ls]\r\n";
constexpr wchar_t kAlreadyCorrect[] = L"Already correct registry key value, skip!\r\n";
constexpr wchar_t kOverwrite[] = L"incorrect registry key value, overwrite it!\r\n";
constexpr wchar_t kAfterWrite[] = L"Registry after write: [%ls]\r\n";
constexpr wchar_t kNotApplied[] = L"Registry value not set after write: [HKLM\\%ls]\r\n";

// Reads OOBEMode of an open key as bounded text: at most 259 units, always
// terminated; empty when the value cannot be read whole.
void ReadOobeMode(HKEY key, wchar_t (&value)[kRegistryValueUnits])
{
    std::wmemset(value, L'\0', kRegistryValueUnits);
    DWORD size = sizeof value;
    const LSTATUS status = ::RegQueryValueExW(key, kValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    // A value too large for the buffer leaves it undefined: nothing of it is kept.
    if (status != ERROR_SUCCESS)
        std::wmemset(value, L'\0', kRegistryValueUnits);
    // A stored value may fill the buffer without a terminator of its own.
    value[kRegistryValueUnits - 1] = L'\0';
}

bool OfficeKeyPresent()
{
    UniqueHkey probe;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNativeKey, 0, KEY_QUERY_VALUE, probe.put());
    return static_cast<bool>(probe);
}

// Returns false when a write was needed and the value read back is not the
// required one.
bool EnforceInView(const wchar_t* subkey, RunLog& log)
{
    wchar_t value[kRegistryValueUnits] = {};
    // Kept on purpose: a key that refuses access is not reported as such. It
    // reads as empty brackets, the write does not happen, and the read-back
    // decides the run.
    UniqueHkey key;
    // Non-volatile: Office reads the value at the customer's first start,
    // after restarts.
    ::RegCreateKeyExW(
        HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    ReadOobeMode(key.get(), value);
    log.PrintAndLog(kBeforeWrite, value);

    if (std::wcscmp(value, kRequiredMode) == 0) {
        log.PrintAndLogText(kAlreadyCorrect);
        return true;
    }
    log.PrintAndLogText(kOverwrite);
    ::RegSetValueExW(
        key.get(), kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(kRequiredMode), sizeof kRequiredMode);
    ::Sleep(kPauseAfterWriteMs);
    ReadOobeMode(key.get(), value);
    log.PrintAndLog(kAfterWrite, value);
    if (std::wcscmp(value, kRequiredMode) == 0)
        return true;
    log.PrintAndLog(kNotApplied, subkey);
    return false;
}

}  // namespace

OfficeOutcome EnforceOfficeOemMode(RunLog& log)
{
    log.PrintAndLogText(kSetupLine);
    log.PrintAndLogText(kNativeKeyLine);
    if (!OfficeKeyPresent()) {
        log.PrintAndLogText(kOfficeAbsent);
        return OfficeOutcome::Absent;
    }
    if (!EnforceInView(kNativeKey, log))
        return OfficeOutcome::NotApplied;

    log.PrintAndLogText(kWow64KeyLine);
    if (!EnforceInView(kWow64Key, log))
        return OfficeOutcome::NotApplied;
    return OfficeOutcome::Done;
}

}  // namespace kelvane
