// Kelvane.exe against failing firmware, odd firmware values, odd registry
// values, a registry that refuses the write, and awkward log and program places.
#include "e2e.h"

#include "test_owners.h"

#include <aclapi.h>

#include <functional>

using namespace e2e;
using namespace testing_support;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

const std::string kDir = "C:\\Prov\\";
const std::string kLog = "C:\\Prov\\Kelvane.log";

class KelvaneFaults : public KelvaneTest {
protected:
    // ASSERTs inside: call it under ASSERT_NO_FATAL_FAILURE.
    void BothViewsCorrect()
    {
        ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kNativeOemKey, L"OEMTA"));
        ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kWow64OemKey, L"OEMTA"));
    }
    // The log's text of the identity lines of a run.
    std::string LogText() { return Narrow(FromUtf16Bytes(LogBytes())); }
};

}  // namespace

TEST_F(KelvaneFaults, each_failing_wmi_step_fails_the_run_with_its_code)
{
    ASSERT_NO_FATAL_FAILURE(CreateKey(kNativeOemKey));
    const struct {
        const char* fault;
        const char* console;
    } rows[] = {
        {"fail create 0x80040154", "Failed to create IWbemLocator object. Error code = 0x80040154\n"},
        {"fail connect 0x80041003", "Could not connect. Error code = 0x80041003\n"},
        {"fail connect 0x8004100e", "Could not connect. Error code = 0x8004100e\n"},
        {"fail blanket 0x80070005", "Could not set proxy blanket. Error code = 0x80070005\n"},
        {"fail exec 0x80041017", "Query for operating system name failed. Error code = 0x80041017\n"},
        // A provider that reports success and hands out nothing fails the step with E_POINTER.
        {"break classobject 1", "Failed to create IWbemLocator object. Error code = 0x80004003\n"},
        {"break create 1", "Failed to create IWbemLocator object. Error code = 0x80004003\n"},
        {"break connect 1", "Could not connect. Error code = 0x80004003\n"},
        {"break exec 1", "Query for operating system name failed. Error code = 0x80004003\n"},
    };
    for (const auto& row : rows) {
        RemoveTree(kProgramDir + L"\\Kelvane.log");
        firmware::UseScenario(std::string(kDefaultFirmware) + row.fault + "\n");
        const ChildRun run = Run();
        std::vector<Line> lines = StartLines(kDir, "Kelvane.exe", kLog, HeaderOf(run.output));
        lines.push_back(ConsoleOnly(row.console));
        lines.push_back(Both("WMI Win32_BIOS query failed.\r\n"));
        lines.back().log = false;
        lines.push_back(LogOnly("Query serial number failed"));
        lines.push_back(ConsoleOnly("Result=FAIL\r\n"));
        lines.push_back(LogOnly("Result=FAIL"));
        EXPECT_EQ(run.output, ExpectedConsole(lines)) << row.fault;
        EXPECT_EQ(LogBytes(), ExpectedLog(lines)) << row.fault;
        EXPECT_EQ(run.exitCode, 1u) << row.fault;
        EXPECT_EQ(ReadOobeMode(kNativeOemKey), std::nullopt);
        EXPECT_FALSE(PathExists(kDeployedMarker));
    }
}

TEST_F(KelvaneFaults, a_failing_setting_query_stops_the_later_ones)
{
    const struct {
        const char* fault;
        const char* logEnd;
    } rows[] = {
        {"fail exec 0x80041010 Build ID", "Query Build ID failed"},
        {"fail connect 0x8004100e Brevik", "Query Build ID failed"},
        {"fail exec 0x80041010 Feature Byte", "Query Feature Byte failed"},
    };
    for (const auto& row : rows) {
        RemoveTree(kProgramDir + L"\\Kelvane.log");
        firmware::UseScenario(std::string(kDefaultFirmware) + row.fault + "\n");
        firmware::StartTrace();
        const ChildRun run = Run();
        const std::vector<std::string> trace = firmware::TraceLines();
        firmware::StopTrace();
        const std::string header = HeaderOf(run.output);
        EXPECT_EQ(LogBytes(), ExpectedLog({Both(header), LogOnly(std::string(row.logEnd) + "Result=FAIL")}))
            << "nothing of the serial number is logged";
        EXPECT_THAT(run.output, HasSubstr(ConsoleBytes("WMI Brevik_BIOSSetting query failed.\r\nResult=FAIL\r\n")));
        EXPECT_EQ(run.exitCode, 1u);
        const auto execs = std::count_if(
            trace.begin(), trace.end(), [](const std::string& line) { return line.rfind("exec ", 0) == 0; });
        EXPECT_LE(execs, std::string(row.logEnd) == "Query Build ID failed" ? 2 : 3) << row.fault;
        EXPECT_THAT(
            trace, Contains(AllOf(StartsWith("exec "), HasSubstr("Feature Byte\"")))
                       .Times(std::string(row.logEnd) == "Query Build ID failed" ? 0 : 1))
            << row.fault;
    }
}

TEST_F(KelvaneFaults, firmware_values_are_shown_within_79_characters)
{
    ASSERT_NO_FATAL_FAILURE(BothViewsCorrect());
    const struct {
        std::string firmware;
        std::string serial, buildId, loc;
    } rows[] = {
        {"bios @repeat:79:s\nsetting Build ID|#SABC\n", std::string(79, 's'), "#SABC", "ABC"},
        {"bios @repeat:80:s\nsetting Build ID|12#S\n", std::string(79, 's'), "12#S", ""},
        {"bios @repeat:500:s\nsetting Build ID|@repeat:100:#S\n", std::string(79, 's'),
         [] {
             std::string s;
             for (int i = 0; i < 39; ++i)
                 s += "#S";
             return s + "#";
         }(),
         "#S#"},
        {"bios @null\nsetting Enter Build ID|X#SA\nsetting Build ID|#SABJ\n", "", "X#SA,#SABJ", "A,#"},
        {"bios \nsetting Build ID|@empty\n", "", "", ""},
        {"bios A\nbios @i4:5\nsetting Enter Build ID|@null\nsetting Build ID|9#SABJ\n", "A,", "9#SABJ", "ABJ"},
    };
    for (const auto& row : rows) {
        RemoveTree(kProgramDir + L"\\Kelvane.log");
        firmware::UseScenario(row.firmware + "setting Feature Byte|FB-7\n");
        const ChildRun run = Run();
        const std::string identity = "SerialNumber=[" + row.serial + "]\r\nBuildID=[" + row.buildId +
                                     "]\r\nFeatureByte=[FB-7]\r\nLOC=[" + row.loc + "]\r\n";
        EXPECT_THAT(run.output, HasSubstr(ConsoleBytes(identity))) << row.firmware;
        EXPECT_THAT(LogText(), HasSubstr(identity)) << row.firmware;
        EXPECT_EQ(run.exitCode, 0u);
        const bool japanese = row.loc == "ABJ";
        EXPECT_THAT(LogText(), HasSubstr(japanese ? "Result=SKIP" : "Result=PASS")) << row.firmware;
    }
}

TEST_F(KelvaneFaults, odd_registry_values_are_shown_as_bounded_text_and_replaced)
{
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kWow64OemKey, L"OEMTA"));
    // The unit after each text is not NUL: the registry would otherwise store
    // the terminator along with it.
    const std::wstring v259 = std::wstring(259, L'a') + L'x', v260 = std::wstring(260, L'b') + L'x';
    const std::wstring v400(400, L'c');
    const DWORD dword = 0x41;  // 'A' as its first unit
    const unsigned char binary[] = {'O', 0, 'E', 0, 'M', 0};
    const wchar_t multi[] = L"OEMTA\0second\0";
    const struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        std::string shown;
    } rows[] = {
        {"259 units, no terminator", REG_SZ, v259.c_str(), 259 * 2, std::string(259, 'a')},
        {"260 units, no terminator", REG_SZ, v260.c_str(), 260 * 2, std::string(259, 'b')},
        {"400 units", REG_SZ, v400.c_str(), 401 * 2, ""},
        {"REG_DWORD", REG_DWORD, &dword, 4, "A"},
        {"REG_BINARY", REG_BINARY, binary, sizeof binary, "OEM"},
        {"REG_MULTI_SZ", REG_MULTI_SZ, multi, sizeof multi, "OEMTA"},
        {"lower case", REG_SZ, L"oemta", 12, "oemta"},
    };
    for (const auto& row : rows) {
        RemoveTree(kProgramDir + L"\\Kelvane.log");
        ASSERT_NO_FATAL_FAILURE(SetOobeMode(kNativeOemKey, row.type, row.data, row.bytes));
        const ChildRun run = Run();
        const std::string before = "Registry before write: [" + row.shown + "]\r\n";
        EXPECT_THAT(run.output, HasSubstr(ConsoleBytes(before))) << row.name;
        // The log line is cut within its 260 units and keeps its line end.
        const std::string logged = before.size() > 259 ? before.substr(0, 257) + "\r\n" : before;
        EXPECT_THAT(LogText(), HasSubstr(logged)) << row.name;
        const bool correct = row.shown == "OEMTA";
        const auto leftAlone = AllOf(HasSubstr("Already correct"), Not(HasSubstr("incorrect")));
        if (correct) {
            EXPECT_THAT(LogText(), leftAlone) << row.name;
        } else {
            EXPECT_THAT(LogText(), Not(leftAlone)) << row.name;
        }
        EXPECT_EQ(run.exitCode, 0u) << row.name;
        if (!correct) {
            EXPECT_EQ(ReadOobeMode(kNativeOemKey), L"OEMTA") << row.name;
        }
    }
}

TEST_F(KelvaneFaults, a_write_that_does_not_take_effect_fails_the_run)
{
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kNativeOemKey, L"OEMTA"));
    ASSERT_NO_FATAL_FAILURE(SetOobeModeText(kWow64OemKey, L"old"));
    // Nobody, administrators included, may change the 32-bit key.
    kelvane::UniqueHkey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWow64OemKey, 0, WRITE_DAC | READ_CONTROL, key.put()), ERROR_SUCCESS);
    EXPLICIT_ACCESSW rules[2]{};
    BuildExplicitAccessWithNameW(&rules[0], const_cast<wchar_t*>(L"EVERYONE"), KEY_READ, GRANT_ACCESS, NO_INHERITANCE);
    BuildExplicitAccessWithNameW(
        &rules[1], const_cast<wchar_t*>(L"EVERYONE"), KEY_SET_VALUE | KEY_CREATE_SUB_KEY, DENY_ACCESS, NO_INHERITANCE);
    UniqueLocal<PACL> acl;
    ASSERT_EQ(SetEntriesInAclW(2, rules, nullptr, acl.put()), ERROR_SUCCESS);
    ASSERT_EQ(
        SetSecurityInfo(key.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl.get(), nullptr),
        ERROR_SUCCESS);
    key.reset();

    const ChildRun run = Run();
    // The key cannot be opened for writing, so neither read shows the old value.
    const std::string tail =
        "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM\r\n"
        "Registry before write: []\r\n"
        "incorrect registry key value, overwrite it!\r\n"
        "Registry after write: []\r\n"
        "Registry value not set after write: [HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM]\r\n";
    ASSERT_THAT(run.output, HasSubstr("HKLM\\SOFTWARE\\Wow6432Node"));
    // Everything from the first mention of the 32-bit view on.
    EXPECT_EQ(
        run.output.substr(run.output.find("HKLM\\SOFTWARE\\Wow6432Node")), ConsoleBytes(tail + "Result=FAIL\r\n"));
    EXPECT_EQ(ReadOobeMode(kWow64OemKey), L"old");
    EXPECT_EQ(run.exitCode, 1u);
    const std::string log = LogText();
    EXPECT_THAT(log, EndsWith("Result=FAIL"));
    EXPECT_THAT(log, HasSubstr("Registry value not set after write: [HKLM\\SOFTWARE\\Wow6432Node"));
    EXPECT_FALSE(PathExists(kDeployedMarker)) << "a failed run deploys no marker";
}

TEST_F(KelvaneFaults, logs_to_the_system_folder_only_when_it_is_a_folder)
{
    ASSERT_NO_FATAL_FAILURE(BothViewsCorrect());
    MakeDirs(L"C:\\System.sav");
    ASSERT_NO_FATAL_FAILURE(WriteBytes(L"C:\\System.sav\\Logs", "a file, not a folder"));
    ChildRun run = Run();
    EXPECT_THAT(run.output, HasSubstr(ConsoleBytes("logPath=[C:\\Prov\\Kelvane.log]\r\n")));
    EXPECT_THAT(LogText(), HasSubstr("Result=PASS"));

    RemoveTree(L"C:\\System.sav\\Logs");
    MakeDirs(L"C:\\System.sav\\Logs");
    run = Run();
    EXPECT_THAT(run.output, HasSubstr(ConsoleBytes("logPath=[c:\\System.sav\\Logs\\Kelvane.log]\r\n")));
    const std::wstring systemLog = FromUtf16Bytes(ReadBytes(L"C:\\System.sav\\Logs\\Kelvane.log"));
    EXPECT_THAT(systemLog, StartsWith(std::wstring(32, L'='))) << "no byte-order mark";
    EXPECT_THAT(systemLog, HasSubstr(L"Copy file successful with return code: 1\r\n"));
}

TEST_F(KelvaneFaults, a_log_that_cannot_be_opened_loses_no_console_line)
{
    ASSERT_NO_FATAL_FAILURE(BothViewsCorrect());
    // The log's own name is taken by a folder: no entry can be written.
    MakeDirs(L"C:\\System.sav\\Logs\\Kelvane.log");
    const ChildRun run = Run();
    EXPECT_THAT(run.output, HasSubstr(ConsoleBytes("Already correct registry key value, skip!\r\nResult=PASS\r\n")));
    EXPECT_TRUE(PathExists(L"C:\\System.sav\\Logs\\Kelvane.log\\."));
    EXPECT_EQ(ReadBytes(kDeployedMarker), ReadBytes(QUINTAR_EXE)) << "the run goes on without its log";
    EXPECT_EQ(run.exitCode, 0u);
}

TEST_F(KelvaneFaults, a_program_path_near_the_limit_stays_within_its_buffers)
{
    ASSERT_NO_FATAL_FAILURE(BothViewsCorrect());
    // The marker's source path fits; its log entry does not and is cut.
    std::wstring deep = L"C:\\Prov\\" + std::wstring(235, L'd');
    ASSERT_NO_FATAL_FAILURE(InstallProgram(deep, L"K.exe"));
    ChildRun run = RunChild(deep + L"\\K.exe", L"", kProgramDir);
    std::string dir = Narrow(deep) + "\\";
    EXPECT_THAT(run.output, StartsWith(ConsoleBytes("ExePath=[" + dir + "K.exe]\r\nExeDir=[" + dir + "]\r\n")));
    const std::string copyEntry = dir + "QUINTAR.exe copy to c:\\Windows\\QUINTAR.exe\r\n";
    std::string log = Narrow(FromUtf16Bytes(ReadBytes(deep + L"\\Kelvane.log")));
    EXPECT_THAT(
        log, HasSubstr("Result=PASS" + copyEntry.substr(0, 257) + "\r\nCopy file successful with return code: 1\r\n"));
    EXPECT_EQ(ReadBytes(kDeployedMarker), ReadBytes(QUINTAR_EXE));
    EXPECT_EQ(run.exitCode, 0u);
    RemoveTree(kDeployedMarker);

    // Neither the folder and "Kelvane.log" nor the folder and "\\QUINTAR.exe"
    // fit: the log goes to the current folder and the marker counts as missing.
    deep = L"C:\\Prov\\" + std::wstring(240, L'd');
    ASSERT_NO_FATAL_FAILURE(InstallProgram(deep, L"K.exe"));
    run = RunChild(deep + L"\\K.exe", L"", kProgramDir);
    dir = Narrow(deep) + "\\";
    EXPECT_THAT(run.output, HasSubstr(ConsoleBytes("ExeDir=[" + dir + "]\r\nlogPath=[Kelvane.log]\r\n")));
    log = LogText();
    const std::string missing = "Source file not exists: " + dir + "QUINTAR.exe";
    EXPECT_THAT(log, HasSubstr("Result=PASS" + missing.substr(0, 257) + "\r\n"));
    EXPECT_FALSE(PathExists(kDeployedMarker));
    EXPECT_EQ(run.exitCode, 0u);
}

// Without the firmware stand-in, Kelvane meets Wine's own WMI service (its COM
// security, proxy blanket and query code): the serial number is read, and the
// OEM namespace does not exist, as on a PC without the OEM provider.
TEST_F(KelvaneFaults, reads_through_the_platforms_own_wmi_and_fails_a_namespace_it_lacks)
{
    const wchar_t kLocatorServer[] =
        L"Software\\Classes\\CLSID\\{CB8555CC-9128-11D1-AD9B-00C04FD8FDFF}\\InprocServer32";
    kelvane::UniqueHkey key;
    ASSERT_EQ(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocatorServer, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, key.put()),
        ERROR_SUCCESS);
    wchar_t standIn[MAX_PATH] = {};
    DWORD bytes = sizeof standIn - sizeof(wchar_t);
    ASSERT_EQ(
        ::RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(standIn), &bytes),
        ERROR_SUCCESS);
    auto setServer = [&key](const std::wstring& path) {
        return ::RegSetValueExW(
            key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
            static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    };
    // The later tests need the stand-in back, whatever happens here.
    struct PutBack {
        std::function<void()> restore;
        ~PutBack() { restore(); }
    } putBack{[&] { EXPECT_EQ(setServer(standIn), ERROR_SUCCESS); }};
    ASSERT_EQ(setServer(L"C:\\windows\\system32\\wbem\\wbemprox.dll"), ERROR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(CreateKey(kNativeOemKey));
    const ChildRun run = Run();

    std::vector<Line> lines = StartLines(kDir, "Kelvane.exe", kLog, HeaderOf(run.output));
    lines.push_back(ConsoleOnly("Could not connect. Error code = 0x8004100e\n"));
    lines.push_back(ConsoleOnly("WMI Brevik_BIOSSetting query failed.\r\n"));
    lines.push_back(LogOnly("Query Build ID failed"));
    lines.push_back(ConsoleOnly("Result=FAIL\r\n"));
    lines.push_back(LogOnly("Result=FAIL"));
    EXPECT_EQ(run.output, ExpectedConsole(lines));
    EXPECT_EQ(LogBytes(), ExpectedLog(lines));
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_FALSE(PathExists(kDeployedMarker));
}
