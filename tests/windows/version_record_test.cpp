// NIVOR.EXE's version record and icon, read back the way Windows itself reads
// them. Runs in the directory that holds NIVOR.EXE.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace {

constexpr char kProgram[] = "NIVOR.EXE";
constexpr WORD kGerman = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);

std::string FullPath(const char* name) {
    char path[MAX_PATH];
    const DWORD length = GetFullPathNameA(name, MAX_PATH, path, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

std::vector<unsigned char> VersionInfo(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<unsigned char> info(size);
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, info.data())) info.clear();
    return info;
}

// VerQueryValueA on a string of the German table; false when it is absent.
bool QueryString(std::vector<unsigned char>& info, const std::string& name, std::string& value) {
    const std::string query = "\\StringFileInfo\\040704E4\\" + name;
    void* text = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query.c_str(), &text, &length) || text == nullptr) return false;
    value = static_cast<const char*>(text);
    return true;
}

// One node of the raw record: a length, a value, a key and its children.
struct VersionNode {
    std::string key;
    std::size_t value_begin;
    std::size_t value_size;
    std::size_t children_begin;
    std::size_t end;
};

std::size_t DwordAligned(std::size_t offset) { return (offset + 3) & ~static_cast<std::size_t>(3); }

WORD WordAt(const std::vector<unsigned char>& data, std::size_t offset) {
    WORD word = 0;
    if (offset + sizeof word <= data.size()) std::memcpy(&word, &data[offset], sizeof word);
    return word;
}

// Keys are UTF-16; the record's keys are all ASCII.
VersionNode NodeAt(const std::vector<unsigned char>& data, std::size_t at) {
    VersionNode node{};
    const WORD length = WordAt(data, at);
    const WORD value_length = WordAt(data, at + 2);
    const bool text_value = WordAt(data, at + 4) == 1;
    std::size_t offset = at + 6;
    for (; offset + 2 <= data.size() && WordAt(data, offset) != 0; offset += 2)
        node.key += static_cast<char>(WordAt(data, offset));
    node.value_begin = DwordAligned(offset + 2);
    node.value_size = text_value ? 2u * value_length : value_length;
    node.children_begin = DwordAligned(node.value_begin + node.value_size);
    node.end = std::min<std::size_t>(at + length, data.size());
    return node;
}

std::vector<VersionNode> Children(const std::vector<unsigned char>& data, const VersionNode& parent) {
    std::vector<VersionNode> children;
    for (std::size_t at = parent.children_begin; at + 6 <= parent.end;) {
        const VersionNode child = NodeAt(data, at);
        children.push_back(child);
        if (child.end <= at) break;
        at = DwordAligned(child.end);
    }
    return children;
}

std::vector<std::string> Keys(const std::vector<VersionNode>& nodes) {
    std::vector<std::string> keys;
    for (const VersionNode& node : nodes) keys.push_back(node.key);
    return keys;
}

std::vector<unsigned char> ResourceBytes(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
    HRSRC resource = FindResourceExA(module, type, name, language);
    if (resource == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return {};
    const auto* first = static_cast<const unsigned char*>(bytes);
    return std::vector<unsigned char>(first, first + SizeofResource(module, resource));
}

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int ResourceCount(HMODULE module, LPCSTR type) {
    int count = 0;
    EnumResourceNamesA(module, type, &CountName, reinterpret_cast<LONG_PTR>(&count));
    return count;
}

DWORD DwordAt(const std::vector<unsigned char>& data, std::size_t offset) {
    DWORD value = 0;
    if (offset + sizeof value <= data.size()) std::memcpy(&value, &data[offset], sizeof value);
    return value;
}

class VersionRecordTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = FullPath(kProgram);
        info_ = VersionInfo(path_);
        ASSERT_FALSE(info_.empty()) << "no version record in " << path_;
    }

    std::string path_;
    std::vector<unsigned char> info_;
};

TEST_F(VersionRecordTest, FixedPartGivesVersionFlagsSystemAndType) {
    void* fixed_part = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info_.data(), "\\", &fixed_part, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, fixed_part, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwStrucVersion, 0x00010000u);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00040000u);  // 4.0
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00050000u);  // .5.0
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00040000u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00050000u);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, 0u);
    EXPECT_EQ(fixed.dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed.dwFileSubtype, 0u);
    EXPECT_EQ(fixed.dwFileDateMS, 0u);
    EXPECT_EQ(fixed.dwFileDateLS, 0u);
}

TEST_F(VersionRecordTest, TranslationIsGermanInCodePage1252) {
    void* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info_.data(), "\\VarFileInfo\\Translation", &translation, &length));
    ASSERT_EQ(length, 4u);
    WORD pair[2];
    std::memcpy(pair, translation, sizeof pair);
    EXPECT_EQ(pair[0], 0x0407);
    EXPECT_EQ(pair[1], 1252);
}

TEST_F(VersionRecordTest, EveryStringHasItsText) {
    const struct {
        const char* name;
        const char* text;
    } strings[] = {
        {"Comments", ""},
        {"CompanyName", "NIVOR-Projekt"},
        {"FileDescription", "Ping an Terminal"},
        {"FileVersion", "4.0.5.0"},
        {"InternalName", "NIVOR.EXE"},
        {"LegalCopyright", "Copyright (C) 2026 NIVOR-Projekt"},
        {"OriginalFilename", "NIVOR.EXE"},
        {"ProductName", "NIVOR"},
        {"ProductVersion", "5"},
    };
    for (const auto& string : strings) {
        std::string value = "(absent)";
        EXPECT_TRUE(QueryString(info_, string.name, value)) << string.name;
        EXPECT_EQ(value, string.text) << string.name;
    }
    std::string value;
    EXPECT_FALSE(QueryString(info_, "PrivateBuild", value));
}

TEST_F(VersionRecordTest, RawRecordHoldsOneGermanTableWithExactlyTheseStrings) {
    HMODULE module = LoadLibraryExA(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(ResourceCount(module, RT_VERSION), 1);
    const std::vector<unsigned char> record = ResourceBytes(module, RT_VERSION, MAKEINTRESOURCEA(1), kGerman);
    FreeLibrary(module);
    ASSERT_FALSE(record.empty()) << "no German version resource 1";

    const VersionNode root = NodeAt(record, 0);
    EXPECT_EQ(root.key, "VS_VERSION_INFO");
    EXPECT_EQ(root.value_size, sizeof(VS_FIXEDFILEINFO));
    const std::vector<VersionNode> blocks = Children(record, root);
    ASSERT_EQ(Keys(blocks), (std::vector<std::string>{"StringFileInfo", "VarFileInfo"}));
    const std::vector<VersionNode> tables = Children(record, blocks[0]);
    ASSERT_EQ(Keys(tables), std::vector<std::string>{"040704E4"});
    EXPECT_EQ(Keys(Children(record, tables[0])),
              (std::vector<std::string>{"Comments", "CompanyName", "FileDescription", "FileVersion", "InternalName",
                                        "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"}));
    EXPECT_EQ(Keys(Children(record, blocks[1])), std::vector<std::string>{"Translation"});
}

TEST_F(VersionRecordTest, OneIconOf32By32In16Colours) {
    HMODULE module = LoadLibraryExA(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(ResourceCount(module, RT_GROUP_ICON), 1);
    EXPECT_EQ(ResourceCount(module, RT_ICON), 1);
    const std::vector<unsigned char> group = ResourceBytes(module, RT_GROUP_ICON, MAKEINTRESOURCEA(1), kGerman);
    ASSERT_EQ(group.size(), 6u + 14u) << "a directory of exactly one entry";
    EXPECT_EQ(WordAt(group, 0), 0);  // reserved
    EXPECT_EQ(WordAt(group, 2), 1);  // icons, not cursors
    EXPECT_EQ(WordAt(group, 4), 1);  // entries
    EXPECT_EQ(group[6], 32);         // width
    EXPECT_EQ(group[7], 32);         // height
    EXPECT_EQ(group[8], 16);         // colours
    EXPECT_EQ(WordAt(group, 10), 1); // planes
    EXPECT_EQ(WordAt(group, 12), 4); // bits per pixel
    const DWORD image_size = DwordAt(group, 14);
    const WORD image_id = WordAt(group, 18);

    const std::vector<unsigned char> image =
        ResourceBytes(module, RT_ICON, MAKEINTRESOURCEA(image_id), kGerman);
    FreeLibrary(module);
    ASSERT_EQ(image.size(), image_size);
    // A device-independent bitmap: colour image and mask stacked, 16 palette
    // entries, 4 bits a pixel, 32-pixel rows of 16 bytes and 4 bytes of mask.
    EXPECT_EQ(DwordAt(image, 0), 40u);
    EXPECT_EQ(DwordAt(image, 4), 32u);
    EXPECT_EQ(DwordAt(image, 8), 64u);
    EXPECT_EQ(WordAt(image, 12), 1);
    EXPECT_EQ(WordAt(image, 14), 4);
    EXPECT_EQ(DwordAt(image, 16), 0u);  // uncompressed
    ASSERT_EQ(image.size(), 40u + 16u * 4u + 32u * 16u + 32u * 4u);
    // The mask (the last 128 bytes) leaves some of the picture visible.
    EXPECT_TRUE(std::any_of(image.end() - 128, image.end(), [](unsigned char bits) { return bits != 0xFF; }));
    EXPECT_EQ(LookupIconIdFromDirectoryEx(const_cast<unsigned char*>(group.data()), TRUE, 32, 32, LR_DEFAULTCOLOR),
              image_id);
}

}  // namespace
