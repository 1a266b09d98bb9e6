// QUINTAR's resources, read back from the built file: manifest, version
// information and its one string, all in English (United States).
#include "files.h"
#include "resources.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

constexpr UINT kProgramNameString = 103;

const ExpectedVersion kQuintarVersion = {
    0x00140003,
    0x00090001,
    {
        {L"CompanyName", L"Brevik"},
        {L"FileDescription", L"QUINTAR"},
        {L"FileVersion", L"20.3.9.1"},
        {L"InternalName", L"QUINTAR.exe"},
        {L"LegalCopyright", L"Copyright (C) Brevik. All rights reserved."},
        {L"OriginalFilename", L"QUINTAR.exe"},
        {L"ProductName", L"QUINTAR"},
        {L"ProductVersion", L"20.3.9.1"},
    },
};

TEST(quintar_resources, all_resources_are_english_us)
{
    const UniqueLibrary module = LoadAsData(QUINTAR_EXE);
    ASSERT_NE(module.get(), nullptr) << ::GetLastError();
    const std::vector<ResourceEntry> entries = AllResources(module.get());
    ASSERT_NO_FATAL_FAILURE(ExpectAllInEnglishUs(entries));
    EXPECT_EQ(TypesOf(entries), (std::set<std::wstring>{L"#6", L"#16", L"#24"}));
    EXPECT_EQ(NamesOf(entries, RT_MANIFEST), std::set<std::wstring>{L"#1"});
    EXPECT_EQ(NamesOf(entries, RT_VERSION), std::set<std::wstring>{L"#1"});
    // Strings live in blocks of 16; string 103 is in block 7.
    EXPECT_EQ(NamesOf(entries, RT_STRING), std::set<std::wstring>{L"#7"});
}

TEST(quintar_resources, manifest_runs_as_invoker_and_is_dpi_aware)
{
    ASSERT_NO_FATAL_FAILURE(ExpectManifest(QUINTAR_EXE, "asInvoker"));
}

TEST(quintar_resources, version_resource_holds_every_field)
{
    ASSERT_NO_FATAL_FAILURE(ExpectVersionTree(QUINTAR_EXE, kQuintarVersion));
}

TEST(quintar_resources, version_queries_read_every_field)
{
    ASSERT_NO_FATAL_FAILURE(ExpectVersionQueries(QUINTAR_EXE, kQuintarVersion));
}

TEST(quintar_resources, string_table_holds_only_string_103)
{
    const UniqueLibrary module = LoadAsData(QUINTAR_EXE);
    ASSERT_NE(module.get(), nullptr) << ::GetLastError();
    ASSERT_NE(
        ::FindResourceExW(module.get(), RT_STRING, MAKEINTRESOURCEW(kProgramNameString / 16 + 1), kEnglishUs), nullptr);
    wchar_t text[64] = {};
    EXPECT_EQ(::LoadStringW(module.get(), kProgramNameString, text, 64), 7);
    EXPECT_STREQ(text, L"QUINTAR");
    for (UINT id = kProgramNameString / 16 * 16; id < (kProgramNameString / 16 + 1) * 16; ++id) {
        if (id == kProgramNameString)
            continue;
        wchar_t other[64] = {};
        EXPECT_EQ(::LoadStringW(module.get(), id, other, 64), 0) << "string " << id;
    }
}

}  // namespace
