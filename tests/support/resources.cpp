#include "resources.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace testing_support {

UniqueLibrary LoadAsData(const wchar_t* path)
{
    return UniqueLibrary(::LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

WORD WordAt(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    return static_cast<WORD>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::vector<unsigned char> ResourceBytes(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language)
{
    const HRSRC info = ::FindResourceExW(module, type, name, language);
    if (info == nullptr)
        return {};
    const HGLOBAL loaded = ::LoadResource(module, info);
    const auto* data = static_cast<const unsigned char*>(::LockResource(loaded));
    const DWORD size = ::SizeofResource(module, info);
    if (data == nullptr)
        return {};
    return std::vector<unsigned char>(data, data + size);
}

std::wstring IdText(LPCWSTR id)
{
    if (IS_INTRESOURCE(id))
        return L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(id));
    return id;
}

namespace {

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR param)
{
    reinterpret_cast<std::vector<ResourceEntry>*>(param)->push_back({IdText(type), IdText(name), language});
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param)
{
    ::EnumResourceLanguagesW(module, type, name, CollectLanguage, param);
    return TRUE;
}

BOOL CALLBACK CollectType(HMODULE module, LPWSTR type, LONG_PTR param)
{
    ::EnumResourceNamesW(module, type, CollectName, param);
    return TRUE;
}

}  // namespace

std::vector<ResourceEntry> AllResources(HMODULE module)
{
    std::vector<ResourceEntry> entries;
    ::EnumResourceTypesW(module, CollectType, reinterpret_cast<LONG_PTR>(&entries));
    return entries;
}

std::set<std::wstring> TypesOf(const std::vector<ResourceEntry>& entries)
{
    std::set<std::wstring> types;
    for (const ResourceEntry& entry : entries)
        types.insert(entry.type);
    return types;
}

std::set<std::wstring> NamesOf(const std::vector<ResourceEntry>& entries, LPCWSTR type)
{
    std::set<std::wstring> names;
    for (const ResourceEntry& entry : entries) {
        if (entry.type == IdText(type))
            names.insert(entry.name);
    }
    return names;
}

void ExpectAllInEnglishUs(const std::vector<ResourceEntry>& entries)
{
    ASSERT_FALSE(entries.empty());
    for (const ResourceEntry& entry : entries) {
        EXPECT_EQ(entry.language, kEnglishUs)
            << "type " << testing::PrintToString(entry.type) << " name " << testing::PrintToString(entry.name);
    }
}

// ---------------------------------------------------------------------------
// Version resource: the raw tree of VS_VERSIONINFO nodes, so that missing and
// extra fields show, and the platform's own reading of it.

namespace {

struct VersionNode {
    std::wstring key;
    WORD type = 0;
    std::vector<unsigned char> value;
    std::vector<VersionNode> children;
};

std::size_t AlignTo4(std::size_t offset)
{
    return (offset + 3) & ~static_cast<std::size_t>(3);
}

// Parses the node at `offset`; false when it does not fit in [offset, limit).
bool ParseVersionNode(const std::vector<unsigned char>& bytes, std::size_t offset, std::size_t limit, VersionNode& node)
{
    if (offset + 6 > limit)
        return false;
    const std::size_t length = WordAt(bytes, offset);
    const std::size_t valueLength = WordAt(bytes, offset + 2);
    node.type = WordAt(bytes, offset + 4);
    const std::size_t end = offset + length;
    if (length < 6 || end > limit)
        return false;
    std::size_t at = offset + 6;
    for (;; at += 2) {
        if (at + 2 > end)
            return false;
        const WORD unit = WordAt(bytes, at);
        if (unit == 0)
            break;
        node.key.push_back(static_cast<wchar_t>(unit));
    }
    at = AlignTo4(at + 2);
    // Text values count UTF-16 units, binary values bytes.
    const std::size_t valueBytes = node.type == 1 ? valueLength * 2 : valueLength;
    if (at + valueBytes > end)
        return false;
    node.value.assign(
        bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + valueBytes));
    at = AlignTo4(at + valueBytes);
    while (at < end) {
        VersionNode child;
        if (!ParseVersionNode(bytes, at, end, child))
            return false;
        at = AlignTo4(at + WordAt(bytes, at));
        node.children.push_back(child);
    }
    return true;
}

std::vector<std::wstring> KeysOf(const VersionNode& node)
{
    std::vector<std::wstring> keys;
    for (const VersionNode& child : node.children)
        keys.push_back(child.key);
    return keys;
}

const VersionNode* ChildOf(const VersionNode& node, const wchar_t* key)
{
    for (const VersionNode& child : node.children) {
        if (child.key == key)
            return &child;
    }
    return nullptr;
}

// A text value with exactly one terminating null, else a marker that fails
// any comparison with a real value.
std::wstring TextOf(const VersionNode& node)
{
    std::wstring text;
    for (std::size_t i = 0; i + 1 < node.value.size(); i += 2)
        text.push_back(static_cast<wchar_t>(node.value[i] | (node.value[i + 1] << 8)));
    if (node.type != 1 || text.empty() || text.back() != L'\0')
        return L"<not a terminated text value>";
    text.pop_back();
    return text;
}

void ExpectFixedInfo(const VS_FIXEDFILEINFO& fixed, const ExpectedVersion& expected)
{
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwStrucVersion, 0x00010000u);
    EXPECT_EQ(fixed.dwFileVersionMS, expected.versionMS);
    EXPECT_EQ(fixed.dwFileVersionLS, expected.versionLS);
    EXPECT_EQ(fixed.dwProductVersionMS, expected.versionMS);
    EXPECT_EQ(fixed.dwProductVersionLS, expected.versionLS);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, 0u);
    EXPECT_EQ(fixed.dwFileOS, 0x40004u);
    EXPECT_EQ(fixed.dwFileType, 1u);
    EXPECT_EQ(fixed.dwFileSubtype, 0u);
    EXPECT_EQ(fixed.dwFileDateMS, 0u);
    EXPECT_EQ(fixed.dwFileDateLS, 0u);
}

}  // namespace

void ExpectVersionTree(const wchar_t* program, const ExpectedVersion& expected)
{
    const UniqueLibrary module = LoadAsData(program);
    ASSERT_NE(module.get(), nullptr) << ::GetLastError();
    const std::vector<unsigned char> bytes =
        ResourceBytes(module.get(), MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(VS_VERSION_INFO), kEnglishUs);
    ASSERT_FALSE(bytes.empty()) << "no version resource 1 in language 0x0409";

    VersionNode root;
    ASSERT_TRUE(ParseVersionNode(bytes, 0, bytes.size(), root));
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed{};
    std::memcpy(&fixed, root.value.data(), sizeof(fixed));
    ExpectFixedInfo(fixed, expected);
    EXPECT_EQ(KeysOf(root), (std::vector<std::wstring>{L"StringFileInfo", L"VarFileInfo"}));

    const VersionNode* stringFileInfo = ChildOf(root, L"StringFileInfo");
    ASSERT_NE(stringFileInfo, nullptr);
    EXPECT_EQ(KeysOf(*stringFileInfo), std::vector<std::wstring>{L"040904b0"});
    const VersionNode* block = ChildOf(*stringFileInfo, L"040904b0");
    ASSERT_NE(block, nullptr);
    std::map<std::wstring, std::wstring> strings;
    for (const VersionNode& entry : block->children) {
        EXPECT_EQ(strings.count(entry.key), 0u) << "duplicate " << testing::PrintToString(entry.key);
        strings[entry.key] = TextOf(entry);
    }
    EXPECT_EQ(strings, expected.strings);

    const VersionNode* varFileInfo = ChildOf(root, L"VarFileInfo");
    ASSERT_NE(varFileInfo, nullptr);
    ASSERT_EQ(KeysOf(*varFileInfo), std::vector<std::wstring>{L"Translation"});
    EXPECT_EQ(varFileInfo->children[0].type, 0);
    EXPECT_EQ(varFileInfo->children[0].value, (std::vector<unsigned char>{0x09, 0x04, 0xB0, 0x04}));
}

void ExpectVersionQueries(const wchar_t* program, const ExpectedVersion& expected)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(program, &ignored);
    ASSERT_GT(size, 0u) << ::GetLastError();
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(program, 0, size, info.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    ExpectFixedInfo(*static_cast<const VS_FIXEDFILEINFO*>(value), expected);

    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 2 * sizeof(WORD));
    const auto* translation = static_cast<const WORD*>(value);
    EXPECT_EQ(translation[0], kEnglishUs);
    EXPECT_EQ(translation[1], kUnicodeCodePage);

    for (const auto& field : expected.strings) {
        const std::wstring path = L"\\StringFileInfo\\040904b0\\" + field.first;
        ASSERT_TRUE(::VerQueryValueW(info.data(), path.c_str(), &value, &length))
            << testing::PrintToString(field.first);
        EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), field.second)
            << testing::PrintToString(field.first);
    }
}

// ---------------------------------------------------------------------------
// Manifest

namespace {

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The value of `attribute` in the first start tag of `element`.
std::string AttributeOf(const std::string& xml, const std::string& element, const std::string& attribute)
{
    const std::size_t tag = xml.find("<" + element);
    if (tag == std::string::npos)
        return "<no element>";
    const std::size_t tagEnd = xml.find('>', tag);
    const std::string needle = " " + attribute + "=\"";
    const std::size_t at = xml.find(needle, tag);
    if (at == std::string::npos || at > tagEnd)
        return "<no attribute>";
    const std::size_t begin = at + needle.size();
    return xml.substr(begin, xml.find('"', begin) - begin);
}

std::string TextOfElement(const std::string& xml, const std::string& element)
{
    const std::size_t tag = xml.find("<" + element);
    if (tag == std::string::npos)
        return "<no element>";
    const std::size_t begin = xml.find('>', tag) + 1;
    const std::size_t end = xml.find("</" + element + ">", begin);
    if (end == std::string::npos)
        return "<not closed>";
    return xml.substr(begin, end - begin);
}

}  // namespace

void ExpectManifest(const wchar_t* program, const char* executionLevel)
{
    const UniqueLibrary module = LoadAsData(program);
    ASSERT_NE(module.get(), nullptr) << ::GetLastError();
    const std::vector<unsigned char> bytes =
        ResourceBytes(module.get(), MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), kEnglishUs);
    ASSERT_FALSE(bytes.empty()) << "no manifest 1 in language 0x0409";
    const std::string xml(bytes.begin(), bytes.end());

    EXPECT_THAT(xml, ::testing::StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"));
    EXPECT_EQ(CountOf(xml, "<requestedExecutionLevel"), 1u);
    EXPECT_EQ(AttributeOf(xml, "requestedExecutionLevel", "level"), executionLevel);
    EXPECT_EQ(AttributeOf(xml, "requestedExecutionLevel", "uiAccess"), "false");
    EXPECT_EQ(CountOf(xml, "<dpiAware"), 1u);
    EXPECT_EQ(AttributeOf(xml, "dpiAware", "xmlns"), "http://schemas.microsoft.com/SMI/2005/WindowsSettings");
    EXPECT_EQ(TextOfElement(xml, "dpiAware"), "true");
    EXPECT_EQ(CountOf(xml, "<assembly "), 1u);
    EXPECT_EQ(CountOf(xml, "</assembly>"), 1u);
}

}  // namespace testing_support
