#pragma once
// Stage 2: Office 16.0's OEM out-of-box mode, in the native and the 32-bit
// registry view.

namespace kelvane {

class RunLog;

enum class OfficeOutcome {
    Absent,      // no Office OEM key: the run ends without a Result token
    Done,        // both views read "OEMTA"
    NotApplied,  // a write did not take effect: the run fails
};

OfficeOutcome EnforceOfficeOemMode(RunLog& log);

}  // namespace kelvane
