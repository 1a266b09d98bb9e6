#pragma once
// End-to-end runs of the real Kelvane.exe in the test prefix: the program set
// up in a folder of its own, the console bytes as they reach a pipe, the Run
// log's bytes, the exit code.
#include "files.h"
#include "firmware.h"
#include "owners.h"
#include "process.h"
#include "registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace e2e {

const std::wstring kProgramDir = L"C:\\Prov";
const std::wstring kDeployedMarker = L"C:\\Windows\\QUINTAR.exe";
constexpr char kDefaultFirmware[] = "bios SN-0042\n"
                                    "setting Build ID|12#SABA34\n"
                                    "setting Feature Byte|FB-7\n";

// One line of a transcript and where it goes.
struct Line {
    std::string text;
    bool console = true;
    bool log = true;
};
inline Line Both(std::string text)
{
    return {std::move(text), true, true};
}
inline Line ConsoleOnly(std::string text)
{
    return {std::move(text), true, false};
}
inline Line LogOnly(std::string text)
{
    return {std::move(text), false, true};
}

std::string ExpectedConsole(const std::vector<Line>& lines);
std::string ExpectedLog(const std::vector<Line>& lines);
// The run header of a console transcript, checked for its shape ("" if none).
std::string HeaderOf(const std::string& console);
using testing_support::Narrow;

// A copy of a test's Run log in the work folder, one machine folder per log,
// for the log reader's tests. A test that leaves no log leaves no folder.
void KeepRunLog(const std::wstring& log, const std::wstring& machine);

// The first lines of every run whose log is next to the program in dir.
std::vector<Line>
StartLines(const std::string& dir, const std::string& exe, const std::string& logPath, const std::string& header);

class KelvaneTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs dir\exeName (with injectDll loaded before its entry point, if given).
    testing_support::ChildRun
    Run(const std::wstring& dir = kProgramDir, const std::wstring& exeName = L"Kelvane.exe",
        const std::wstring& injectDll = L"");
    std::string LogBytes(const std::wstring& dir = kProgramDir) const;
    // ASSERTs inside: call it under ASSERT_NO_FATAL_FAILURE.
    void InstallProgram(const std::wstring& dir, const std::wstring& exeName = L"Kelvane.exe", bool withMarker = true);
};

}  // namespace e2e
