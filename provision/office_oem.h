#pragma once
// Stage 2: Office 16.0's OEM out-of-box mode, in the native and the 32-bit
// registry view.
#include "text.h"

#include <windows.h>

namespace kelvane {

enum class OfficeOutcome {
    Absent,      // no Office OEM key: the run ends without a Result token
    Done,        // both views read "OEMTA"
    NotApplied,  // a write did not take effect: the run fails
};

constexpr std::size_t kRegistryValueUnits = 260;

// Reads OOBEMode of an open key as bounded text: at most 259 units, always
// terminated; empty when the value cannot be read whole.
void ReadOobeMode(HKEY key, wchar_t (&value)[kRegistryValueUnits]);

OfficeOutcome EnforceOfficeOemMode(const wchar_t* logPath);

}  // namespace kelvane
