#include "registry.h"

#include <gtest/gtest.h>

namespace testing_support {

namespace {

// A test may have denied writes on a key; its owner can always open it up again.
void AllowEveryone(const wchar_t* subkey)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, WRITE_DAC, &key) != ERROR_SUCCESS)
        return;
    SECURITY_DESCRIPTOR open{};
    ::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &open);
    ::RegCloseKey(key);
}

}  // namespace

void RemoveOfficeKeys()
{
    AllowEveryone(kNativeOemKey);
    AllowEveryone(kWow64OemKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Office\\16.0");
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0");
}

void CreateKey(const wchar_t* subkey)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
}

void SetOobeMode(const wchar_t* subkey, DWORD type, const void* data, DWORD bytes)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(key, L"OOBEMode", 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    ::RegCloseKey(key);
}

void SetOobeModeText(const wchar_t* subkey, const std::wstring& text)
{
    SetOobeMode(subkey, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::optional<std::wstring> ReadOobeMode(const wchar_t* subkey, DWORD* type)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t data[1024] = {};
    DWORD bytes = sizeof data - sizeof(wchar_t);
    DWORD storedType = 0;
    const LSTATUS status =
        ::RegQueryValueExW(key, L"OOBEMode", nullptr, &storedType, reinterpret_cast<BYTE*>(data), &bytes);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    if (type != nullptr)
        *type = storedType;
    return std::wstring(data);
}

bool KeyExists(const wchar_t* subkey)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

}  // namespace testing_support
