// The call trace a test reads back: one UTF-8 line per call into the stand-in,
// appended to the file named by FAKE_WMI_TRACE.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace fake_wmi {

// Appends `line` and a line feed; does nothing when FAKE_WMI_TRACE is not set.
void Trace(const std::wstring& line);

// Appends `line` to the file named by FAKE_WMI_LEDGER, if set: what the stand-in
// broke on purpose, and how many of its objects were still alive whenever it
// was unloaded. Kept apart from the trace, which a test compares call by call.
void Ledger(const std::wstring& line);

// "null", or the text itself.
std::wstring TextOrNull(const wchar_t* text);
// "null" or "set": whether a pointer argument was given.
std::wstring SetOrNull(const void* pointer);
// Lowercase hexadecimal with "0x" and no leading zeros.
std::wstring Hex(std::uint32_t value);
// An identifier as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, uppercase.
std::wstring GuidText(REFGUID guid);

}  // namespace fake_wmi
