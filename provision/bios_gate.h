#pragma once
// Stage 1: the machine's identity from the firmware, and the region gate that
// stops the run on Japanese machines.
#include "text.h"

namespace kelvane {

class RunLog;

enum class GateOutcome { Fail, Skip, GoAhead };

constexpr std::size_t kLocUnits = 10;

// The up to three characters after the first "#S" in the Build ID; empty
// without one.
void DeriveLoc(const wchar_t* buildId, wchar_t (&loc)[kLocUnits]);

// True for the two Japanese locale codes (compared whole and case-sensitively).
bool IsJapaneseLoc(const wchar_t* loc);

GateOutcome CheckBiosIdentityAndRegion(RunLog& log);

}  // namespace kelvane
