#include "trace.h"

#include <objbase.h>

#include "owners.h"

#include "scenario.h"

namespace fake_wmi {

namespace {

void AppendLine(const wchar_t* variable, const std::wstring& line)
{
    std::wstring path;
    if (!ReadEnvironment(variable, path))
        return;
    // Open, append, close: the DLL may be unloaded between calls, and the test
    // reads the file while the process lives.
    const kelvane::UniqueFile file(CreateFileW(
        path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    const std::string bytes = ToUtf8(line) + "\n";
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void Trace(const std::wstring& line)
{
    AppendLine(L"FAKE_WMI_TRACE", line);
}

void Ledger(const std::wstring& line)
{
    AppendLine(L"FAKE_WMI_LEDGER", line);
}

std::wstring TextOrNull(const wchar_t* text)
{
    return text == nullptr ? std::wstring(L"null") : std::wstring(text);
}

std::wstring SetOrNull(const void* pointer)
{
    return pointer == nullptr ? L"null" : L"set";
}

std::wstring Hex(std::uint32_t value)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring digits;
    do {
        digits.insert(digits.begin(), kDigits[value % 16]);
        value /= 16;
    } while (value != 0);
    return L"0x" + digits;
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[39] = {};  // 38 characters and the terminator
    if (StringFromGUID2(guid, text, 39) == 0)
        return L"{?}";
    return text;
}

}  // namespace fake_wmi
