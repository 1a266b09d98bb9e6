#include "bios_gate.h"

#include "run_log.h"
#include "system_calls.h"
#include "wmi_query.h"

#include <objbase.h>

#include <cwchar>

namespace kelvane {
namespace {

struct FirmwareQuery {
    const wchar_t* wmiNamespace;
    const wchar_t* wql;
    const wchar_t* property;
    const wchar_t* consoleFailure;
    const wchar_t* logFailure;  // no line end: the Result token follows on the same line
};

constexpr wchar_t kBiosNamespace[] = L"ROOT\\CIMV2";
constexpr wchar_t kSettingsNamespace[] = L"ROOT\\Brevik\\InstrumentedBIOS";

constexpr FirmwareQuery kSerialNumberQuery = {
    kBiosNamespace, L"SELECT SerialNumber FROM Win32_BIOS", L"SerialNumber", L"WMI Win32_BIOS query failed.\r\n",
    L"Query serial number failed"};
constexpr FirmwareQuery kBuildIdQuery = {
    kSettingsNamespace,
    L"SELECT name,Value FROM Brevik_BIOSSetting WHERE name = \"Enter Build ID\" OR name = \"Build ID\"", L"Value",
    L"WMI Brevik_BIOSSetting query failed.\r\n", L"Query Build ID failed"};
constexpr FirmwareQuery kFeatureByteQuery = {
    kSettingsNamespace,
    L"SELECT name,Value FROM Brevik_BIOSSetting WHERE name = \"Enter Feature Byte\" OR name = \"Feature Byte\"",
    L"Value", L"WMI Brevik_BIOSSetting query failed.\r\n", L"Query Feature Byte failed"};

constexpr wchar_t kComInitFailed[] = L"Failed to initialize COM library. Error code = 0x%x\n";
constexpr wchar_t kSerialNumberLine[] = L"SerialNumber=[%ls]\r\n";
constexpr wchar_t kBuildIdLine[] = L"BuildID=[%ls]\r\n";
constexpr wchar_t kFeatureByteLine[] = L"FeatureByte=[%ls]\r\n";
constexpr wchar_t kLocLine[] = L"LOC=[%ls]\r\n";
constexpr wchar_t kJapanCase[] = L"Japan case, exit.\r\n";
constexpr wchar_t kNonJapanCase[] = L"Non-Japan case.\r\n";

constexpr wchar_t kLocMarker[] = L"#S";
constexpr std::size_t kLocLength = 3;
constexpr const wchar_t* kJapaneseLocs[] = {L"ABJ", L"ACF"};

// Each query runs in a COM apartment of its own: initialised here, ended by
// the query itself.
bool RunQuery(const FirmwareQuery& query, ValueBuffer& value, RunLog& log)
{
    const HRESULT hr = KELVANE_SYSCALL(CoInitializeEx)(nullptr, COINIT_MULTITHREADED);
    bool ok = false;
    if (FAILED(hr))
        Print(kComInitFailed, static_cast<unsigned int>(hr));
    else
        ok = WmiPropertyQuery(query.wmiNamespace, query.wql, query.property, value) == kQueryOk;
    if (!ok) {
        Print(L"%ls", query.consoleFailure);
        log.AppendToLog(query.logFailure);
    }
    return ok;
}

}  // namespace

void DeriveLoc(const wchar_t* buildId, wchar_t (&loc)[kLocUnits])
{
    loc[0] = L'\0';
    const wchar_t* marker = std::wcsstr(buildId, kLocMarker);
    if (marker == nullptr)
        return;
    // Kept on purpose, not a slip: the search runs over the joined text, so a
    // "#S" near the end of the first of two values reads across their comma
    // ("12#SA,B" gives "A,B").
    CopyBounded(loc, kLocLength + 1, marker + 2);
}

bool IsJapaneseLoc(const wchar_t* loc)
{
    for (const wchar_t* code : kJapaneseLocs) {
        if (std::wcscmp(loc, code) == 0)
            return true;
    }
    return false;
}

GateOutcome CheckBiosIdentityAndRegion(RunLog& log)
{
    ValueBuffer serialNumber;
    ValueBuffer buildId;
    ValueBuffer featureByte;
    if (!RunQuery(kSerialNumberQuery, serialNumber, log) || !RunQuery(kBuildIdQuery, buildId, log) ||
        !RunQuery(kFeatureByteQuery, featureByte, log))
        return GateOutcome::Fail;

    wchar_t loc[kLocUnits] = {};
    DeriveLoc(buildId.text, loc);

    log.PrintAndLog(kSerialNumberLine, serialNumber.text);
    log.PrintAndLog(kBuildIdLine, buildId.text);
    log.PrintAndLog(kFeatureByteLine, featureByte.text);
    log.PrintAndLog(kLocLine, loc);

    if (IsJapaneseLoc(loc)) {
        log.PrintAndLogText(kJapanCase);
        return GateOutcome::Skip;
    }
    log.PrintAndLogText(kNonJapanCase);
    return GateOutcome::GoAhead;
}

}  // namespace kelvane
