// Whole runs of Kelvane.exe: what a factory tool reads from the console, the
// Run log and the exit code, and what the run leaves in the registry and c:\Windows.
#include "e2e.h"

#include <gmock/gmock.h>

using namespace e2e;
using namespace testing_support;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const std::string kDir = "C:\\Prov\\";
const std::string kLog = "C:\\Prov\\Kelvane.log";

std::vector<Line> IdentityLines(const std::string& loc)
{
    return {
        Both("SerialNumber=[SN-0042]\r\n"), Both("BuildID=[12#SABA34]\r\n"), Both("FeatureByte=[FB-7]\r\n"),
        Both("LOC=[" + loc + "]\r\n")};
}

std::vector<Line> Written(const std::string& keyLine, const std::string& before)
{
    return {
        Both(keyLine), Both("Registry before write: [" + before + "]\r\n"),
        Both("incorrect registry key value, overwrite it!\r\n"), Both("Registry after write: [OEMTA]\r\n")};
}

std::vector<Line> AlreadyCorrect(const std::string& keyLine)
{
    return {
        Both(keyLine), Both("Registry before write: [OEMTA]\r\n"),
        Both("Already correct registry key value, skip!\r\n")};
}

const std::string kNativeLine = "HKLM\\SOFTWARE\\Microsoft\\Office\\16.0\\Common\\OEM\r\n";
const std::string kWow64Line = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM\r\n";

void Append(std::vector<Line>& to, const std::vector<Line>& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

std::vector<Line> PassingTail()
{
    return {
        ConsoleOnly("Result=PASS\r\n"), LogOnly("Result=PASS"),
        LogOnly("C:\\Prov\\QUINTAR.exe copy to c:\\Windows\\QUINTAR.exe\r\n"),
        LogOnly("Copy file successful with return code: 1\r\n")};
}

class KelvaneRun : public KelvaneTest {
protected:
    // The passing run on a machine whose OOBEMode needs writing in both views,
    // byte for byte.
    void ExpectPassWritingBothViews(const std::wstring& injectDll = L"");
};

}  // namespace

TEST_F(KelvaneRun, sets_both_views_and_deploys_the_marker)
{
    ExpectPassWritingBothViews();
}

// Windows answers a second CoInitializeSecurity in a process with
// RPC_E_TOO_LATE; Wine never does, so the injector answers so in its place.
TEST_F(KelvaneRun, passes_unchanged_when_the_com_security_is_already_set)
{
    const std::wstring report = std::wstring(KELVANE_TEST_WORK) + L"\\security-report.txt";
    ScopedEnvironmentVariable from(L"KELVANE_FAULT_SECURITY_SET_FROM", L"2");
    ScopedEnvironmentVariable reportTo(L"KELVANE_FAULT_REPORT", report.c_str());
    ExpectPassWritingBothViews(KELVANE_INJECTOR);
    EXPECT_THAT(ReadBytes(report), HasSubstr("security already set 2\n")) << "the second and third query";
    // The log reader's tests read the kept logs of a fixed set of tests.
    RemoveTree(kProgramDir + L"\\Kelvane.log");
}

void KelvaneRun::ExpectPassWritingBothViews(const std::wstring& injectDll)
{
    ASSERT_NO_FATAL_FAILURE(CreateKey(kNativeOemKey));
    const ChildRun run = Run(kProgramDir, L"Kelvane.exe", injectDll);
    const std::string header = HeaderOf(run.output);
    ASSERT_NE(header, "") << run.output;

    std::vector<Line> lines = StartLines(kDir, "Kelvane.exe", kLog, header);
    Append(lines, IdentityLines("ABA"));
    Append(lines, {Both("Non-Japan case.\r\n"), Both("Setup the registry key!\r\n")});
    Append(lines, Written(kNativeLine, ""));
    Append(lines, Written(kWow64Line, ""));
    Append(lines, PassingTail());
    EXPECT_EQ(run.output, ExpectedConsole(lines));
    EXPECT_EQ(LogBytes(), ExpectedLog(lines));
    EXPECT_EQ(run.exitCode, 0u);

    DWORD type = 0;
    EXPECT_EQ(ReadOobeMode(kNativeOemKey, &type), L"OEMTA");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ReadOobeMode(kWow64OemKey, &type), L"OEMTA");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ReadBytes(kDeployedMarker), ReadBytes(QUINTAR_EXE));
}

TEST_F(KelvaneRun, leaves_correct_views_alone_and_a_second_run_appends_and_overwrites_the_marker)
{
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kNativeOemKey, L"OEMTA"));
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kWow64OemKey, L"OEMTA"));
    const ChildRun first = Run();
    ASSERT_NO_FATAL_FAILURE(WriteBytes(kDeployedMarker, "an older marker"));
    const ChildRun second = Run();

    std::string log;
    for (const ChildRun* run : {&first, &second}) {
        std::vector<Line> lines = StartLines(kDir, "Kelvane.exe", kLog, HeaderOf(run->output));
        Append(lines, IdentityLines("ABA"));
        Append(lines, {Both("Non-Japan case.\r\n"), Both("Setup the registry key!\r\n")});
        Append(lines, AlreadyCorrect(kNativeLine));
        Append(lines, AlreadyCorrect(kWow64Line));
        Append(lines, PassingTail());
        EXPECT_EQ(run->output, ExpectedConsole(lines));
        EXPECT_EQ(run->exitCode, 0u);
        log += ExpectedLog(lines);
    }
    EXPECT_EQ(LogBytes(), log) << "the second run's header follows the first run's last entry";
    EXPECT_EQ(ReadBytes(kDeployedMarker), ReadBytes(QUINTAR_EXE));
}

TEST_F(KelvaneRun, ends_without_a_result_when_office_is_absent)
{
    const ChildRun run = Run();
    std::vector<Line> lines = StartLines(kDir, "Kelvane.exe", kLog, HeaderOf(run.output));
    Append(lines, IdentityLines("ABA"));
    Append(
        lines, {Both("Non-Japan case.\r\n"), Both("Setup the registry key!\r\n"), Both(kNativeLine),
                Both("Not found Office reg key, skip and exit.\r\n")});
    EXPECT_EQ(run.output, ExpectedConsole(lines));
    EXPECT_EQ(LogBytes(), ExpectedLog(lines));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(KeyExists(kWow64OemKey)) << "the 32-bit view is not touched";
    EXPECT_FALSE(PathExists(kDeployedMarker));
}

TEST_F(KelvaneRun, skips_japanese_machines_before_the_registry_and_the_marker)
{
    ASSERT_NO_FATAL_FAILURE(CreateKey(kNativeOemKey));
    for (const char* loc : {"ABJ", "ACF"}) {
        RemoveTree(kProgramDir + L"\\Kelvane.log");
        firmware::UseScenario(
            std::string("bios SN-0042\nsetting Build ID|12#S") + loc + "34\nsetting Feature Byte|FB-7\n");
        const ChildRun run = Run();
        std::vector<Line> lines = StartLines(kDir, "Kelvane.exe", kLog, HeaderOf(run.output));
        Append(
            lines, {Both("SerialNumber=[SN-0042]\r\n"), Both(std::string("BuildID=[12#S") + loc + "34]\r\n"),
                    Both("FeatureByte=[FB-7]\r\n"), Both(std::string("LOC=[") + loc + "]\r\n"),
                    Both("Japan case, exit.\r\n"), ConsoleOnly("Result=SKIP\r\n"), LogOnly("Result=SKIP")});
        EXPECT_EQ(run.output, ExpectedConsole(lines)) << loc;
        EXPECT_EQ(LogBytes(), ExpectedLog(lines)) << loc;
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(ReadOobeMode(kNativeOemKey), std::nullopt) << "nothing written for " << loc;
        EXPECT_FALSE(KeyExists(kWow64OemKey));
        EXPECT_FALSE(PathExists(kDeployedMarker)) << loc;
    }
}

TEST_F(KelvaneRun, logs_a_missing_marker_behind_the_pass_token)
{
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kNativeOemKey, L"OEMTA"));
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kWow64OemKey, L"OEMTA"));
    RemoveTree(kProgramDir + L"\\QUINTAR.exe");
    const ChildRun run = Run();
    const std::wstring log = FromUtf16Bytes(LogBytes());
    EXPECT_THAT(log, HasSubstr(L"Result=PASSSource file not exists: C:\\Prov\\QUINTAR.exe\r\n"));
    EXPECT_THAT(log, EndsWith(L"QUINTAR.exe\r\n")) << "nothing follows the missing-source entry";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(PathExists(kDeployedMarker));
}

TEST_F(KelvaneRun, logs_a_failed_copy_onto_a_locked_marker)
{
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kNativeOemKey, L"OEMTA"));
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kWow64OemKey, L"OEMTA"));
    ASSERT_NO_FATAL_FAILURE(WriteBytes(kDeployedMarker, "locked"));
    kelvane::UniqueFile lock(
        ::CreateFileW(kDeployedMarker.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    const ChildRun run = Run();
    lock.reset();
    const std::wstring log = FromUtf16Bytes(LogBytes());
    EXPECT_THAT(
        log, HasSubstr(L"Result=PASSC:\\Prov\\QUINTAR.exe copy to c:\\Windows\\QUINTAR.exe\r\n"
                       L"Copy file failed with return code: 0\r\n"));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadBytes(kDeployedMarker), "locked");
}

TEST_F(KelvaneRun, deploys_from_a_drive_root_with_a_doubled_backslash)
{
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kNativeOemKey, L"OEMTA"));
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kWow64OemKey, L"OEMTA"));
    ASSERT_NO_FATAL_FAILURE(InstallProgram(L"C:"));
    const ChildRun run = RunChild(L"C:\\Kelvane.exe", L"", L"C:\\");
    const std::string log = Narrow(FromUtf16Bytes(ReadBytes(L"C:\\Kelvane.log")));
    RemoveTree(L"C:\\Kelvane.exe");
    RemoveTree(L"C:\\QUINTAR.exe");
    RemoveTree(L"C:\\Kelvane.log");
    const std::string start =
        ConsoleBytes("ExePath=[C:\\Kelvane.exe]\r\nExeDir=[C:\\]\r\nlogPath=[C:\\Kelvane.log]\r\n");
    EXPECT_THAT(run.output, StartsWith(start));
    EXPECT_THAT(
        log, HasSubstr("Result=PASSC:\\\\QUINTAR.exe copy to c:\\Windows\\QUINTAR.exe\r\n"
                       "Copy file successful with return code: 1\r\n"));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadBytes(kDeployedMarker), ReadBytes(QUINTAR_EXE));
}

// The run has administrator rights: a DLL that WMI's in-process server loads
// by its bare name comes from System32, never from a copy planted beside the
// program.
TEST_F(KelvaneRun, loads_no_dll_planted_beside_the_program)
{
    SetOobeModeText(kNativeOemKey, L"OEMTA");
    SetOobeModeText(kWow64OemKey, L"OEMTA");
    const std::wstring system = L"C:\\windows\\system32\\kelvane_probe.dll";
    ASSERT_NO_FATAL_FAILURE(CopyInto(FAKE_WMI_DLL, system));
    ASSERT_NO_FATAL_FAILURE(CopyInto(FAKE_WMI_DLL, kProgramDir + L"\\kelvane_probe.dll"));
    firmware::UseScenario(std::string(kDefaultFirmware) + "probe kelvane_probe.dll\n");
    firmware::StartTrace();
    const ChildRun run = Run();
    const std::vector<std::string> trace = firmware::TraceLines();
    firmware::StopTrace();
    ::DeleteFileW(system.c_str());

    EXPECT_EQ(run.exitCode, 0u) << run.output;
    int probes = 0;
    for (const std::string& line : trace) {
        if (line.rfind("probe loaded=", 0) != 0)
            continue;
        ++probes;
        EXPECT_EQ(
            ::CompareStringOrdinal(std::wstring(line.begin() + 13, line.end()).c_str(), -1, system.c_str(), -1, TRUE),
            CSTR_EQUAL)
            << line;
    }
    EXPECT_EQ(probes, 3) << "one probe per query";
}

// The log's turn is a name any process can take. One that holds it for the
// whole run costs the run at most its two-second allowance, not two seconds
// an entry, and every entry is still written.
TEST_F(KelvaneRun, a_process_holding_the_log_turn_delays_the_run_by_at_most_its_allowance)
{
    SetOobeModeText(kNativeOemKey, L"OEMTA");
    SetOobeModeText(kWow64OemKey, L"OEMTA");
    const ULONGLONG freeStart = ::GetTickCount64();
    Run();
    const ULONGLONG freeMs = ::GetTickCount64() - freeStart;
    RemoveTree(kProgramDir + L"\\Kelvane.log");

    const kelvane::UniqueKernelObject turn(::CreateMutexW(nullptr, TRUE, L"Global\\KelvaneRunLog"));
    ASSERT_TRUE(turn);
    const ULONGLONG heldStart = ::GetTickCount64();
    const ChildRun run = Run();
    const ULONGLONG heldMs = ::GetTickCount64() - heldStart;
    ::ReleaseMutex(turn.get());

    // Two seconds of allowance and one of Wine's start-up noise; an allowance
    // per entry would cost over thirty.
    EXPECT_LE(heldMs, freeMs + 3000) << "without the holder: " << freeMs << " ms";
    std::vector<Line> lines = StartLines(kDir, "Kelvane.exe", kLog, HeaderOf(run.output));
    Append(lines, IdentityLines("ABA"));
    Append(lines, {Both("Non-Japan case.\r\n"), Both("Setup the registry key!\r\n")});
    Append(lines, AlreadyCorrect(kNativeLine));
    Append(lines, AlreadyCorrect(kWow64Line));
    Append(lines, PassingTail());
    EXPECT_EQ(run.output, ExpectedConsole(lines));
    EXPECT_EQ(LogBytes(), ExpectedLog(lines));
}
