#pragma once
// Files and folders of the test prefix, and the byte forms a factory tool reads.
#include <string>

namespace testing_support {

// The path of a shipped program (L"Kelvane.exe"): in the build's dist/, or in
// the folder the environment variable KELVANE_TEST_DIST names (the signing
// test points it at the programs of a signed build).
const wchar_t* ShippedProgram(const wchar_t* fileName);
#define KELVANE_EXE ::testing_support::ShippedProgram(L"Kelvane.exe")
#define QUINTAR_EXE ::testing_support::ShippedProgram(L"QUINTAR.exe")

std::string ReadBytes(const std::wstring& path);  // empty when the file is missing
// WriteBytes and CopyInto ASSERT inside: call them under ASSERT_NO_FATAL_FAILURE.
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool PathExists(const std::wstring& path);
void MakeDirs(const std::wstring& path);
void RemoveTree(const std::wstring& path);  // also read-only files; missing is fine
void CopyInto(const std::wstring& source, const std::wstring& destination);

// The UTF-16LE bytes of text, as the Run log holds it.
std::string Utf16Bytes(const std::wstring& text);
std::wstring FromUtf16Bytes(const std::string& bytes);
// Each UTF-16 unit as one byte: for comparing ASCII text in messages.
std::string Narrow(const std::wstring& text);
// Console text as it reaches a pipe: every "\n" gains a "\r" before it.
std::string ConsoleBytes(const std::string& text);

}  // namespace testing_support
