#include "scenario.h"

#include "owners.h"
#include "trace.h"

#include <cstdint>
#include <cwchar>
#include <utility>

namespace fake_wmi {
namespace {

// A scenario is a few lines; anything larger is a mistake in the test.
constexpr LONGLONG kMaxScenarioBytes = 4 * 1024 * 1024;
// Bound of one "@repeat" value, in UTF-16 units.
constexpr std::size_t kMaxRepeatUnits = 1024 * 1024;

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

bool IsBlank(const std::wstring& line)
{
    return line.find_first_not_of(L" \t") == std::wstring::npos;
}

bool ParseUnsigned(const std::wstring& digits, std::uint64_t limit, std::uint64_t& value)
{
    if (digits.empty())
        return false;
    std::uint64_t result = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9')
            return false;
        result = result * 10 + static_cast<std::uint64_t>(c - L'0');
        if (result > limit)
            return false;
    }
    value = result;
    return true;
}

// "0x" and one to eight hexadecimal digits.
bool ParseHresult(const std::wstring& text, HRESULT& result)
{
    if (text.size() < 3 || text.size() > 10 || text[0] != L'0' || (text[1] != L'x' && text[1] != L'X'))
        return false;
    std::uint32_t value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const wchar_t c = text[i];
        std::uint32_t digit = 0;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<std::uint32_t>(c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            digit = static_cast<std::uint32_t>(c - L'a' + 10);
        } else if (c >= L'A' && c <= L'F') {
            digit = static_cast<std::uint32_t>(c - L'A' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    result = static_cast<HRESULT>(value);
    return true;
}

bool ParseInt32(const std::wstring& text, LONG& number)
{
    const bool negative = !text.empty() && text[0] == L'-';
    std::uint64_t magnitude = 0;
    if (!ParseUnsigned(negative ? text.substr(1) : text, negative ? 2147483648ULL : 2147483647ULL, magnitude)) {
        return false;
    }
    const std::int64_t signedValue =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    number = static_cast<LONG>(signedValue);
    return true;
}

// Plain text, or one of the forms "@null", "@empty", "@i4:<n>", "@repeat:<n>:<text>".
// Any other text starting with '@' is refused, so that a mistyped form is not
// silently served as text.
bool ParseValue(const std::wstring& text, Value& value)
{
    value = Value{};
    if (text.empty() || text[0] != L'@') {
        value.text = text;
        return true;
    }
    if (text == L"@null") {
        value.kind = ValueKind::Null;
        return true;
    }
    if (text == L"@empty") {
        value.kind = ValueKind::Empty;
        return true;
    }
    if (StartsWith(text, L"@i4:")) {
        value.kind = ValueKind::Int32;
        return ParseInt32(text.substr(4), value.number);
    }
    if (StartsWith(text, L"@repeat:")) {
        const std::size_t colon = text.find(L':', 8);
        if (colon == std::wstring::npos)
            return false;
        std::uint64_t count = 0;
        if (!ParseUnsigned(text.substr(8, colon - 8), kMaxRepeatUnits, count))
            return false;
        const std::wstring unit = text.substr(colon + 1);
        if (unit.size() * count > kMaxRepeatUnits)
            return false;
        value.text.reserve(unit.size() * count);
        for (std::uint64_t i = 0; i < count; ++i)
            value.text += unit;
        return true;
    }
    return false;
}

// "<verb> <hresult-or-count>[ <filter>]" after "fail ".
bool ParseFailure(const std::wstring& text, FailRule& rule)
{
    static const std::pair<const wchar_t*, FailPoint> kVerbs[] = {
        {L"create ", FailPoint::Create}, {L"connect ", FailPoint::Connect}, {L"blanket ", FailPoint::Blanket},
        {L"exec ", FailPoint::Exec},     {L"next ", FailPoint::Next},
    };
    for (const auto& verb : kVerbs) {
        if (!StartsWith(text, verb.first))
            continue;
        rule = FailRule{};
        rule.point = verb.second;
        const std::wstring rest = text.substr(std::wcslen(verb.first));
        const std::size_t blank = rest.find(L' ');
        const std::wstring number = rest.substr(0, blank);
        if (blank != std::wstring::npos)
            rule.filter = rest.substr(blank + 1);
        // Creation happens before there is a namespace or query to filter on.
        if (rule.point == FailPoint::Create && blank != std::wstring::npos)
            return false;
        if (rule.point == FailPoint::Next) {
            std::uint64_t call = 0;
            if (!ParseUnsigned(number, 0xFFFFFFFFULL, call) || call == 0)
                return false;
            rule.nextCall = static_cast<ULONG>(call);
            return true;
        }
        return ParseHresult(number, rule.result);
    }
    return false;
}

const std::pair<const wchar_t*, Promise> kPromises[] = {
    {L"classobject", Promise::ClassObject},
    {L"create", Promise::Create},
    {L"connect", Promise::Connect},
    {L"exec", Promise::Exec},
    {L"next", Promise::Next},
    {L"phantom", Promise::Phantom},
    {L"get", Promise::Get},
};

const wchar_t* PromiseName(Promise promise)
{
    for (const auto& known : kPromises) {
        if (known.second == promise)
            return known.first;
    }
    return L"?";
}

// "<promise> <call>" after "break ".
bool ParseBroken(const std::wstring& text, BrokenPromise& broken)
{
    const std::size_t blank = text.find(L' ');
    if (blank == std::wstring::npos)
        return false;
    const std::wstring name = text.substr(0, blank);
    std::uint64_t call = 0;
    if (!ParseUnsigned(text.substr(blank + 1), 0xFFFFFFFFULL, call) || call == 0)
        return false;
    for (const auto& known : kPromises) {
        if (name == known.first) {
            broken.promise = known.second;
            broken.call = static_cast<ULONG>(call);
            return true;
        }
    }
    return false;
}

bool ParseLine(const std::wstring& line, Scenario& scenario)
{
    if (line == L"bios" || StartsWith(line, L"bios ")) {
        Record record;
        record.cls = FirmwareClass::Bios;
        if (!ParseValue(line.size() > 5 ? line.substr(5) : std::wstring(), record.value))
            return false;
        scenario.records.push_back(std::move(record));
        return true;
    }
    if (StartsWith(line, L"setting ")) {
        const std::wstring rest = line.substr(8);
        const std::size_t bar = rest.find(L'|');
        if (bar == std::wstring::npos)
            return false;
        Record record;
        record.cls = FirmwareClass::Setting;
        record.name = rest.substr(0, bar);
        if (!ParseValue(rest.substr(bar + 1), record.value))
            return false;
        scenario.records.push_back(std::move(record));
        return true;
    }
    if (StartsWith(line, L"probe ")) {
        scenario.probe = line.substr(6);
        return !scenario.probe.empty();
    }
    if (StartsWith(line, L"break ")) {
        BrokenPromise broken;
        if (!ParseBroken(line.substr(6), broken))
            return false;
        scenario.broken.push_back(broken);
        return true;
    }
    if (StartsWith(line, L"fail ")) {
        FailRule rule;
        if (!ParseFailure(line.substr(5), rule))
            return false;
        scenario.failures.push_back(std::move(rule));
        return true;
    }
    return false;
}

}  // namespace

bool EqualsNoCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    if (a.empty())
        return true;
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool ContainsNoCase(const std::wstring& haystack, const std::wstring& needle)
{
    if (needle.empty())
        return true;
    if (needle.size() > haystack.size())
        return false;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (CompareStringOrdinal(
                haystack.c_str() + i, static_cast<int>(needle.size()), needle.c_str(), static_cast<int>(needle.size()),
                TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

bool ReadEnvironment(const wchar_t* name, std::wstring& value)
{
    // 32767 units is the longest value the environment can hold.
    std::wstring buffer(32767, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size())
        return false;
    buffer.resize(length);
    value = std::move(buffer);
    return true;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0)
        return std::wstring();
    std::wstring result(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], units);
    return result;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string result(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

Scenario ParseScenario(const std::wstring& text)
{
    Scenario scenario;
    std::size_t start = 0;
    unsigned number = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (IsBlank(line) || line[0] == L'#')
            continue;
        if (!ParseLine(line, scenario))
            scenario.badLines.push_back(number);
    }
    return scenario;
}

Scenario LoadScenario()
{
    std::wstring path;
    if (!ReadEnvironment(L"FAKE_WMI_SCENARIO", path))
        return Scenario{};
    const kelvane::UniqueFile file(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return Scenario{};
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxScenarioBytes)
        return Scenario{};
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return Scenario{};
    }
    bytes.resize(read);
    // Editors on Windows like to start UTF-8 files with a byte-order mark.
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    return ParseScenario(FromUtf8(bytes));
}

const FailRule* FindFailure(const Scenario& scenario, FailPoint point, const std::wstring& subject)
{
    for (const FailRule& rule : scenario.failures) {
        if (rule.point == point && ContainsNoCase(subject, rule.filter))
            return &rule;
    }
    return nullptr;
}

bool BreaksPromise(const std::vector<BrokenPromise>& brokenPromises, Promise promise)
{
    const std::wstring counter = std::wstring(L"FAKE_WMI_CALLS_") + PromiseName(promise);
    std::wstring text;
    ULONG call = 1;
    if (ReadEnvironment(counter.c_str(), text))
        call = static_cast<ULONG>(std::wcstoul(text.c_str(), nullptr, 10)) + 1;
    SetEnvironmentVariableW(counter.c_str(), std::to_wstring(call).c_str());
    for (const BrokenPromise& broken : brokenPromises) {
        if (broken.promise == promise && broken.call == call) {
            Ledger(std::wstring(L"broke ") + PromiseName(promise) + L" " + std::to_wstring(call));
            return true;
        }
    }
    return false;
}

}  // namespace fake_wmi
