#include "files.h"

#include "owners.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>

namespace testing_support {

const wchar_t* ShippedProgram(const wchar_t* fileName)
{
    static std::map<std::wstring, std::wstring> paths;
    std::wstring& path = paths[fileName];
    if (path.empty()) {
        wchar_t dir[1024] = {};
        const DWORD length = ::GetEnvironmentVariableW(L"KELVANE_TEST_DIST", dir, 1024);
        path =
            (length > 0 && length < 1024 ? std::wstring(dir) : std::wstring(KELVANE_TEST_DIST_DIR)) + L"\\" + fileName;
    }
    return path.c_str();
}

std::string ReadBytes(const std::wstring& path)
{
    std::string bytes;
    const kelvane::UniqueFile file(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
        nullptr));
    if (!file)
        return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    // Readers may hold the file open (a trace the stand-in appends to, say).
    const kelvane::UniqueFile file(::CreateFileW(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0,
        nullptr));
    ASSERT_TRUE(file) << "cannot write a test file, error " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size())
        << "cannot write a test file, error " << ::GetLastError();
}

bool PathExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDirs(const std::wstring& path)
{
    for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    ::CreateDirectoryW(path.c_str(), nullptr);
}

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL | (attributes & FILE_ATTRIBUTE_DIRECTORY));
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileW(path.c_str());
        return;
    }
    {
        // The search ends before its folder is removed.
        WIN32_FIND_DATAW found{};
        const kelvane::UniqueFind search(::FindFirstFileW((path + L"\\*").c_str(), &found));
        if (search) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..")
                    RemoveTree(path + L"\\" + name);
            } while (::FindNextFileW(search.get(), &found));
        }
    }
    ::RemoveDirectoryW(path.c_str());
}

void CopyInto(const std::wstring& source, const std::wstring& destination)
{
    ASSERT_TRUE(::CopyFileW(source.c_str(), destination.c_str(), FALSE))
        << "cannot copy a test file, error " << ::GetLastError();
}

std::string Utf16Bytes(const std::wstring& text)
{
    std::string bytes;
    for (wchar_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
    }
    return bytes;
}

std::wstring FromUtf16Bytes(const std::string& bytes)
{
    std::wstring text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<wchar_t>(
            static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return text;
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t unit : text)
        narrow.push_back(static_cast<char>(unit));
    return narrow;
}

std::string ConsoleBytes(const std::string& text)
{
    std::string bytes;
    for (char c : text) {
        if (c == '\n')
            bytes.push_back('\r');
        bytes.push_back(c);
    }
    return bytes;
}

}  // namespace testing_support
