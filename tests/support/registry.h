#pragma once
// The Office OEM keys of the test prefix's HKLM. The helpers that set up a
// key ASSERT inside: call them under ASSERT_NO_FATAL_FAILURE.
#include <windows.h>

#include <optional>
#include <string>

namespace testing_support {

constexpr wchar_t kNativeOemKey[] = L"SOFTWARE\\Microsoft\\Office\\16.0\\Common\\OEM";
constexpr wchar_t kWow64OemKey[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM";

// Removes both OEM keys (and the Office 16.0 trees above them).
void RemoveOfficeKeys();
// Creates an HKLM key; volatile keys (REG_OPTION_VOLATILE) go with a restart.
void CreateKey(const wchar_t* subkey, DWORD options = REG_OPTION_NON_VOLATILE);
void SetOobeMode(const wchar_t* subkey, DWORD type, const void* data, DWORD bytes);
void SetOobeModeText(const wchar_t* subkey, const std::wstring& text);  // REG_SZ with terminator
// The stored OOBEMode, its type in *type; nullopt when the key or value is missing.
std::optional<std::wstring> ReadOobeMode(const wchar_t* subkey, DWORD* type = nullptr);
bool KeyExists(const wchar_t* subkey);

}  // namespace testing_support
