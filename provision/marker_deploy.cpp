#include "marker_deploy.h"

#include "owners.h"
#include "run_log.h"
#include "text.h"

#include <shlwapi.h>
#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>

namespace kelvane {
namespace {

constexpr wchar_t kSourceFormat[] = L"%ls\\QUINTAR.exe";
constexpr wchar_t kDestination[] = L"c:\\Windows\\QUINTAR.exe";

constexpr wchar_t kSourceMissing[] = L"Source file not exists: %ls\r\n";
constexpr wchar_t kCopyingLine[] = L"%ls copy to %ls\r\n";
constexpr wchar_t kCopySucceeded[] = L"Copy file successful with return code: %d\r\n";
constexpr wchar_t kCopyFailed[] = L"Copy file failed with return code: %d\r\n";

bool Exists(const wchar_t* path)
{
    WIN32_FIND_DATAW found{};
    UniqueFind probe(::FindFirstFileW(path, &found));
    return static_cast<bool>(probe);
}

}  // namespace

int DeployMarker(RunLog& log)
{
    // The stage learns the program's folder anew. When the path cannot be
    // learnt now (or comes back cut), the source is unknown and logged empty:
    // an empty folder would make "\QUINTAR.exe" in the current drive's root
    // the source.
    wchar_t programDir[kPathUnits] = {};
    const DWORD pathLength = ::GetModuleFileNameW(nullptr, programDir, kPathUnits);
    const bool known = pathLength != 0 && pathLength < kPathUnits;
    // A drive root keeps its backslash ("C:\"), so the source there reads
    // "C:\\QUINTAR.exe": kept as it is, it names the same file.
    ::PathRemoveFileSpecW(programDir);

    wchar_t source[kPathUnits] = {};
    // A directory too long for the marker's name: the cut path names no file,
    // so the marker counts as missing rather than being looked for elsewhere.
    const bool whole = known && SUCCEEDED(::StringCchPrintfW(source, kPathUnits, kSourceFormat, programDir));
    if (!whole || !Exists(source)) {
        log.LogFormatted(kSourceMissing, source);
        return kMarkerSourceMissing;
    }

    log.LogFormatted(kCopyingLine, source, kDestination);
    const BOOL copied = ::CopyFileW(source, kDestination, FALSE);
    if (copied && Exists(kDestination)) {
        log.LogFormatted(kCopySucceeded, 1);
        return kMarkerCopied;
    }
    log.LogFormatted(kCopyFailed, copied ? 1 : 0);
    return kMarkerCopyFailed;
}

}  // namespace kelvane
