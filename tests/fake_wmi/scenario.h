// The firmware a test scripts for the stand-in: the objects WMI would report
// and the calls that are to fail, read from the file named by FAKE_WMI_SCENARIO.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace fake_wmi {

enum class ValueKind { Text, Null, Empty, Int32 };

// A property value as a VARIANT will carry it.
struct Value {
    ValueKind kind = ValueKind::Text;
    std::wstring text;
    LONG number = 0;
};

enum class FirmwareClass { Bios, Setting };

// One object of the firmware: a Win32_BIOS (only `value`, its SerialNumber)
// or a Brevik_BIOSSetting (`name` and `value`).
struct Record {
    FirmwareClass cls = FirmwareClass::Bios;
    std::wstring name;
    Value value;
};

enum class FailPoint { Create, Connect, Blanket, Exec, Next };

// A call to fail. `filter`, when not empty, must occur (ignoring case) in the
// namespace (connect, blanket) or the query text (exec, next).
struct FailRule {
    FailPoint point = FailPoint::Create;
    HRESULT result = S_OK;
    ULONG nextCall = 0;  // the 1-based Next call that fails, for FailPoint::Next
    std::wstring filter;
};

// A promise of the provider that a call breaks: it reports success and hands
// out nothing (ClassObject, Create, Connect, Exec, Next), reports an object it
// does not hand out (Phantom, a Next), or leaves the value empty (Get).
enum class Promise { ClassObject, Create, Connect, Exec, Next, Phantom, Get };

// Breaks the `call`-th call (1-based, counted over the whole process) of one kind.
struct BrokenPromise {
    Promise promise = Promise::Create;
    ULONG call = 0;
};

struct Scenario {
    std::vector<Record> records;
    std::vector<FailRule> failures;
    std::vector<BrokenPromise> broken;
    // A DLL that ConnectServer loads by its bare name, as a provider loads its
    // own dependencies; the trace tells which file that was.
    std::wstring probe;
    std::vector<unsigned> badLines;  // 1-based numbers of lines not understood
};

// Reads the scenario file anew; an unset variable or unreadable file is an empty firmware.
Scenario LoadScenario();

// Parses a scenario text (already UTF-16).
Scenario ParseScenario(const std::wstring& text);

// The first rule for `point` whose filter matches `subject`, or null.
const FailRule* FindFailure(const Scenario& scenario, FailPoint point, const std::wstring& subject);

bool EqualsNoCase(const std::wstring& a, const std::wstring& b);
bool ContainsNoCase(const std::wstring& haystack, const std::wstring& needle);

// Counts this call of `promise`'s kind in this process and tells whether the
// scenario breaks it (then noted in the ledger). The counts live in the
// process's environment: COM may unload and reload the DLL between queries.
bool BreaksPromise(const std::vector<BrokenPromise>& broken, Promise promise);

// Reads an environment variable of this process; false when it is not set.
bool ReadEnvironment(const wchar_t* name, std::wstring& value);

// UTF-8 and UTF-16 conversions of whole texts.
std::wstring FromUtf8(const std::string& text);
std::string ToUtf8(const std::wstring& text);

}  // namespace fake_wmi
