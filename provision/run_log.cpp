#include "run_log.h"

#include "owners.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>

namespace kelvane {
namespace {

constexpr wchar_t kLogPathLine[] = L"logPath=[%ls]\r\n";
constexpr wchar_t kRunHeaderFormat[] =
    L"================================ %ls %ls ========================================\r\n";

// Another run appending, or a reader holding the log without write sharing,
// makes an open fail for a moment; an entry is worth a short wait, not a loss.
constexpr int kOpenAttempts = 200;
constexpr DWORD kOpenRetryMs = 10;

// Overlapping runs take turns: an append to the end of a file is not atomic
// everywhere, and two entries written at the same place lose one of them.
// The name is one that any process can take, so waiting for it is bounded by
// the whole run, not by the entry: a process that holds it for good costs the
// run at most this allowance, and every entry is still written. (A byte-range
// lock on the log itself would be no safer: any account that can open the log
// for reading can hold one, and on a default C: drive a standard user can
// create c:\System.sav\Logs.)
constexpr wchar_t kLogMutexName[] = L"Global\\KelvaneRunLog";
constexpr DWORD kRunTurnAllowanceMs = 2000;

class LogTurn {
public:
    // Waits for the turn at most as long as the run's allowance has left, and
    // takes the wait off it.
    explicit LogTurn(DWORD& allowanceLeftMs) : mutex_(::CreateMutexW(nullptr, FALSE, kLogMutexName))
    {
        if (!mutex_)
            return;
        const DWORD started = ::GetTickCount();
        const DWORD waited = ::WaitForSingleObject(mutex_.get(), allowanceLeftMs);
        owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        const DWORD spent = ::GetTickCount() - started;
        allowanceLeftMs -= std::min(spent, allowanceLeftMs);
    }
    LogTurn(const LogTurn&) = delete;
    LogTurn& operator=(const LogTurn&) = delete;
    ~LogTurn()
    {
        if (owned_)
            ::ReleaseMutex(mutex_.get());
    }

private:
    UniqueKernelObject mutex_;
    bool owned_ = false;
};

bool IsDirectory(const wchar_t* path)
{
    WIN32_FIND_DATAW found{};
    UniqueFind probe(::FindFirstFileW(path, &found));
    return probe && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool VFormatLogLine(wchar_t (&line)[kLineUnits], const wchar_t* format, va_list args)
{
    const HRESULT hr = ::StringCchVPrintfW(line, kLineUnits, format, args);
    if (hr != STRSAFE_E_INSUFFICIENT_BUFFER)
        return SUCCEEDED(hr);
    // Cut: the text keeps its first units and, for a line, its line end.
    const std::size_t formatLength = std::wcslen(format);
    if (formatLength >= 2 && format[formatLength - 2] == L'\r' && format[formatLength - 1] == L'\n') {
        line[kLineUnits - 3] = L'\r';
        line[kLineUnits - 2] = L'\n';
    }
    line[kLineUnits - 1] = L'\0';
    return false;
}

void VPrint(const wchar_t* format, va_list args)
{
    // A console that cannot be written to has nowhere to report it: both
    // results are left unchecked on purpose.
    static_cast<void>(std::vfwprintf(stdout, format, args));
    // Each line leaves the process at once: a run stopped from outside still
    // leaves its transcript behind.
    static_cast<void>(std::fflush(stdout));
}

}  // namespace

void ChooseLogPath(const wchar_t* exeDir, wchar_t (&logPath)[kPathUnits])
{
    HRESULT hr = E_FAIL;
    if (IsDirectory(kSystemLogDir))
        hr = ::StringCchPrintfW(logPath, kPathUnits, L"%ls\\%ls", kSystemLogDir, kLogFileName);
    else
        hr = ::StringCchPrintfW(logPath, kPathUnits, L"%ls%ls", exeDir, kLogFileName);
    // A program directory too long for the name: a cut path would name some
    // other file, so the log goes to the current directory instead.
    if (FAILED(hr))
        CopyBounded(logPath, kPathUnits, kLogFileName);
    Print(kLogPathLine, logPath);
}

RunLog::RunLog(const wchar_t* logPath) : turnAllowanceLeftMs_(kRunTurnAllowanceMs)
{
    CopyBounded(logPath_, kPathUnits, logPath);
}

void RunLog::AppendToLog(const wchar_t* text)
{
    // Without a turn (no mutex, or the run's allowance for waiting spent) the
    // entry is still written: losing it would be worse than interleaving it.
    LogTurn turn(turnAllowanceLeftMs_);
    UniqueFile file;
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        file.reset(::CreateFileW(
            logPath_, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
            nullptr));
        if (file)
            break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION)
            return;
        ::Sleep(kOpenRetryMs);
    }
    if (!file)
        return;
    const std::size_t units = std::wcslen(text);
    DWORD written = 0;
    ::WriteFile(file.get(), text, static_cast<DWORD>(units * sizeof(wchar_t)), &written, nullptr);
}

bool FormatLogLine(wchar_t (&line)[kLineUnits], const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool whole = VFormatLogLine(line, format, args);
    va_end(args);
    return whole;
}

void FormatRunHeader(const SYSTEMTIME& now, wchar_t (&line)[kLineUnits])
{
    wchar_t date[9] = {};
    wchar_t time[9] = {};
    ::StringCchPrintfW(date, 9, L"%02u/%02u/%02u", now.wMonth % 100u, now.wDay % 100u, now.wYear % 100u);
    ::StringCchPrintfW(time, 9, L"%02u:%02u:%02u", now.wHour % 100u, now.wMinute % 100u, now.wSecond % 100u);
    FormatLogLine(line, kRunHeaderFormat, date, time);
}

void RunLog::WriteRunHeader()
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t line[kLineUnits] = {};
    FormatRunHeader(now, line);
    PrintAndLogText(line);
}

void Print(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    VPrint(format, args);
    va_end(args);
}

void RunLog::PrintAndLog(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list forLog;
    va_copy(forLog, args);
    VPrint(format, args);
    wchar_t line[kLineUnits] = {};
    VFormatLogLine(line, format, forLog);
    va_end(forLog);
    va_end(args);
    AppendToLog(line);
}

void RunLog::LogFormatted(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    wchar_t line[kLineUnits] = {};
    VFormatLogLine(line, format, args);
    va_end(args);
    AppendToLog(line);
}

void RunLog::PrintAndLogText(const wchar_t* text)
{
    Print(L"%ls", text);
    AppendToLog(text);
}

}  // namespace kelvane
