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

// Appends text (without its NUL) as one entry: open, write, close. Never
// reports failure; the console keeps the complete record.
void AppendToLog(const wchar_t* text, const wchar_t* logPath);

// Formats one log line into a buffer of kLineUnits units. A line that does not
// fit is cut, keeping its "\r\n" end when it has one. Returns false when cut.
bool FormatLogLine(wchar_t (&line)[kLineUnits], const wchar_t* format, ...);

// "================================ MM/DD/YY HH:MM:SS ========================================\r\n"
void FormatRunHeader(const SYSTEMTIME& now, wchar_t (&line)[kLineUnits]);

// Prints the run header on the console and appends it to the log.
void WriteRunHeader(const wchar_t* logPath);

// Console only, through the runtime's wide formatted output.
void Print(const wchar_t* format, ...);

// Console line, then the same line (formatted, bounded) as a log entry.
void PrintAndLog(const wchar_t* logPath, const wchar_t* format, ...);

// Log only: a formatted, bounded entry.
void LogFormatted(const wchar_t* logPath, const wchar_t* format, ...);

// A fixed text printed as it is and appended straight from the literal.
void PrintAndLogText(const wchar_t* logPath, const wchar_t* text);

}  // namespace kelvane
