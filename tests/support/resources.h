#pragma once
// The resources of a built program, read back from the file the way Windows
// and Explorer read them. The Expect helpers ASSERT inside: call them under
// ASSERT_NO_FATAL_FAILURE.
#include "test_owners.h"

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace testing_support {

constexpr WORD kEnglishUs = 0x0409;
constexpr WORD kUnicodeCodePage = 1200;

// The program mapped as data, for its resources: nothing of it runs.
UniqueLibrary LoadAsData(const wchar_t* path);

// The bytes of one resource; empty when it is missing.
std::vector<unsigned char> ResourceBytes(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);
// The little-endian 16-bit word at offset.
WORD WordAt(const std::vector<unsigned char>& bytes, std::size_t offset);

// One resource: its type and name ("#n" for a number) and language.
struct ResourceEntry {
    std::wstring type;
    std::wstring name;
    WORD language;
};
std::vector<ResourceEntry> AllResources(HMODULE module);
std::set<std::wstring> TypesOf(const std::vector<ResourceEntry>& entries);
std::set<std::wstring> NamesOf(const std::vector<ResourceEntry>& entries, LPCWSTR type);
void ExpectAllInEnglishUs(const std::vector<ResourceEntry>& entries);

// A version resource as the programs carry it: the same number as file and
// product version, and the string fields of block 040904b0.
struct ExpectedVersion {
    DWORD versionMS;
    DWORD versionLS;
    std::map<std::wstring, std::wstring> strings;
};
// The raw tree of VS_VERSIONINFO nodes, so that missing and extra fields show.
void ExpectVersionTree(const wchar_t* program, const ExpectedVersion& expected);
// The platform's own reading of the same resource.
void ExpectVersionQueries(const wchar_t* program, const ExpectedVersion& expected);

// Manifest 1: the execution level asked for, uiAccess false, DPI aware.
void ExpectManifest(const wchar_t* program, const char* executionLevel);

}  // namespace testing_support
