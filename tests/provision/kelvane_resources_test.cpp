// Kelvane's resources, read back from the built file: manifest, version
// information and icon, all in English (United States).
#include "files.h"
#include "resources.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

constexpr WORD kIconGroup = 101;

const ExpectedVersion kKelvaneVersion = {
    0x00010000,
    0x00000003,
    {
        {L"CompanyName", L"Brevik"},
        {L"FileDescription", L"Kelvane"},
        {L"FileVersion", L"1.0.0.3"},
        {L"InternalName", L"Kelvane.exe"},
        {L"LegalCopyright", L"Copyright (C) Brevik. All rights reserved."},
        {L"OriginalFilename", L"Kelvane.exe"},
        {L"ProductName", L"Kelvane"},
        {L"ProductVersion", L"1.0.0.3"},
    },
};

// ---------------------------------------------------------------------------
// Icon group: GRPICONDIR, then one GRPICONDIRENTRY of 14 bytes per image.

struct IconEntry {
    unsigned width;
    unsigned height;
    unsigned colorCount;
    unsigned planes;
    unsigned bitCount;
    DWORD bytesInRes;
    WORD id;
};

std::vector<IconEntry> ParseIconGroup(const std::vector<unsigned char>& bytes, WORD& reserved, WORD& type)
{
    std::vector<IconEntry> entries;
    if (bytes.size() < 6)
        return entries;
    reserved = WordAt(bytes, 0);
    type = WordAt(bytes, 2);
    const std::size_t count = WordAt(bytes, 4);
    if (bytes.size() != 6 + count * 14)
        return entries;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 6 + i * 14;
        IconEntry entry{};
        entry.width = bytes[at];
        entry.height = bytes[at + 1];
        entry.colorCount = bytes[at + 2];
        entry.planes = WordAt(bytes, at + 4);
        entry.bitCount = WordAt(bytes, at + 6);
        entry.bytesInRes = static_cast<DWORD>(WordAt(bytes, at + 8) | (WordAt(bytes, at + 10) << 16));
        entry.id = WordAt(bytes, at + 12);
        entries.push_back(entry);
    }
    return entries;
}

TEST(kelvane_resources, all_resources_are_english_us)
{
    const UniqueLibrary module = LoadAsData(KELVANE_EXE);
    ASSERT_NE(module.get(), nullptr) << ::GetLastError();
    const std::vector<ResourceEntry> entries = AllResources(module.get());
    ASSERT_NO_FATAL_FAILURE(ExpectAllInEnglishUs(entries));
    EXPECT_EQ(TypesOf(entries), (std::set<std::wstring>{L"#3", L"#14", L"#16", L"#24"}));
    EXPECT_EQ(NamesOf(entries, RT_MANIFEST), std::set<std::wstring>{L"#1"});
    EXPECT_EQ(NamesOf(entries, RT_VERSION), std::set<std::wstring>{L"#1"});
    EXPECT_EQ(NamesOf(entries, RT_GROUP_ICON), std::set<std::wstring>{L"#101"});
    EXPECT_EQ(NamesOf(entries, RT_ICON).size(), 7u);
}

TEST(kelvane_resources, manifest_requires_administrator_and_is_dpi_aware)
{
    ASSERT_NO_FATAL_FAILURE(ExpectManifest(KELVANE_EXE, "requireAdministrator"));
}

TEST(kelvane_resources, version_resource_holds_every_field)
{
    ASSERT_NO_FATAL_FAILURE(ExpectVersionTree(KELVANE_EXE, kKelvaneVersion));
}

TEST(kelvane_resources, version_queries_read_every_field)
{
    ASSERT_NO_FATAL_FAILURE(ExpectVersionQueries(KELVANE_EXE, kKelvaneVersion));
}

TEST(kelvane_resources, icon_group_101_holds_seven_24_bit_images)
{
    const UniqueLibrary module = LoadAsData(KELVANE_EXE);
    ASSERT_NE(module.get(), nullptr) << ::GetLastError();
    const std::vector<unsigned char> group =
        ResourceBytes(module.get(), RT_GROUP_ICON, MAKEINTRESOURCEW(kIconGroup), kEnglishUs);
    ASSERT_FALSE(group.empty()) << "no icon group 101 in language 0x0409";
    WORD reserved = 0xFFFF;
    WORD type = 0;
    const std::vector<IconEntry> entries = ParseIconGroup(group, reserved, type);
    EXPECT_EQ(reserved, 0);
    EXPECT_EQ(type, 1);

    const unsigned sizes[] = {256, 128, 96, 48, 32, 24, 16};
    ASSERT_EQ(entries.size(), std::size(sizes));
    std::set<WORD> ids;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const IconEntry& entry = entries[i];
        const unsigned size = sizes[i];
        SCOPED_TRACE(testing::Message() << "image " << i << " of " << size << " pixels");
        // A byte holds sizes up to 255; 256 is written as 0.
        EXPECT_EQ(entry.width, size % 256);
        EXPECT_EQ(entry.height, size % 256);
        EXPECT_EQ(entry.colorCount, 0u);
        EXPECT_EQ(entry.planes, 1u);
        EXPECT_EQ(entry.bitCount, 24u);
        ids.insert(entry.id);

        const std::vector<unsigned char> image =
            ResourceBytes(module.get(), RT_ICON, MAKEINTRESOURCEW(entry.id), kEnglishUs);
        ASSERT_EQ(image.size(), entry.bytesInRes);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER header{};
        std::memcpy(&header, image.data(), sizeof(header));
        EXPECT_EQ(header.biSize, sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(header.biWidth, static_cast<LONG>(size));
        // The height counts the colour image and the transparency mask.
        EXPECT_EQ(header.biHeight, static_cast<LONG>(2 * size));
        EXPECT_EQ(header.biPlanes, 1);
        EXPECT_EQ(header.biBitCount, 24);
        EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
        // Colour rows and mask rows, each padded to 4 bytes.
        const std::size_t colourRow = (size * 3 + 3) / 4 * 4;
        const std::size_t maskRow = (size + 31) / 32 * 4;
        EXPECT_EQ(image.size(), sizeof(BITMAPINFOHEADER) + size * (colourRow + maskRow));
    }
    EXPECT_EQ(ids.size(), entries.size()) << "each image has its own resource";
}

}  // namespace
