#include "firmware.h"

#include "files.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace firmware {
namespace {

const wchar_t kTracePath[] = KELVANE_TEST_WORK L"\\firmware-trace.txt";

}  // namespace

void UseScenario(const std::string& utf8Text, const std::string& name)
{
    const std::wstring path =
        std::wstring(KELVANE_TEST_WORK) + L"\\firmware-" + std::wstring(name.begin(), name.end()) + L".txt";
    ASSERT_NO_FATAL_FAILURE(testing_support::WriteBytes(path, utf8Text));
    SetEnvironmentVariableW(L"FAKE_WMI_SCENARIO", path.c_str());
}

void StartTrace()
{
    ASSERT_NO_FATAL_FAILURE(testing_support::WriteBytes(kTracePath, std::string()));
    SetEnvironmentVariableW(L"FAKE_WMI_TRACE", kTracePath);
}

std::vector<std::string> TraceLines()
{
    std::vector<std::string> lines;
    if (!testing_support::PathExists(kTracePath)) {
        ADD_FAILURE() << "no firmware trace file";
        return lines;
    }
    const std::string bytes = testing_support::ReadBytes(kTracePath);
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> SerialQueryTrace(int objects, const std::vector<std::string>& reads)
{
    std::vector<std::string> lines = {
        "create iid={DC12A687-737F-11CF-884D-00AA004B2E24} outer=null",
        "connect ns=ROOT\\CIMV2 user=null password=null locale=null flags=0 authority=null ctx=null",
        "blanket authn=10 authz=0 principal=null level=3 imp=3 authinfo=null caps=0",
        "exec lang=WQL query=SELECT SerialNumber FROM Win32_BIOS flags=0x30 ctx=null",
    };
    for (int i = 0; i < objects; ++i) {
        lines.push_back("next timeout=0xffffffff count=1 returned=1 hr=0x0");
        lines.insert(lines.end(), reads.begin(), reads.end());
        lines.push_back("release object");
    }
    lines.push_back("next timeout=0xffffffff count=1 returned=0 hr=0x1");
    lines.push_back("release services");
    lines.push_back("release locator");
    lines.push_back("release enumerator");
    return lines;
}

void StopTrace()
{
    SetEnvironmentVariableW(L"FAKE_WMI_TRACE", nullptr);
}

}  // namespace firmware
