#include "e2e.h"

#include <regex>

using namespace testing_support;

namespace e2e {

void KeepRunLog(const std::wstring& log, const std::wstring& machine)
{
    const std::wstring kept = std::wstring(KELVANE_TEST_WORK) + L"\\run-logs\\" + machine;
    RemoveTree(kept);
    const std::string bytes = ReadBytes(log);
    if (bytes.empty())
        return;
    MakeDirs(kept);
    WriteBytes(kept + L"\\Kelvane.log", bytes);
}

std::string ExpectedConsole(const std::vector<Line>& lines)
{
    std::string text;
    for (const Line& line : lines)
        if (line.console)
            text += line.text;
    return ConsoleBytes(text);
}

std::string ExpectedLog(const std::vector<Line>& lines)
{
    std::wstring text;
    for (const Line& line : lines)
        if (line.log)
            text += std::wstring(line.text.begin(), line.text.end());
    return Utf16Bytes(text);
}

std::string HeaderOf(const std::string& console)
{
    static const std::regex shape("={32} \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d ={40}\r\r\n");
    std::smatch match;
    if (!std::regex_search(console, match, shape))
        return "";
    std::string header = match.str();
    return header.substr(0, header.size() - 3) + "\r\n";
}

std::vector<Line>
StartLines(const std::string& dir, const std::string& exe, const std::string& logPath, const std::string& header)
{
    return {
        ConsoleOnly("ExePath=[" + dir + exe + "]\r\n"), ConsoleOnly("ExeDir=[" + dir + "]\r\n"),
        ConsoleOnly("logPath=[" + logPath + "]\r\n"), Both(header)};
}

void KelvaneTest::SetUp()
{
    RemoveTree(kProgramDir);
    RemoveTree(L"C:\\System.sav");
    RemoveTree(kDeployedMarker);
    RemoveOfficeKeys();
    ASSERT_NO_FATAL_FAILURE(InstallProgram(kProgramDir));
    firmware::UseScenario(kDefaultFirmware);
}

void KelvaneTest::TearDown()
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    const std::wstring machine(name.begin(), name.end());
    KeepRunLog(kProgramDir + L"\\Kelvane.log", machine);
    KeepRunLog(L"C:\\System.sav\\Logs\\Kelvane.log", machine + L".system");
    RemoveTree(kProgramDir);
    RemoveTree(L"C:\\System.sav");
    RemoveTree(kDeployedMarker);
    RemoveOfficeKeys();
}

void KelvaneTest::InstallProgram(const std::wstring& dir, const std::wstring& exeName, bool withMarker)
{
    MakeDirs(dir);
    ASSERT_NO_FATAL_FAILURE(CopyInto(KELVANE_EXE, dir + L"\\" + exeName));
    if (withMarker) {
        ASSERT_NO_FATAL_FAILURE(CopyInto(QUINTAR_EXE, dir + L"\\QUINTAR.exe"));
    }
}

ChildRun KelvaneTest::Run(const std::wstring& dir, const std::wstring& exeName, const std::wstring& injectDll)
{
    ChildRun run = RunChild(dir + L"\\" + exeName, L"", dir, 120000, injectDll);
    EXPECT_TRUE(run.started) << "Kelvane did not start, error " << run.startError;
    EXPECT_TRUE(run.finished) << "Kelvane did not end";
    return run;
}

std::string KelvaneTest::LogBytes(const std::wstring& dir) const
{
    return ReadBytes(dir + L"\\Kelvane.log");
}

}  // namespace e2e
