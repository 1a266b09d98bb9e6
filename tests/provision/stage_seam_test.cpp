// Start-up and stage 1 failures that only a test seam can provoke, and the
// locale rules of the region gate.
#include "bios_gate.h"
#include "run_log.h"
#include "files.h"
#include "firmware.h"
#include "process.h"
#include "run_driver.h"
#include "seam_hooks.h"

#include <gtest/gtest.h>

using namespace kelvane;
using namespace testing_support;

TEST(locale_code, is_the_three_characters_after_the_first_marker)
{
    const struct {
        const wchar_t* buildId;
        const wchar_t* loc;
    } cases[] = {
        {L"12#SABJ34", L"ABJ"}, {L"12#SACF34", L"ACF"},    {L"12#SABA34", L"ABA"},
        {L"12#Sabj34", L"abj"}, {L"12#SA", L"A"},          {L"12#S", L""},
        {L"1234", L""},         {L"12#SXYZ#SABJ", L"XYZ"}, {L"#", L""},
        {L"A#sABJ", L""},       {L"X,12#SABJ", L"ABJ"},
    };
    for (const auto& c : cases) {
        wchar_t loc[kLocUnits];
        std::wmemset(loc, L'?', kLocUnits);
        DeriveLoc(c.buildId, loc);
        EXPECT_STREQ(loc, c.loc) << "Build ID " << testing::PrintToString(std::wstring(c.buildId));
    }
}

TEST(locale_code, only_the_two_japanese_codes_stop_the_run)
{
    EXPECT_TRUE(IsJapaneseLoc(L"ABJ"));
    EXPECT_TRUE(IsJapaneseLoc(L"ACF"));
    for (const wchar_t* other : {L"abj", L"acf", L"AB", L"", L"ABA", L"ABJ "})
        EXPECT_FALSE(IsJapaneseLoc(other)) << testing::PrintToString(std::wstring(other));
}

TEST(stage1_seams, a_failed_com_set_up_fails_the_first_query_and_stops_the_stage)
{
    const std::wstring log = std::wstring(KELVANE_TEST_WORK) + L"\\seam-com.log";
    firmware::UseScenario("bios S1\n");
    test_seam::Plan comFails;
    comFails.coInitializeEx = static_cast<HRESULT>(0x80004005);
    test_seam::Plan securityFails;
    securityFails.coInitializeSecurity = E_ACCESSDENIED;
    const struct {
        test_seam::Plan plan;
        const char* console;
        int securityCalls;
        int uninitialised;  // nothing to uninitialise when COM never came up
    } rows[] = {
        {comFails, "Failed to initialize COM library. Error code = 0x80004005\n", 0, 0},
        {securityFails, "Failed to initialize security. Error code = 0x80070005\n", 1, 1},
    };
    for (const auto& row : rows) {
        RemoveTree(log);
        test_seam::Arrange(row.plan);
        CapturedStdout console;
        RunLog runLog(log.c_str());
        EXPECT_EQ(CheckBiosIdentityAndRegion(runLog), GateOutcome::Fail);
        EXPECT_EQ(console.Text(), ConsoleBytes(std::string(row.console) + "WMI Win32_BIOS query failed.\r\n"));
        EXPECT_EQ(ReadBytes(log), Utf16Bytes(L"Query serial number failed"));
        EXPECT_EQ(test_seam::Observed().coInitializeEx, 1) << "the later queries are not attempted";
        EXPECT_EQ(test_seam::Observed().coInitializeSecurity, row.securityCalls);
        EXPECT_EQ(test_seam::Observed().coUninitialize, row.uninitialised);
    }
}

TEST(startup_seams, an_unknown_or_cut_program_path_ends_the_run_before_the_log)
{
    for (DWORD returned : {DWORD{0}, DWORD{kPathUnits}}) {
        test_seam::Plan plan;
        plan.overrideModuleFileName = true;
        plan.moduleFileNameResult = returned;
        test_seam::Arrange(plan);
        CapturedStdout console;
        EXPECT_NE(RunProvisioning(), 0);
        EXPECT_EQ(console.Text(), ConsoleBytes("Get exe path failed [" + std::to_string(returned) + "]\r\n"));
        EXPECT_EQ(test_seam::Observed().coInitializeEx, 0);
    }
}
