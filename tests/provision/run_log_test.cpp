// The Run log's path, entries and header, and the program's own directory.
#include "files.h"
#include "owners.h"
#include "run_driver.h"
#include "run_log.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kelvane;
using namespace testing_support;

namespace {

const std::wstring kWork = std::wstring(KELVANE_TEST_WORK) + L"\\run_log";

class RunLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveTree(kWork);
        MakeDirs(kWork);
        RemoveTree(L"c:\\System.sav");
    }
    void TearDown() override { RemoveTree(L"c:\\System.sav"); }
    std::wstring logFile = kWork + L"\\Kelvane.log";
};

}  // namespace

TEST(exe_dir, keeps_everything_up_to_the_last_backslash)
{
    wchar_t dir[kPathUnits] = {L'x'};
    ExeDirOf(L"C:\\Prov\\Kelvane.exe", dir);
    EXPECT_STREQ(dir, L"C:\\Prov\\");
    ExeDirOf(L"C:\\Kelvane.exe", dir);
    EXPECT_STREQ(dir, L"C:\\");
    ExeDirOf(L"Kelvane.exe", dir);
    EXPECT_STREQ(dir, L"");
}

TEST(run_header, formats_date_and_time_with_two_digits_each)
{
    SYSTEMTIME now{};
    now.wYear = 2021;
    now.wMonth = 3;
    now.wDay = 5;
    now.wHour = 9;
    now.wMinute = 7;
    now.wSecond = 3;
    wchar_t line[kLineUnits] = {};
    FormatRunHeader(now, line);
    EXPECT_EQ(std::wstring(line), std::wstring(32, L'=') + L" 03/05/21 09:07:03 " + std::wstring(40, L'=') + L"\r\n");
}

TEST(log_line, is_cut_within_its_buffer_and_keeps_its_line_end)
{
    const std::wstring value(400, L'v');
    wchar_t line[kLineUnits + 8];
    std::wmemset(line, L'#', kLineUnits + 8);
    wchar_t(&bounded)[kLineUnits] = *reinterpret_cast<wchar_t(*)[kLineUnits]>(line);
    EXPECT_FALSE(FormatLogLine(bounded, L"Registry before write: [%ls]\r\n", value.c_str()));
    const std::wstring text(line);
    ASSERT_EQ(text.size(), kLineUnits - 1);
    EXPECT_EQ(text.substr(0, 24), L"Registry before write: [");
    EXPECT_EQ(text.substr(text.size() - 3), L"v\r\n");
    for (std::size_t i = kLineUnits; i < kLineUnits + 8; ++i)
        EXPECT_EQ(line[i], L'#') << "written past the buffer at " << i;

    EXPECT_FALSE(FormatLogLine(bounded, L"%ls", value.c_str()));
    EXPECT_EQ(std::wstring(line), value.substr(0, kLineUnits - 1)) << "a line without a line end is only cut";
    EXPECT_TRUE(FormatLogLine(bounded, L"LOC=[%ls]\r\n", L"ABJ"));
    EXPECT_STREQ(line, L"LOC=[ABJ]\r\n");
}

TEST_F(RunLogTest, appends_utf16_entries_without_byte_order_mark)
{
    RunLog log(logFile.c_str());
    log.AppendToLog(L"first\r\n");
    log.AppendToLog(L"Result=PASS");
    log.AppendToLog(L"next\r\n");
    EXPECT_EQ(ReadBytes(logFile), Utf16Bytes(L"first\r\nResult=PASSnext\r\n"));
}

TEST_F(RunLogTest, waits_for_a_reader_that_holds_the_log_without_write_sharing)
{
    RunLog log(logFile.c_str());
    log.AppendToLog(L"before\r\n");
    UniqueFile reader(
        ::CreateFileW(logFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    std::thread release([&reader] {
        ::Sleep(300);
        reader.reset();
    });
    log.AppendToLog(L"after\r\n");
    release.join();
    EXPECT_EQ(ReadBytes(logFile), Utf16Bytes(L"before\r\nafter\r\n"));
}

TEST_F(RunLogTest, shares_the_log_with_another_appender)
{
    RunLog log(logFile.c_str());
    UniqueFile other(::CreateFileW(
        logFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(other);
    log.AppendToLog(L"ours\r\n");
    const std::string theirs = Utf16Bytes(L"theirs\r\n");
    DWORD written = 0;
    ::WriteFile(other.get(), theirs.data(), static_cast<DWORD>(theirs.size()), &written, nullptr);
    other.reset();
    EXPECT_EQ(ReadBytes(logFile), Utf16Bytes(L"ours\r\ntheirs\r\n"));
}

TEST_F(RunLogTest, goes_next_to_the_program_without_the_system_log_folder)
{
    wchar_t logPath[kPathUnits] = {};
    ChooseLogPath(L"D:\\tools\\", logPath);
    EXPECT_STREQ(logPath, L"D:\\tools\\Kelvane.log");
    ChooseLogPath(L"", logPath);
    EXPECT_STREQ(logPath, L"Kelvane.log");
}

TEST_F(RunLogTest, goes_to_the_system_log_folder_only_when_it_is_a_folder)
{
    wchar_t logPath[kPathUnits] = {};
    MakeDirs(L"c:\\System.sav");
    ASSERT_NO_FATAL_FAILURE(WriteBytes(L"c:\\System.sav\\Logs", "not a folder"));
    ChooseLogPath(L"D:\\tools\\", logPath);
    EXPECT_STREQ(logPath, L"D:\\tools\\Kelvane.log");

    RemoveTree(L"c:\\System.sav\\Logs");
    MakeDirs(L"c:\\System.sav\\Logs");
    ChooseLogPath(L"D:\\tools\\", logPath);
    EXPECT_STREQ(logPath, L"c:\\System.sav\\Logs\\Kelvane.log");
}

TEST_F(RunLogTest, falls_back_to_the_bare_name_when_the_folder_is_too_long)
{
    wchar_t logPath[kPathUnits + 4];
    std::wmemset(logPath, L'#', kPathUnits + 4);
    wchar_t(&bounded)[kPathUnits] = *reinterpret_cast<wchar_t(*)[kPathUnits]>(logPath);
    const std::wstring fits = L"C:\\" + std::wstring(kPathUnits - 1 - 3 - 12, L'd') + L"\\";
    ChooseLogPath(fits.c_str(), bounded);
    EXPECT_EQ(std::wstring(logPath), fits + L"Kelvane.log");

    const std::wstring tooLong = L"C:\\" + std::wstring(kPathUnits - 1 - 3 - 11, L'd') + L"\\";
    ChooseLogPath(tooLong.c_str(), bounded);
    EXPECT_STREQ(logPath, L"Kelvane.log");
    for (std::size_t i = kPathUnits; i < kPathUnits + 4; ++i)
        EXPECT_EQ(logPath[i], L'#');
}
