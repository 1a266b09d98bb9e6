#pragma once
// The Run log: where it lives, how an entry is added, the run header, and the
// console echo that goes with each entry.
#include "text.h"

#include <windows.h>

namespace kelvane {

constexpr wchar_t kSystemLogDir[] = L"c:\\System.sav\\Logs";
constexpr wchar_t kLogFileName[] = L"Kelvane.log";

// Picks the log path: the system log directory when it exists as a directory,
// else the program's directory (exeDir ends in a backslash). Prints the
// "logPath=[...]" line.
void ChooseLogPath(const wchar_t* exeDir, wchar_t (&logPath)[kPathUnits]);

// Formats one log line into a buffer of kLineUnits units. A line that does not
// fit is cut, keeping its "\r\n" end when it has one. Returns false when cut.
bool FormatLogLine(wchar_t (&line)[kLineUnits], const wchar_t* format, ...);

// "================================ MM/DD/YY HH:MM:SS ========================================\r\n"
void FormatRunHeader(const SYSTEMTIME& now, wchar_t (&line)[kLineUnits]);

// Console only, through the runtime's wide formatted output.
void Print(const wchar_t* format, ...);

// The Run log of one run: its path, chosen once at start-up, and the run's
// allowance for waiting on other runs' entries. The driver makes it; a stage
// that takes one writes to the Run log. Every entry is its own open, append
// and close: nothing holds the file between entries.
class RunLog {
public:
    explicit RunLog(const wchar_t* logPath);
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Appends text (without its NUL) as one entry. Never reports failure; the
    // console keeps the complete record.
    void AppendToLog(const wchar_t* text);

    // Prints the run header on the console and appends it to the log.
    void WriteRunHeader();

    // Console line, then the same line (formatted, bounded) as a log entry.
    void PrintAndLog(const wchar_t* format, ...);

    // Log only: a formatted, bounded entry.
    void LogFormatted(const wchar_t* format, ...);

    // A fixed text printed as it is and appended straight from the literal.
    void PrintAndLogText(const wchar_t* text);

private:
    wchar_t logPath_[kPathUnits] = {};
    DWORD turnAllowanceLeftMs_;
};

}  // namespace kelvane
