// QUINTAR as a factory tool meets it: started as a child process, judged by
// the bytes on its standard output and error and by its exit code.
#include "files.h"
#include "process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ChildRun;
using testing_support::PathExists;
using testing_support::ReadBytes;
using testing_support::RunChild;
using testing_support::ScopedEnvironmentVariable;
using testing_support::Utf16Bytes;

// Standard output is in text mode: each "\n" of a message leaves as "\r\n".
constexpr char kModuleHandleFailed[] = "Fatal Error: GetModuleHandle failed\r\n";
constexpr char kFrameworkInitFailed[] = "Fatal Error: MFC initialization failed\r\n";

const std::wstring kWork = KELVANE_TEST_WORK;
constexpr wchar_t kDeployedCopy[] = L"c:\\Windows\\QUINTAR.exe";
constexpr wchar_t kSavedCopy[] = L"c:\\Windows\\QUINTAR.exe.marker-test";

// Command lines of every kind the program must not care about.
const std::vector<std::wstring> kArgumentSets = {
    L"",
    L"/?",
    L"-h --help /install",
    L"arbitrary words and 42 numbers",
    L"\"a quoted argument with spaces\" \"\" trailing",
    L"\x00c4rger \x00fc\x00df \x65e5\x672c",
    std::wstring(2000, L'x'),
};

std::vector<std::wstring> WorkDirectories()
{
    const std::wstring spaced = kWork + L"\\marker dir with spaces \x00e9";
    ::CreateDirectoryW(spaced.c_str(), nullptr);
    return {L"c:\\", L"c:\\Windows", kWork, spaced};
}

std::string Describe(const ChildRun& run)
{
    return "started=" + std::to_string(run.started) + " startError=" + std::to_string(run.startError) +
           " exit=" + std::to_string(run.exitCode) + " out=[" + run.output + "] err=[" + run.errors + "]";
}

// ASSERTs inside: call it under ASSERT_NO_FATAL_FAILURE.
void ExpectSilentSuccess(const std::wstring& program, const std::wstring& arguments, const wchar_t* workDir)
{
    const ChildRun run = RunChild(program, arguments, workDir != nullptr ? workDir : L"");
    SCOPED_TRACE(Describe(run));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output.size(), 0u);
    EXPECT_EQ(run.errors.size(), 0u);
}

// Whether a program image holds `part`. The images are searched without a
// matcher, which would print the whole image when it fails.
bool ImageHolds(const std::string& image, const std::string& part)
{
    return image.find(part) != std::string::npos;
}

std::wstring Wide(const char* ascii)
{
    return std::wstring(ascii, ascii + std::strlen(ascii));
}

// The Windows directory of the test prefix is shared with the provisioning
// tests: a copy found there is put aside for the test and brought back after.
class DeployedCopy {
public:
    DeployedCopy()
    {
        hadEarlierCopy_ = ::MoveFileExW(kDeployedCopy, kSavedCopy, MOVEFILE_REPLACE_EXISTING) != 0;
        copied_ = ::CopyFileW(QUINTAR_EXE, kDeployedCopy, TRUE) != 0;
    }
    ~DeployedCopy()
    {
        ::DeleteFileW(kDeployedCopy);
        if (hadEarlierCopy_)
            ::MoveFileExW(kSavedCopy, kDeployedCopy, MOVEFILE_REPLACE_EXISTING);
    }
    DeployedCopy(const DeployedCopy&) = delete;
    DeployedCopy& operator=(const DeployedCopy&) = delete;

    bool copied() const { return copied_; }

private:
    bool hadEarlierCopy_ = false;
    bool copied_ = false;
};

TEST(quintar, succeeds_silently_whatever_its_arguments)
{
    for (const std::wstring& arguments : kArgumentSets) {
        SCOPED_TRACE(testing::Message() << "argument set of " << arguments.size() << " units");
        ASSERT_NO_FATAL_FAILURE(ExpectSilentSuccess(QUINTAR_EXE, arguments, nullptr));
    }
}

TEST(quintar, succeeds_silently_from_any_working_directory)
{
    for (const std::wstring& workDir : WorkDirectories()) {
        SCOPED_TRACE(testing::Message() << "working directory of " << workDir.size() << " units");
        ASSERT_NO_FATAL_FAILURE(ExpectSilentSuccess(QUINTAR_EXE, L"", workDir.c_str()));
        ASSERT_NO_FATAL_FAILURE(ExpectSilentSuccess(QUINTAR_EXE, L"-x some words", workDir.c_str()));
    }
}

TEST(quintar, copy_in_windows_directory_behaves_like_the_original)
{
    const bool hadEarlierCopy = PathExists(kDeployedCopy);
    {
        DeployedCopy copy;
        ASSERT_TRUE(copy.copied()) << "copy to c:\\Windows failed: " << ::GetLastError();
        EXPECT_EQ(ReadBytes(kDeployedCopy), ReadBytes(QUINTAR_EXE));
        for (const std::wstring& workDir : WorkDirectories()) {
            ASSERT_NO_FATAL_FAILURE(ExpectSilentSuccess(kDeployedCopy, L"", workDir.c_str()));
            ASSERT_NO_FATAL_FAILURE(ExpectSilentSuccess(kDeployedCopy, L"/quiet extra words", workDir.c_str()));
        }
    }
    // The Windows directory is left as the test found it.
    EXPECT_EQ(PathExists(kDeployedCopy), hadEarlierCopy);
    EXPECT_FALSE(PathExists(kSavedCopy));
}

TEST(quintar, repeated_runs_behave_alike)
{
    for (int run = 0; run < 3; ++run)
        ASSERT_NO_FATAL_FAILURE(ExpectSilentSuccess(QUINTAR_EXE, L"again", nullptr));
}

// The shipped program has no test hooks: it holds none of their names and
// reads no environment variable.
TEST(quintar, shipped_program_carries_no_test_hooks)
{
    const std::string shipped = ReadBytes(QUINTAR_EXE);
    const std::string seamed = ReadBytes(QUINTAR_SEAMED_EXE);
    ASSERT_FALSE(shipped.empty());
    ASSERT_FALSE(seamed.empty());
    for (const char* name : {"QUINTAR_TEST_FAIL", "QUINTAR_TEST_TRACE"}) {
        EXPECT_FALSE(ImageHolds(shipped, Utf16Bytes(Wide(name)))) << name;
        // The same search finds the hooks where they are.
        EXPECT_TRUE(ImageHolds(seamed, Utf16Bytes(Wide(name)))) << name;
    }
    for (const char* import : {"GetEnvironmentVariable", "getenv", "GetEnvironmentStrings"}) {
        EXPECT_FALSE(ImageHolds(shipped, import)) << import;
    }
    EXPECT_TRUE(ImageHolds(seamed, "GetEnvironmentVariable"));
}

// The bytes of the file that are not its resources: the sections other than
// .rsrc, and the headers before the first section.
std::size_t BytesBesideResources(const std::string& image)
{
    IMAGE_DOS_HEADER dos{};
    if (image.size() < sizeof(dos))
        return 0;
    std::memcpy(&dos, image.data(), sizeof(dos));
    const auto ntAt = static_cast<std::size_t>(dos.e_lfanew);
    IMAGE_FILE_HEADER file{};
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || ntAt + 4 + sizeof(file) > image.size())
        return 0;
    std::memcpy(&file, image.data() + ntAt + 4, sizeof(file));
    const std::size_t sectionsAt = ntAt + 4 + sizeof(file) + file.SizeOfOptionalHeader;
    std::size_t resources = 0;
    for (std::size_t i = 0; i < file.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section{};
        if (sectionsAt + (i + 1) * sizeof(section) > image.size())
            return 0;
        std::memcpy(&section, image.data() + sectionsAt + i * sizeof(section), sizeof(section));
        if (std::memcmp(section.Name, ".rsrc\0\0\0", 8) == 0)
            resources += section.SizeOfRawData;
    }
    return image.size() - resources;
}

// A marker has no business being big: without its resources the shipped
// program stays within 48 KiB.
TEST(quintar, shipped_program_stays_small)
{
    const std::string shipped = ReadBytes(QUINTAR_EXE);
    const std::size_t code = BytesBesideResources(shipped);
    ASSERT_GT(code, 0u) << "not a PE image";
    EXPECT_LT(code, shipped.size()) << "no resource section found";
    EXPECT_LE(code, 48u * 1024u);
}

// The test build of the program, its failures chosen by the environment.
class seamed_quintar : public testing::Test {
protected:
    void SetUp() override
    {
        tracePath_ = kWork + L"\\quintar-trace.txt";
        ::DeleteFileW(tracePath_.c_str());
    }
    void TearDown() override { ::DeleteFileW(tracePath_.c_str()); }

    ChildRun Run(const wchar_t* failingCall, const std::wstring& arguments = L"")
    {
        ::DeleteFileW(tracePath_.c_str());
        ScopedEnvironmentVariable trace(L"QUINTAR_TEST_TRACE", tracePath_.c_str());
        ScopedEnvironmentVariable fail(L"QUINTAR_TEST_FAIL", failingCall);
        return RunChild(QUINTAR_SEAMED_EXE, arguments);
    }
    std::string Trace() const { return ReadBytes(tracePath_); }

private:
    std::wstring tracePath_;
};

TEST_F(seamed_quintar, missing_module_handle_prints_its_message_and_exits_1)
{
    for (const std::wstring& arguments : {std::wstring(), std::wstring(L"/x words")}) {
        const ChildRun run = Run(L"GetModuleHandleW", arguments);
        SCOPED_TRACE(Describe(run));
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.output, kModuleHandleFailed);
        EXPECT_EQ(run.errors, "");
    }
}

TEST_F(seamed_quintar, failed_framework_init_prints_only_its_message_and_exits_1)
{
    for (const std::wstring& arguments : {std::wstring(), std::wstring(L"/x words")}) {
        const ChildRun run = Run(L"WinInit", arguments);
        SCOPED_TRACE(Describe(run));
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.output, kFrameworkInitFailed);
        EXPECT_THAT(run.output, Not(HasSubstr("GetModuleHandle")));
        EXPECT_EQ(run.errors, "");
    }
}

TEST_F(seamed_quintar, without_failures_behaves_like_the_shipped_program)
{
    const ChildRun run = Run(nullptr, L"some arguments");
    SCOPED_TRACE(Describe(run));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "");
}

// The application object exists before the main routine starts and is
// destroyed after it has returned, whichever way the main routine ends; the
// framework is initialised with the program's own module, no previous
// instance, the process's command line as it is, and show state 0.
TEST_F(seamed_quintar, application_object_outlives_main_on_every_path)
{
    struct Path {
        const wchar_t* failingCall;
        const char* trace;
    };
    const Path paths[] = {
        {nullptr, "construct\n"
                  "enter main\n"
                  "GetModuleHandleW own-module\n"
                  "WinInit own-module null-previous process-command-line show=0\n"
                  "initialised\n"
                  "leave main 0\n"
                  "destroy\n"},
        {L"GetModuleHandleW", "construct\n"
                              "enter main\n"
                              "GetModuleHandleW own-module\n"
                              "leave main 1\n"
                              "destroy\n"},
        {L"WinInit", "construct\n"
                     "enter main\n"
                     "GetModuleHandleW own-module\n"
                     "WinInit own-module null-previous process-command-line show=0\n"
                     "WinInit forced to fail\n"
                     "leave main 1\n"
                     "destroy\n"},
    };
    for (const Path& path : paths) {
        const ChildRun run = Run(path.failingCall, L"-a b");
        SCOPED_TRACE(Describe(run));
        ASSERT_TRUE(run.started);
        EXPECT_EQ(Trace(), path.trace);
    }
}

}  // namespace
