// A program's version block read from its bytes: the PE file's resource
// directory, VS_VERSIONINFO, and the launcher floor checked on them.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/program_version.h"

namespace zelvra {
namespace {

// What the resource compiler (windres) makes of FILEVERSION 3,1,0,5, the
// strings FileVersion "3.1.0.5" and OriginalFilename "ZVCallUpdater.exe" in
// table "040904B0", and Translation 0x409, 1200.
constexpr char kCompiledBlockBytes[] =
    "\x58\x01\x34\x00\x00\x00\x56\x00\x53\x00\x5f\x00\x56\x00\x45\x00\x52\x00\x53\x00\x49\x00\x4f\x00"
    "\x4e\x00\x5f\x00\x49\x00\x4e\x00\x46\x00\x4f\x00\x00\x00\x00\x00\xbd\x04\xef\xfe\x00\x00\x01\x00"
    "\x01\x00\x03\x00\x05\x00\x00\x00\x01\x00\x03\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x04\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xb8\x00\x00\x00"
    "\x01\x00\x53\x00\x74\x00\x72\x00\x69\x00\x6e\x00\x67\x00\x46\x00\x69\x00\x6c\x00\x65\x00\x49\x00"
    "\x6e\x00\x66\x00\x6f\x00\x00\x00\x94\x00\x00\x00\x01\x00\x30\x00\x34\x00\x30\x00\x39\x00\x30\x00"
    "\x34\x00\x42\x00\x30\x00\x00\x00\x30\x00\x08\x00\x01\x00\x46\x00\x69\x00\x6c\x00\x65\x00\x56\x00"
    "\x65\x00\x72\x00\x73\x00\x69\x00\x6f\x00\x6e\x00\x00\x00\x00\x00\x33\x00\x2e\x00\x31\x00\x2e\x00"
    "\x30\x00\x2e\x00\x35\x00\x00\x00\x4c\x00\x12\x00\x01\x00\x4f\x00\x72\x00\x69\x00\x67\x00\x69\x00"
    "\x6e\x00\x61\x00\x6c\x00\x46\x00\x69\x00\x6c\x00\x65\x00\x6e\x00\x61\x00\x6d\x00\x65\x00\x00\x00"
    "\x5a\x00\x56\x00\x43\x00\x61\x00\x6c\x00\x6c\x00\x55\x00\x70\x00\x64\x00\x61\x00\x74\x00\x65\x00"
    "\x72\x00\x2e\x00\x65\x00\x78\x00\x65\x00\x00\x00\x44\x00\x00\x00\x01\x00\x56\x00\x61\x00\x72\x00"
    "\x46\x00\x69\x00\x6c\x00\x65\x00\x49\x00\x6e\x00\x66\x00\x6f\x00\x00\x00\x00\x00\x24\x00\x04\x00"
    "\x00\x00\x54\x00\x72\x00\x61\x00\x6e\x00\x73\x00\x6c\x00\x61\x00\x74\x00\x69\x00\x6f\x00\x6e\x00"
    "\x00\x00\x00\x00\x09\x04\xb0\x04";
const std::string kCompiledBlock(kCompiledBlockBytes, sizeof(kCompiledBlockBytes) - 1);
const ProgramVersion kCompiledVersion{FileVersion(3, 1, 0, 5), u"ZVCallUpdater.exe"};

void Put16(std::string& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<char>(value);
  bytes[at + 1] = static_cast<char>(value >> 8);
}
void Put32(std::string& bytes, size_t at, uint32_t value) {
  Put16(bytes, at, value & 0xFFFF);
  Put16(bytes, at + 2, value >> 16);
}
std::string Le32(uint32_t value) {
  std::string bytes(4, '\0');
  Put32(bytes, 0, value);
  return bytes;
}
std::string Utf16z(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text + u'\0') bytes += {static_cast<char>(unit), static_cast<char>(unit >> 8)};
  return bytes;
}
void Pad4(std::string& bytes) { bytes.resize((bytes.size() + 3) & ~size_t{3}, '\0'); }
// Where the node with `key` starts in a block.
size_t NodeAt(const std::string& block, const std::u16string& key) { return block.find(Utf16z(key)) - 6; }

// A version block node; a text value counts in characters.
std::string Node(const std::u16string& key, const std::string& value, bool text,
                 const std::vector<std::string>& children = {}) {
  std::string node(6, '\0');
  node += Utf16z(key);
  Pad4(node);
  node += value;
  for (const std::string& child : children) {
    Pad4(node);
    node += child;
  }
  Put16(node, 0, static_cast<uint32_t>(node.size()));
  Put16(node, 2, static_cast<uint32_t>(text ? value.size() / 2 : value.size()));
  Put16(node, 4, text ? 1 : 0);
  return node;
}
std::string Table(const std::u16string& key, const std::u16string& originalFilename) {
  return Node(key, "", true, {Node(u"OriginalFilename", Utf16z(originalFilename), true)});
}
std::string Block(const std::vector<std::string>& tables, const std::vector<uint32_t>& translations) {
  std::string fixed = Le32(0xFEEF04BD) + Le32(0x10000) + Le32(0x00030001) + Le32(0x00000005);
  fixed.resize(52, '\0');
  std::string languages;
  for (uint32_t translation : translations) languages += Le32(translation);
  std::vector<std::string> children = {Node(u"StringFileInfo", "", true, tables)};
  if (!translations.empty())
    children.push_back(Node(u"VarFileInfo", "", true, {Node(u"Translation", languages, false)}));
  return Node(u"VS_VERSION_INFO", fixed, false, children);
}

TEST(ParseVersionBlock, ReadsTheVersionAndTheNameOfTheTranslationsTable) {
  const uint32_t english = 0x04B00409, korean = 0x04B00412;  // code page 1200 above the language
  std::string wrongKey = kCompiledBlock, wrongSignature = kCompiledBlock, pastTable = kCompiledBlock,
              empty = kCompiledBlock, bytesCounted = kCompiledBlock;
  wrongKey[NodeAt(wrongKey, u"VS_VERSION_INFO") + 6] = 'W';
  wrongSignature[0x28] ^= 1;
  const size_t name = NodeAt(kCompiledBlock, u"OriginalFilename");
  Put16(pastTable, name, static_cast<uint8_t>(kCompiledBlock[name]) + 2);  // its table ends where it does
  Put16(empty, NodeAt(empty, u"StringFileInfo"), 0);
  Put16(bytesCounted, name + 2, 36);  // the text counted in bytes, beyond the node: read up to its NUL
  struct Case {
    const char* description;
    std::string block;
    std::optional<ProgramVersion> read;
  };
  const Case cases[] = {
      {"as compiled", kCompiledBlock, kCompiledVersion},
      {"with padding after it", kCompiledBlock + std::string(7, '\0'), kCompiledVersion},
      {"the text's length in bytes", bytesCounted, kCompiledVersion},
      {"root key not VS_VERSION_INFO", wrongKey, std::nullopt},
      {"fixed info without its signature", wrongSignature, std::nullopt},
      {"a string running past its table", pastTable, std::nullopt},
      {"a node of length 0", empty, std::nullopt},
      {"first translation's table, not the first table",
       Block({Table(u"040904b0", u"first.exe"), Table(u"041204B0", u"translated.exe")}, {korean, english}),
       ProgramVersion{FileVersion(3, 1, 0, 5), u"translated.exe"}},
      {"no translation: the first table",
       Block({Table(u"040904b0", u"first.exe"), Table(u"041204b0", u"second.exe")}, {}),
       ProgramVersion{FileVersion(3, 1, 0, 5), u"first.exe"}},
      {"a translation without its table: the first table",
       Block({Table(u"040904b0", u"first.exe"), Table(u"041204b0", u"second.exe")}, {0x04E40419}),
       ProgramVersion{FileVersion(3, 1, 0, 5), u"first.exe"}},
      {"no OriginalFilename", Block({Node(u"040904b0", "", true)}, {english}),
       ProgramVersion{FileVersion(3, 1, 0, 5), u""}},
  };
  for (const Case& c : cases) {
    const std::optional<ProgramVersion> read =
        ParseVersionBlock(reinterpret_cast<const uint8_t*>(c.block.data()), c.block.size());
    ASSERT_EQ(c.read.has_value(), read.has_value()) << c.description;
    if (!read) continue;
    EXPECT_EQ(c.read->fileVersion, read->fileVersion) << c.description;
    EXPECT_EQ(c.read->originalFilename, read->originalFilename) << c.description;
  }
}

TEST(ParseVersionBlock, ABlockCutShortAnywhereIsMalformed) {
  for (size_t size = 0; size < kCompiledBlock.size(); ++size) {
    // A copy of exactly that size, so that a read past it is caught.
    const std::vector<uint8_t> cut(kCompiledBlock.begin(), kCompiledBlock.begin() + static_cast<ptrdiff_t>(size));
    EXPECT_FALSE(ParseVersionBlock(cut.data(), cut.size())) << size;
  }
}

// A PE file as a linker lays it out: the headers, one section (.rsrc at
// address 0x1000, from file offset 0x200) holding the resource directory
// RT_VERSION / 1 / 0x409 and, after it, `block`.
constexpr size_t kOptionalHeader = 0x58;
constexpr uint32_t kSectionAddress = 0x1000;
constexpr size_t kRawData = 0x200;
constexpr size_t kTypeDirectory = kRawData, kDataEntry = kRawData + 0x48, kBlockOffset = 0x58;
size_t DataDirectories(bool pe32) { return kOptionalHeader + (pe32 ? 96 : 112); }
size_t SectionHeader(bool pe32) { return kOptionalHeader + (pe32 ? 224 : 240); }

std::string PortableExecutable(const std::string& block, bool pe32 = false) {
  std::string file(kRawData, '\0');
  file[0] = 'M';
  file[1] = 'Z';
  Put32(file, 0x3C, 0x40);
  Put32(file, 0x40, 0x00004550);
  Put16(file, 0x46, 1);  // one section
  Put16(file, 0x54, static_cast<uint32_t>(SectionHeader(pe32) - kOptionalHeader));
  Put16(file, kOptionalHeader, pe32 ? 0x10B : 0x20B);
  Put32(file, DataDirectories(pe32) - 4, 16);
  std::string resources(kBlockOffset, '\0');
  const uint32_t subdirectory = 0x80000000;
  for (const uint32_t entry : {0x00u, 0x18u, 0x30u}) Put16(resources, entry + 14, 1);  // one ID entry each
  Put32(resources, 0x10, 16);                                                          // RT_VERSION
  Put32(resources, 0x14, subdirectory | 0x18);
  Put32(resources, 0x28, 1);
  Put32(resources, 0x2C, subdirectory | 0x30);
  Put32(resources, 0x40, 0x409);
  Put32(resources, 0x44, 0x48);
  Put32(resources, 0x48, kSectionAddress + kBlockOffset);
  Put32(resources, 0x4C, static_cast<uint32_t>(block.size()));
  resources += block;
  const uint32_t size = static_cast<uint32_t>(resources.size());
  Put32(file, DataDirectories(pe32) + 16, kSectionAddress);
  Put32(file, DataDirectories(pe32) + 20, size);
  const size_t section = SectionHeader(pe32);
  file.replace(section, 6, ".rsrc\0", 6);
  Put32(file, section + 8, size);
  Put32(file, section + 12, kSectionAddress);
  Put32(file, section + 16, size);
  Put32(file, section + 20, kRawData);
  return file + resources;
}

TEST(ReadProgramVersion, FindsTheVersionResourceThroughTheSectionTable) {
  const std::string file = PortableExecutable(kCompiledBlock);
  const size_t resourceDirectory = DataDirectories(false) + 16, section = SectionHeader(false);
  struct Case {
    const char* description;
    size_t at;
    std::optional<uint32_t> value;  // the 32-bit field at `at`; none: the file cut to `at` bytes
    bool read;
  };
  const Case cases[] = {
      {"as linked", file.size(), std::nullopt, true},
      {"the file cut short before the block ends", file.size() - 1, std::nullopt, false},
      {"the block's size cut by one byte", kDataEntry + 4, static_cast<uint32_t>(kCompiledBlock.size() - 1), false},
      {"the block's size wrapping 32 bits", kDataEntry + 4, 0xFFFFFFFF, false},
      {"the block's address past the section", kDataEntry, kSectionAddress + 0x10000, false},
      {"the PE header past the file", 0x3C, 0xFFFFFFF0, false},
      {"a section table past the file", 0x46, 0xFFFF, false},
      {"the resource directory outside every section", resourceDirectory, 0x3000, false},
      {"the resource directory past the section's raw data", resourceDirectory + 4, 0x10000, false},
      {"the resource directory's size wrapping 32 bits", resourceDirectory + 4, 0xFFFFFFFF, false},
      {"the section's raw data past the file", section + 20, 0xFFFFFF00, false},
      {"a subdirectory past the directory", kTypeDirectory + 0x14, 0x80FFFF00, false},
      {"the entry counted among the named ones", kTypeDirectory + 12, 0x00000001, true},
      {"more entries than the directory holds", kTypeDirectory + 12, 0xFFFF0000, false},
      {"the type's entry naming data, not a directory", kTypeDirectory + 0x14, 0x18, false},
      {"no RT_VERSION (only RT_GROUP_ICON)", kTypeDirectory + 0x10, 14, false},
      {"no resource directory", resourceDirectory, 0, false},
      {"the resource directory not counted", DataDirectories(false) - 4, 2, false},
      {"no PE signature", 0x40, 0x00004551, false},
  };
  for (const Case& c : cases) {
    std::string changed = file;
    if (c.value) {
      Put32(changed, c.at, *c.value);
    } else {
      changed.resize(c.at);
    }
    const std::vector<uint8_t> bytes(changed.begin(), changed.end());  // exactly its size
    const std::optional<ProgramVersion> read = ReadProgramVersion(bytes.data(), bytes.size());
    ASSERT_EQ(c.read, read.has_value()) << c.description;
    if (read) {
      EXPECT_EQ(kCompiledVersion.originalFilename, read->originalFilename) << c.description;
    }
  }
  const std::string pe32 = PortableExecutable(kCompiledBlock, true);
  const std::optional<ProgramVersion> read =
      ReadProgramVersion(reinterpret_cast<const uint8_t*>(pe32.data()), pe32.size());
  ASSERT_TRUE(read) << "PE32";
  EXPECT_EQ(kCompiledVersion.fileVersion, read->fileVersion);
}

TEST(MeetsLauncherFloor, TakesTheNamedLauncherFromTheFloorUp) {
  const LauncherFloor floor{true, FileVersion(3, 1, 0, 0), u"ZVCallUpdater.exe"};
  struct Case {
    std::optional<ProgramVersion> version;
    bool passes;
  };
  const Case cases[] = {
      {ProgramVersion{FileVersion(3, 1, 0, 5), u"ZVCallUpdater.exe"}, true},
      {ProgramVersion{FileVersion(3, 1, 0, 0), u"ZVCallUpdater.exe"}, true},
      {ProgramVersion{FileVersion(4, 0, 0, 0), u"zvcallupdater.EXE"}, true},
      {ProgramVersion{FileVersion(3, 0, 0, 1), u"ZVCallUpdater.exe"}, false},
      {ProgramVersion{FileVersion(3, 0, 0xFFFF, 0xFFFF), u"ZVCallUpdater.exe"}, false},
      {ProgramVersion{FileVersion(3, 1, 0, 5), u"ZVUpdater.exe"}, false},
      {ProgramVersion{FileVersion(3, 1, 0, 5), u"ZVCallUpdater.exe "}, false},
      {ProgramVersion{FileVersion(3, 1, 0, 5), u"ZVCallUpdater.ex"}, false},
      {ProgramVersion{FileVersion(3, 1, 0, 5), u""}, false},
      {std::nullopt, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.passes, MeetsLauncherFloor(c.version, floor)) << "case " << &c - cases;
    EXPECT_TRUE(MeetsLauncherFloor(c.version, LauncherFloor{false, FileVersion(3, 1, 0, 0), u"ZVCallUpdater.exe"}));
  }
}

}  // namespace
}  // namespace zelvra
