// Firmware scenarios for the test programs: what the firmware stand-in
// (tests/fake_wmi) reports to this process and to the children it starts.
#pragma once

#include <string>
#include <vector>

namespace firmware {

// Writes `utf8Text` as the scenario file in the test work directory and points FAKE_WMI_SCENARIO at it.
// A name gives the scenario a file of its own, so that children started with
// different scenarios at once each keep theirs.
void UseScenario(const std::string& utf8Text, const std::string& name = "scenario");

// Creates (or empties) the trace file in the test work directory and points FAKE_WMI_TRACE at it.
void StartTrace();

// The trace file's lines so far, without their line ends.
std::vector<std::string> TraceLines();

// The trace of one serial-number query in ROOT\CIMV2 made the way a WMI client
// makes it (locator, connection, proxy blanket, forward-only WQL query, Next
// one object at a time): `objects` objects, each read with the `reads` lines
// (Get calls) and released, then the last Next and the releases of the
// services, the locator and the enumerator in that order.
std::vector<std::string> SerialQueryTrace(int objects, const std::vector<std::string>& reads);

// Unsets FAKE_WMI_TRACE: later calls into the stand-in are not traced.
void StopTrace();

}  // namespace firmware
