// The firmware query against the stand-in provider, with the COM set-up calls
// made to fail through the test seam.
#include "files.h"
#include "firmware.h"
#include "process.h"
#include "seam_hooks.h"
#include "wmi_query.h"

#include <gtest/gtest.h>

#include <objbase.h>

using namespace kelvane;
using namespace testing_support;

namespace {

constexpr wchar_t kCimv2[] = L"ROOT\\CIMV2";
constexpr wchar_t kSettings[] = L"ROOT\\Brevik\\InstrumentedBIOS";
constexpr wchar_t kSerialQuery[] = L"SELECT SerialNumber FROM Win32_BIOS";
constexpr wchar_t kBuildIdQuery[] =
    L"SELECT name,Value FROM Brevik_BIOSSetting WHERE name = \"Enter Build ID\" OR name = \"Build ID\"";

struct QueryRun {
    int result = -1;
    std::wstring value;
    std::string console;
};

// One query as stage 1 makes it: COM initialised first, uninitialised by the query.
QueryRun Query(const wchar_t* ns, const wchar_t* wql, const wchar_t* property, const test_seam::Plan& plan = {})
{
    test_seam::Arrange(plan);
    QueryRun run;
    ValueBuffer buffer;
    CapturedStdout console;
    if (SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        run.result = WmiPropertyQuery(ns, wql, property, buffer);
    run.console = console.Text();
    run.value = buffer.text;
    return run;
}

class WmiQueryTest : public ::testing::Test {
protected:
    void TearDown() override { firmware::StopTrace(); }
};

}  // namespace

TEST(join_rule, commas_follow_the_text_in_the_buffer_not_the_object_count)
{
    ValueBuffer buffer;
    JoinValue(buffer, L"");
    JoinValue(buffer, L"B");
    EXPECT_STREQ(buffer.text, L"B") << "an empty first value leaves no trace";
    JoinValue(buffer, L"");
    EXPECT_STREQ(buffer.text, L"B,") << "an empty later value adds a bare comma";
    JoinValue(buffer, L"C");
    EXPECT_STREQ(buffer.text, L"B,,C");
}

TEST(join_rule, never_writes_past_the_eightieth_unit)
{
    struct Guarded {
        ValueBuffer buffer;
        wchar_t guard[8];
    } guarded;
    std::wmemset(guarded.guard, L'#', 8);
    const std::wstring long79(79, L'a');
    JoinValue(guarded.buffer, std::wstring(500, L'x').c_str());
    EXPECT_EQ(std::wstring(guarded.buffer.text), std::wstring(79, L'x'));
    JoinValue(guarded.buffer, L"more");
    EXPECT_EQ(std::wstring(guarded.buffer.text), std::wstring(79, L'x'));

    ValueBuffer joined;
    JoinValue(joined, std::wstring(70, L'a').c_str());
    JoinValue(joined, std::wstring(20, L'b').c_str());
    EXPECT_EQ(std::wstring(joined.text), std::wstring(70, L'a') + L"," + std::wstring(8, L'b'));
    for (wchar_t unit : guarded.guard)
        EXPECT_EQ(unit, L'#');
}

TEST_F(WmiQueryTest, joins_the_values_of_all_objects_in_delivery_order)
{
    firmware::UseScenario("setting Enter Build ID|A\nsetting Feature Byte|zz\nsetting Build ID|B\n");
    const QueryRun run = Query(kSettings, kBuildIdQuery, L"Value");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.value, L"A,B");
    EXPECT_EQ(run.console, "") << "a successful query prints nothing";
    EXPECT_EQ(test_seam::Observed().coUninitialize, 1);
}

TEST_F(WmiQueryTest, reads_null_and_non_string_values_as_empty_text)
{
    firmware::UseScenario("setting Enter Build ID|@null\nsetting Build ID|B\n");
    EXPECT_EQ(Query(kSettings, kBuildIdQuery, L"Value").value, L"B");
    firmware::UseScenario("setting Enter Build ID|A\nsetting Build ID|@i4:7\n");
    EXPECT_EQ(Query(kSettings, kBuildIdQuery, L"Value").value, L"A,");
    firmware::UseScenario("setting Enter Build ID|A\nsetting Build ID|@empty\n");
    EXPECT_EQ(Query(kSettings, kBuildIdQuery, L"Value").value, L"A,");
    firmware::UseScenario("bios S1\n");
    EXPECT_EQ(Query(kCimv2, kSerialQuery, L"NoSuchProperty").value, L"") << "a failing Get is an empty text";
}

TEST_F(WmiQueryTest, a_failing_next_ends_the_results_without_failing_the_query)
{
    firmware::UseScenario("setting Enter Build ID|A\nsetting Build ID|B\nfail next 1 Build ID\n");
    QueryRun run = Query(kSettings, kBuildIdQuery, L"Value");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.value, L"");
    firmware::UseScenario("setting Enter Build ID|A\nsetting Build ID|B\nfail next 2 Build ID\n");
    run = Query(kSettings, kBuildIdQuery, L"Value");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.value, L"A");
    firmware::UseScenario("");
    run = Query(kCimv2, kSerialQuery, L"SerialNumber");
    EXPECT_EQ(run.result, 0) << "no object is no failure";
    EXPECT_EQ(run.value, L"");
}

TEST_F(WmiQueryTest, each_failing_step_prints_its_line_and_uninitialises_com_once)
{
    struct Row {
        const char* scenario;
        const wchar_t* ns;
        std::string console;
    };
    const Row rows[] = {
        {"fail create 0x80040154\n", kCimv2, "Failed to create IWbemLocator object. Error code = 0x80040154\n"},
        {"fail connect 0x80041003\n", kCimv2, "Could not connect. Error code = 0x80041003\n"},
        {"", L"ROOT\\NoSuchNamespace", "Could not connect. Error code = 0x8004100e\n"},
        {"fail blanket 0x80070005\n", kCimv2, "Could not set proxy blanket. Error code = 0x80070005\n"},
        {"fail exec 0x80041017\n", kCimv2, "Query for operating system name failed. Error code = 0x80041017\n"},
    };
    for (const Row& row : rows) {
        firmware::UseScenario(std::string("bios S1\n") + row.scenario);
        const QueryRun run = Query(row.ns, kSerialQuery, L"SerialNumber");
        EXPECT_EQ(run.result, 1) << row.console;
        EXPECT_EQ(run.console, ConsoleBytes(row.console));
        EXPECT_EQ(run.value, L"");
        EXPECT_EQ(test_seam::Observed().coUninitialize, 1) << row.console;
    }
}

TEST_F(WmiQueryTest, a_failing_security_call_is_reported_and_nothing_else_is_tried)
{
    firmware::UseScenario("bios S1\n");
    firmware::StartTrace();
    test_seam::Plan plan;
    plan.coInitializeSecurity = E_ACCESSDENIED;
    const QueryRun run = Query(kCimv2, kSerialQuery, L"SerialNumber", plan);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.console, ConsoleBytes("Failed to initialize security. Error code = 0x80070005\n"));
    EXPECT_EQ(test_seam::Observed().coUninitialize, 1);
    EXPECT_TRUE(firmware::TraceLines().empty()) << "no locator after a failed security call";
}

TEST_F(WmiQueryTest, security_already_set_by_an_earlier_call_is_no_failure)
{
    firmware::UseScenario("bios S1\n");
    test_seam::Plan plan;
    plan.coInitializeSecurity = RPC_E_TOO_LATE;
    const QueryRun run = Query(kCimv2, kSerialQuery, L"SerialNumber", plan);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.value, L"S1");
    EXPECT_EQ(run.console, "");
}

TEST_F(WmiQueryTest, every_query_sets_the_security_anew)
{
    firmware::UseScenario("bios S1\n");
    test_seam::Arrange({});
    for (int i = 0; i < 3; ++i) {
        ValueBuffer buffer;
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        EXPECT_EQ(WmiPropertyQuery(kCimv2, kSerialQuery, L"SerialNumber", buffer), 0);
        EXPECT_STREQ(buffer.text, L"S1");
    }
    EXPECT_EQ(test_seam::Observed().coInitializeSecurity, 3);
    EXPECT_EQ(test_seam::Observed().coUninitialize, 3);
}

TEST_F(WmiQueryTest, a_string_that_cannot_be_allocated_fails_the_query_cleanly)
{
    firmware::UseScenario("bios S1\n");
    for (int failing = 1; failing <= 3; ++failing) {
        firmware::StartTrace();
        test_seam::Plan plan;
        plan.failSysAllocStringAt = failing;
        const QueryRun run = Query(kCimv2, kSerialQuery, L"SerialNumber", plan);
        EXPECT_EQ(run.result, 1) << "allocation " << failing;
        EXPECT_EQ(run.console, ConsoleBytes("Could not allocate a query string. Error code = 0x8007000e\n"));
        EXPECT_EQ(test_seam::Observed().coUninitialize, 1);
        const std::vector<std::string> trace = firmware::TraceLines();
        // Whatever was taken is given back before COM goes.
        EXPECT_EQ(std::count(trace.begin(), trace.end(), "release locator"), 1) << "allocation " << failing;
        if (failing > 1) {
            EXPECT_EQ(std::count(trace.begin(), trace.end(), "release services"), 1) << "allocation " << failing;
        }
        EXPECT_EQ(
            std::count_if(
                trace.begin(), trace.end(), [](const std::string& line) { return line.rfind("exec ", 0) == 0; }),
            0);
    }
}

TEST_F(WmiQueryTest, makes_the_calls_a_wmi_client_makes_with_their_arguments)
{
    firmware::UseScenario("bios S1\nbios S2\n");
    firmware::StartTrace();
    const QueryRun run = Query(kCimv2, kSerialQuery, L"SerialNumber");
    EXPECT_EQ(run.value, L"S1,S2");
    const std::vector<std::string> expected =
        firmware::SerialQueryTrace(2, {"get name=SerialNumber flags=0 type=null flavor=null"});
    EXPECT_EQ(firmware::TraceLines(), expected);
}
