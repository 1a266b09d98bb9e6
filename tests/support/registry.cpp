#include "registry.h"

#include "owners.h"

#include <gtest/gtest.h>

namespace testing_support {

namespace {

// A test may have denied writes on a key; its owner can always open it up again.
void AllowEveryone(const wchar_t* subkey)
{
    kelvane::UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, WRITE_DAC, key.put()) != ERROR_SUCCESS)
        return;
    SECURITY_DESCRIPTOR open{};
    ::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &open);
}

}  // namespace

void RemoveOfficeKeys()
{
    AllowEveryone(kNativeOemKey);
    AllowEveryone(kWow64OemKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Office\\16.0");
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0");
}

void CreateKey(const wchar_t* subkey, DWORD options)
{
    kelvane::UniqueHkey key;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
        ERROR_SUCCESS);
}

void SetOobeMode(const wchar_t* subkey, DWORD type, const void* data, DWORD bytes)
{
    kelvane::UniqueHkey key;
    ASSERT_EQ(
        ::RegCreateKeyExW(
            HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
            nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(key.get(), L"OOBEMode", 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
}

void SetOobeModeText(const wchar_t* subkey, const std::wstring& text)
{
    ASSERT_NO_FATAL_FAILURE(
        SetOobeMode(subkey, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
}

std::optional<std::wstring> ReadOobeMode(const wchar_t* subkey, DWORD* type)
{
    kelvane::UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t data[1024] = {};
    DWORD bytes = sizeof data - sizeof(wchar_t);
    DWORD storedType = 0;
    if (::RegQueryValueExW(key.get(), L"OOBEMode", nullptr, &storedType, reinterpret_cast<BYTE*>(data), &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    if (type != nullptr)
        *type = storedType;
    return std::wstring(data);
}

bool KeyExists(const wchar_t* subkey)
{
    kelvane::UniqueHkey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

}  // namespace testing_support
