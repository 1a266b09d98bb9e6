// The fault sweep: the real Kelvane.exe, with the fault injector loaded before
// its entry point, run again and again on four kinds of machine. Each run fails
// the N-th failable platform call alone, or every call from the N-th on, for
// every N of that kind of run; then each broken promise of a WMI provider at
// each of the three queries. After every run the same invariants are checked:
//   1 it ends by itself with 0 or 1, without a crash;
//   2 its console is what it meant to print less what the platform refused,
//     and the last line it meant to print is a verdict that agrees with the exit code;
//   3 the Run log keeps what was there and gains whole entries, in order;
//   4 OOBEMode is as before or "OEMTA" in each view, "OEMTA" in both after a pass,
//     and a key appears only where Office is;
//   5 the deployed marker is untouched or the shipped one, and changes only on a pass;
//   6 every COM object the firmware handed out was released, and every
//     successful CoInitializeEx has its CoUninitialize.
// The last line of output counts runs, calls and violations.
#include "files.h"
#include "firmware.h"
#include "process.h"
#include "registry.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

const std::wstring kProgramDir = L"C:\\Sweep";
const std::wstring kProgram = kProgramDir + L"\\Kelvane.exe";
const std::wstring kLog = kProgramDir + L"\\Kelvane.log";
const std::wstring kDeployed = L"C:\\Windows\\QUINTAR.exe";
const std::wstring kDecoy = L"C:\\QUINTAR.exe";
const std::wstring kReport = std::wstring(KELVANE_TEST_WORK) + L"\\fault-report.txt";
const std::wstring kLedger = std::wstring(KELVANE_TEST_WORK) + L"\\fault-ledger.txt";
constexpr DWORD kRunLimitMs = 60000;

const std::string kEarlierLog = Utf16Bytes(L"Result=PASS");
const std::string kEarlierMarker = "an earlier marker";

struct View {
    bool key = false;
    std::optional<std::wstring> text;  // nullopt: no OOBEMode
    DWORD type = REG_NONE;
};

// A kind of machine: its firmware and what its registry and disk hold before a run.
struct Machine {
    const char* name;
    std::string firmware;
    bool officePresent;
    const wchar_t* nativeMode;  // null: no value
    const wchar_t* wowMode;     // null: no 32-bit key
    bool earlierLog;
};

const std::string kFirmware = "bios SN-0042\nsetting Build ID|12#SABA34\nsetting Feature Byte|FB-7\n";

const Machine kMachines[] = {
    {"passing run writing both views", kFirmware, true, L"oemta", nullptr, true},
    {"already-correct run", kFirmware, true, L"OEMTA", L"OEMTA", true},
    {"Japanese machine", "bios SN-0042\nsetting Build ID|12#SABJ34\nsetting Feature Byte|FB-7\n", true, L"OEM", L"OEM",
     false},
    {"machine without Office", kFirmware, false, nullptr, nullptr, false},
};

// The program's imports that the injector leaves alone, each between blanks.
// Every other import must be one it fails (or watches).
const std::string kNeverFailed =
    // Called by the run: they cannot fail, or their failure is none of the platform's.
    " GetLastError GetLocalTime GetTickCount SysFreeString VariantInit PathRemoveFileSpecW _vsnwprintf wcslen wcscmp"
    " wcsstr _lock _unlock _errno __iob_func memset memcpy"
    // The C runtime's own: its start-up, exit and error paths, and its data.
    " SetUnhandledExceptionFilter __set_app_type __wgetmainargs __winitenv _wcmdln _initterm _onexit malloc calloc"
    " free _amsg_exit _cexit abort signal _commode _fmode __setusermatherr GetStartupInfoW __C_specific_handler"
    " InitializeCriticalSection EnterCriticalSection LeaveCriticalSection DeleteCriticalSection TlsGetValue"
    " VirtualProtect VirtualQuery IsDBCSLeadByteEx MultiByteToWideChar ___lc_codepage_func ___mb_cur_max_func"
    " localeconv strerror strlen strncmp fprintf vfprintf fwrite ";

// What the injector saw of a run.
struct Report {
    bool present = false;
    unsigned long failable = 0;
    std::vector<std::string> failed;
    long comInitialised = 0;
    long comUninitialised = 0;
    std::wstring console;
    std::string lost;
    std::vector<std::wstring> logWrites;
    std::vector<std::string> unhooked;
};

std::wstring FromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return FromUtf16Bytes(bytes);
}

Report ReadReport()
{
    Report report;
    const std::string text = ReadBytes(kReport);
    if (text.empty())
        return report;
    report.present = true;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "failable")
            report.failable = std::stoul(rest);
        else if (key == "failed")
            report.failed.push_back(rest);
        else if (key == "com")
            std::istringstream(rest) >> report.comInitialised >> report.comUninitialised;
        else if (key == "console")
            report.console = FromHex(rest);
        else if (key == "lost")
            report.lost = rest;
        else if (key == "logwrite")
            report.logWrites.push_back(FromHex(rest));
        else if (key == "unhooked")
            report.unhooked.push_back(rest);
    }
    return report;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line.push_back(c);
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

void PrepareMachine(const Machine& machine)
{
    RemoveTree(L"C:\\System.sav");
    RemoveTree(kLog);
    RemoveOfficeKeys();
    if (machine.officePresent) {
        CreateKey(kNativeOemKey);
        if (machine.nativeMode != nullptr)
            SetOobeModeText(kNativeOemKey, machine.nativeMode);
        if (machine.wowMode != nullptr)
            SetOobeModeText(kWow64OemKey, machine.wowMode);
    }
    WriteBytes(kDeployed, kEarlierMarker);
    if (machine.earlierLog)
        WriteBytes(kLog, kEarlierLog);
    ::DeleteFileW(kReport.c_str());
    ::DeleteFileW(kLedger.c_str());
}

View ReadView(const wchar_t* subkey)
{
    View view;
    view.key = KeyExists(subkey);
    view.text = ReadOobeMode(subkey, &view.type);
    return view;
}

bool SameView(const View& a, const View& b)
{
    return a.text == b.text && (!a.text || a.type == b.type);
}

bool IsOemta(const View& view)
{
    return view.text && *view.text == L"OEMTA" && view.type == REG_SZ;
}

class Sweep {
public:
    explicit Sweep(std::string quintar) : quintar_(std::move(quintar)) {}

    // One run of Kelvane on `machine`; returns what the injector saw.
    Report
    Run(const Machine& machine, unsigned long failAt, const char* mode, const std::string& firmware,
        const std::string& label, const std::string& mustBreak = "")
    {
        ScopedEnvironmentVariable at(L"KELVANE_FAULT_AT", std::to_wstring(failAt).c_str());
        ScopedEnvironmentVariable how(L"KELVANE_FAULT_MODE", std::wstring(mode, mode + std::strlen(mode)).c_str());
        ScopedEnvironmentVariable report(L"KELVANE_FAULT_REPORT", kReport.c_str());
        ScopedEnvironmentVariable pause(L"KELVANE_FAULT_PAUSE_MS", L"0");
        ScopedEnvironmentVariable ledger(L"FAKE_WMI_LEDGER", kLedger.c_str());
        View nativeBefore;
        View wowBefore;
        std::string logBefore;
        ChildRun run;
        // Kelvane is one thread, so a fault that hangs it hangs it every time.
        // A run that does not end is tried once more: only a hang that repeats
        // is the program's; one that does not is Wine's, and is reported apart.
        for (int attempt = 1; attempt <= 2; ++attempt) {
            PrepareMachine(machine);
            firmware::UseScenario(firmware, "sweep");
            nativeBefore = ReadView(kNativeOemKey);
            wowBefore = ReadView(kWow64OemKey);
            logBefore = ReadBytes(kLog);
            run = RunChild(kProgram, L"", kProgramDir, kRunLimitMs, KELVANE_INJECTOR);
            if (run.finished || attempt == 2)
                break;
            ++platformHangs_;
            std::printf(
                "NOTE %s: the run did not end within 60 s (its console: [%s]); trying it once more\n", label.c_str(),
                run.output.c_str());
        }
        ++runs_;

        const Report seen = ReadReport();
        label_ = label;
        if (!seen.failed.empty())
            label_ += " (" + seen.failed.front() + ")";
        CheckEnding(run, seen);
        if (!seen.present)
            return seen;
        const std::string intended = Narrow(seen.console);
        const bool passed = HasLine(intended, "Result=PASS");
        CheckConsole(run, seen, intended);
        CheckLog(logBefore, seen, intended);
        CheckRegistry(nativeBefore, wowBefore, passed);
        CheckMarker(passed);
        CheckCom(seen, mustBreak);
        if (failAt == 0)
            CheckCoverage(seen);
        return seen;
    }

    int runs() const { return runs_; }
    int violations() const { return violations_; }
    int platformHangs() const { return platformHangs_; }

private:
    void Violation(int invariant, const std::string& detail)
    {
        Violation("invariant " + std::to_string(invariant), detail);
    }

    void Violation(const std::string& broken, const std::string& detail)
    {
        ++violations_;
        std::printf("VIOLATION %s: %s: %s\n", label_.c_str(), broken.c_str(), detail.c_str());
        std::fflush(stdout);
    }

    // An import that the injector can neither fail nor knows to be unable to
    // fail would leave its failures untried.
    void CheckCoverage(const Report& seen)
    {
        for (const std::string& function : seen.unhooked) {
            if (kNeverFailed.find(" " + function + " ") == std::string::npos)
                Violation("coverage", "the program imports " + function + ", which the injector cannot fail");
        }
    }

    static bool HasLine(const std::string& console, const std::string& line)
    {
        for (const std::string& each : Lines(console)) {
            if (each == line)
                return true;
        }
        return false;
    }

    void CheckEnding(const ChildRun& run, const Report& seen)
    {
        if (!run.started || !run.finished)
            Violation(
                1, std::string("did not end by itself within 60 s (") + (seen.present ? "after" : "before") +
                       " handing over to the runtime's exit); its console: [" + run.output + "]");
        else if (run.exitCode != 0 && run.exitCode != 1)
            Violation(1, "exit code " + std::to_string(run.exitCode));
        for (const std::string* stream : {&run.output, &run.errors}) {
            if (stream->find("Unhandled exception") != std::string::npos ||
                stream->find("Backtrace") != std::string::npos)
                Violation(1, "crashed: " + stream->substr(0, 300));
        }
        if (!seen.present)
            Violation(1, "no report from the injector (it did not load, or the process did not exit)");
    }

    void CheckConsole(const ChildRun& run, const Report& seen, const std::string& intended)
    {
        std::string reached;
        for (std::size_t i = 0; i < intended.size(); ++i) {
            if (i < seen.lost.size() && seen.lost[i] == '1')
                continue;
            if (intended[i] == '\n')
                reached += '\r';
            reached += intended[i];
        }
        if (run.output != reached)
            Violation(
                2,
                "the console lost more than its refused writes: got [" + run.output + "] expected [" + reached + "]");
        const std::vector<std::string> lines = Lines(intended);
        const std::string last = lines.empty() ? "" : lines.back();
        const bool failVerdict = last == "Result=FAIL" || StartsWith(last, "Get exe path failed [");
        const bool passVerdict =
            last == "Result=PASS" || last == "Result=SKIP" || last == "Not found Office reg key, skip and exit.";
        if (!(run.exitCode == 1 && failVerdict) && !(run.exitCode == 0 && passVerdict))
            Violation(2, "last line [" + last + "] with exit code " + std::to_string(run.exitCode));
    }

    void CheckLog(const std::string& before, const Report& seen, const std::string& intended)
    {
        const std::string after = ReadBytes(kLog);
        if (after.size() % 2 != 0)
            Violation(3, "odd size " + std::to_string(after.size()));
        if (StartsWith(after, "\xFF\xFE"))
            Violation(3, "starts with a byte-order mark");
        if (!StartsWith(after, before)) {
            Violation(3, "what was there before is gone");
            return;
        }
        std::wstring written;
        for (const std::wstring& entry : seen.logWrites)
            written += entry;
        const std::wstring part = FromUtf16Bytes(after.substr(before.size()));
        if (part != written)
            Violation(3, "the log gained [" + Narrow(part) + "], the run wrote [" + Narrow(written) + "]");
        // Each entry whole, not doubled, and in the order the console shows it.
        const std::vector<std::string> console = Lines(intended);
        std::size_t at = 0;
        std::wstring previous;
        for (const std::wstring& entry : seen.logWrites) {
            const std::string text = Narrow(entry);
            if (entry == previous)
                Violation(3, "entry doubled: " + text);
            previous = entry;
            const bool lineEnd = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
            const bool bare = text == "Result=PASS" || text == "Result=FAIL" || text == "Result=SKIP" ||
                              (StartsWith(text, "Query ") && text.find(" failed") != std::string::npos);
            if (!lineEnd && !bare) {
                Violation(3, "entry cut: " + text);
                continue;
            }
            const bool logOnly = text.find(" copy to ") != std::string::npos || StartsWith(text, "Copy file ") ||
                                 StartsWith(text, "Source file not exists: ");
            if (!lineEnd || logOnly)
                continue;
            const std::string line = text.substr(0, text.size() - 2);
            while (at < console.size() && console[at] != line)
                ++at;
            if (at == console.size()) {
                Violation(3, "entry not printed, or out of order: " + text);
                return;
            }
            ++at;
        }
    }

    void CheckRegistry(const View& nativeBefore, const View& wowBefore, bool passed)
    {
        const View nativeAfter = ReadView(kNativeOemKey);
        const View wowAfter = ReadView(kWow64OemKey);
        if (!SameView(nativeBefore, nativeAfter) && !IsOemta(nativeAfter))
            Violation(4, "native OOBEMode became something else");
        if (!SameView(wowBefore, wowAfter) && !IsOemta(wowAfter))
            Violation(4, "32-bit OOBEMode became something else");
        // The one key a run may add is the 32-bit one, where Office is (the native key).
        const bool wowAddedWithOffice = nativeBefore.key && !wowBefore.key && wowAfter.key;
        if (nativeAfter.key != nativeBefore.key || (wowAfter.key != wowBefore.key && !wowAddedWithOffice))
            Violation(
                4, std::string("an OEM key was created or removed; Office: ") + (nativeBefore.key ? "yes" : "no"));
        if (passed && !(IsOemta(nativeAfter) && IsOemta(wowAfter)))
            Violation(4, "passed without OEMTA in both views");
    }

    void CheckMarker(bool passed)
    {
        const std::string after = ReadBytes(kDeployed);
        if (after == kEarlierMarker)
            return;
        if (after != quintar_)
            Violation(5, "c:\\Windows\\QUINTAR.exe is neither the earlier file nor the shipped marker");
        if (!passed)
            Violation(5, "the marker changed in a run that did not pass");
    }

    void CheckCom(const Report& seen, const std::string& mustBreak)
    {
        if (seen.comInitialised != seen.comUninitialised)
            Violation(
                6, std::to_string(seen.comInitialised) + " successful CoInitializeEx, " +
                       std::to_string(seen.comUninitialised) + " CoUninitialize");
        const std::vector<std::string> ledger = Lines(ReadBytes(kLedger));
        bool broke = mustBreak.empty();
        for (const std::string& line : ledger) {
            if (StartsWith(line, "live ") && line != "live 0")
                Violation(6, "firmware objects never released (" + line + ")");
            if (line == "broke " + mustBreak)
                broke = true;
        }
        if (!broke)
            Violation(6, "the provider never broke its promise " + mustBreak);
    }

    std::string quintar_;
    std::string label_;
    int runs_ = 0;
    int violations_ = 0;
    int platformHangs_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    RemoveTree(kProgramDir);
    MakeDirs(kProgramDir);
    CopyInto(KELVANE_EXE, kProgram);
    CopyInto(QUINTAR_EXE, kProgramDir + L"\\QUINTAR.exe");
    // A decoy in the current drive's root: a marker stage that lost the
    // program's folder must not copy it into c:\Windows.
    WriteBytes(kDecoy, "a decoy marker");
    Sweep sweep(ReadBytes(QUINTAR_EXE));

    // --run M N MODE: one run only, to look into a violation (M is the machine's
    // index in the table above, MODE "once" or "from").
    if (argc == 5 && std::string(argv[1]) == "--run") {
        const Machine& machine = kMachines[std::stoul(argv[2]) % std::size(kMachines)];
        const Report seen = sweep.Run(machine, std::stoul(argv[3]), argv[4], machine.firmware, machine.name);
        for (const std::string& failed : seen.failed)
            std::printf("failed call %s\n", failed.c_str());
        std::printf("%d violations\n", sweep.violations());
        return sweep.violations() == 0 ? 0 : 1;
    }

    unsigned long swept = 0;
    for (const Machine& machine : kMachines) {
        const Report clean = sweep.Run(machine, 0, "once", machine.firmware, std::string(machine.name) + " unfaulted");
        std::printf("%s: %lu failable calls\n", machine.name, clean.failable);
        std::fflush(stdout);
        swept += clean.failable;
        for (unsigned long n = 1; n <= clean.failable; ++n) {
            for (const char* mode : {"once", "from"}) {
                sweep.Run(
                    machine, n, mode, machine.firmware,
                    std::string(machine.name) + ", call " + std::to_string(n) + " failed " +
                        (std::string(mode) == "once" ? "alone" : "and every one after"));
            }
        }
    }

    // The provider's broken promises, each at each of the three queries. With
    // one object per query, query q makes Next calls 2q-1 (the object) and 2q.
    const Machine& passing = kMachines[0];
    const std::pair<const char*, unsigned> kPromises[] = {
        {"classobject", 1}, {"create", 1}, {"connect", 1}, {"exec", 1}, {"next", 2}, {"phantom", 2}, {"get", 1},
    };
    for (const auto& promise : kPromises) {
        for (unsigned query = 1; query <= 3; ++query) {
            const unsigned call = promise.second == 2 ? 2 * query - 1 : query;
            const std::string broken = std::string(promise.first) + " " + std::to_string(call);
            sweep.Run(
                passing, 0, "once", passing.firmware + "break " + broken + "\n",
                std::string("provider breaks ") + promise.first + " at query " + std::to_string(query), broken);
        }
    }

    RemoveTree(kProgramDir);
    RemoveTree(kDecoy);
    RemoveOfficeKeys();
    RemoveTree(kDeployed);
    if (sweep.platformHangs() != 0)
        std::printf(
            "%d runs did not end once and ended when tried again (Wine, not the program)\n", sweep.platformHangs());
    std::printf(
        "fault sweep: %d runs, %lu platform calls failed in turn and from then on, %d violations\n", sweep.runs(),
        swept, sweep.violations());
    return sweep.violations() == 0 ? 0 : 1;
}
