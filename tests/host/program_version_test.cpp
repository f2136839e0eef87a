// A program's version block read from its bytes: the PE file's resource
// directory, VS_VERSIONINFO, and the launcher floor checked on them.
#include "core/program_version.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Sets the `size` bytes at `at` to `value`, little-endian.
void Put(std::string& bytes, size_t at, uint32_t value, int size = 4) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> 8 * i);
}
std::string Utf16z(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text + u'\0') bytes += {static_cast<char>(unit), static_cast<char>(unit >> 8)};
  return bytes;
}
// Where the node with `key` starts in a block.
size_t NodeAt(const std::string& block, const std::u16string& key) { return block.find(Utf16z(key)) - 6; }

// A version block node; a text value counts in characters.
std::string Node(const std::u16string& key,
                 const std::string& value,
                 bool text,
                 const std::vector<std::string>& children = {}) {
  std::string node = std::string(6, '\0') + Utf16z(key);
  std::vector<std::string> parts = children;
  parts.insert(parts.begin(), value);
  for (const std::string& part : parts) node += std::string(-node.size() & 3, '\0') + part;
  Put(node, 0, static_cast<uint32_t>(node.size()), 2);
  Put(node, 2, static_cast<uint32_t>(text ? value.size() / 2 : value.size()), 2);
  Put(node, 4, text ? 1 : 0, 2);
  return node;
}
// The compiled block's fixed part with tables "040904b0" (first.exe) and
// "041204B0" (second.exe) and `translations` (language, code page: 16 bits each).
std::string TwoTables(const std::string& translations) {
  auto table = [](const std::u16string& key, const std::u16string& name) {
    return Node(key, "", true, {Node(u"OriginalFilename", Utf16z(name), true)});
  };
  std::vector<std::string> children = {
      Node(u"StringFileInfo", "", true, {table(u"040904b0", u"first.exe"), table(u"041204B0", u"second.exe")})};
  if (!translations.empty()) {
    children.push_back(Node(u"VarFileInfo", "", true, {Node(u"Translation", translations, false)}));
  }
  return Node(u"VS_VERSION_INFO", kCompiledBlock.substr(0x28, 52), false, children);
}

std::optional<ProgramVersion> Parse(const std::string& block, size_t size) {
  const std::vector<uint8_t> bytes(block.begin(), block.begin() + static_cast<ptrdiff_t>(size));  // exactly
  return ParseVersionBlock(bytes.data(), bytes.size());
}

TEST(ParseVersionBlock, ReadsTheVersionAndTheNameOfTheTranslationsTable) {
  std::string wrongKey = kCompiledBlock, wrongSignature = kCompiledBlock, pastTable = kCompiledBlock,
              empty = kCompiledBlock, bytesCounted = kCompiledBlock;
  wrongKey[NodeAt(wrongKey, u"VS_VERSION_INFO") + 6] = 'W';
  wrongSignature[0x28] ^= 1;
  const size_t name = NodeAt(kCompiledBlock, u"OriginalFilename");
  Put(pastTable, name, static_cast<uint8_t>(kCompiledBlock[name]) + 2, 2);  // its table ends where it does
  Put(empty, NodeAt(empty, u"StringFileInfo"), 0, 2);
  Put(bytesCounted, name + 2, 36, 2);  // the text counted in bytes, beyond the node: read up to its NUL
  const std::u16string none = u"(none)";
  struct Case {
    const char* description;
    std::string block;
    std::u16string name;  // none: malformed
  };
  const Case cases[] = {
      {"as compiled", kCompiledBlock, u"ZVCallUpdater.exe"},
      {"with padding after it", kCompiledBlock + std::string(7, '\0'), u"ZVCallUpdater.exe"},
      {"the text's length in bytes", bytesCounted, u"ZVCallUpdater.exe"},
      {"root key not VS_VERSION_INFO", wrongKey, none},
      {"fixed info without its signature", wrongSignature, none},
      {"a string running past its table", pastTable, none},
      {"a node of length 0", empty, none},
      {"the first translation's table, not the first", TwoTables("\x12\x04\xb0\x04\x09\x04\xb0\x04"), u"second.exe"},
      {"no translation: the first table", TwoTables(""), u"first.exe"},
      {"a translation without its table: the first", TwoTables("\x19\x04\xe4\x04"), u"first.exe"},
      {"no OriginalFilename", Node(u"VS_VERSION_INFO", kCompiledBlock.substr(0x28, 52), false), u""},
  };
  for (const Case& c : cases) {
    const std::optional<ProgramVersion> read = Parse(c.block, c.block.size());
    EXPECT_EQ(c.name, read ? read->originalFilename : none) << c.description;
    EXPECT_EQ(read ? FileVersion(3, 1, 0, 5) : 0, read ? read->fileVersion : 0) << c.description;
  }
  // Cut short anywhere, the compiled block is malformed.
  for (size_t size = 0; size < kCompiledBlock.size(); ++size) EXPECT_FALSE(Parse(kCompiledBlock, size)) << size;
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
  std::string file(kRawData, '\0'), resources(kBlockOffset, '\0');
  const size_t directories = DataDirectories(pe32), section = SectionHeader(pe32);
  const uint32_t size = static_cast<uint32_t>(kBlockOffset + block.size());
  // "MZ", the PE header, "PE", one section, the optional header, the
  // resource directory's entry, the section's header.
  const std::pair<size_t, uint32_t> headers[] = {{0, 0x5A4D},
                                                 {0x3C, 0x40},
                                                 {0x40, 0x4550},
                                                 {0x46, 1},
                                                 {0x54, static_cast<uint32_t>(section - kOptionalHeader)},
                                                 {kOptionalHeader, pe32 ? 0x10Bu : 0x20Bu},
                                                 {directories - 4, 16},
                                                 {directories + 16, kSectionAddress},
                                                 {directories + 20, size},
                                                 {section + 8, size},
                                                 {section + 12, kSectionAddress},
                                                 {section + 16, size},
                                                 {section + 20, kRawData}};
  // Type, name and language directories of one ID entry each, then the data entry.
  const std::pair<size_t, uint32_t> directory[] = {{0x0E, 1},
                                                   {0x10, 16},
                                                   {0x14, 0x80000018},
                                                   {0x26, 1},
                                                   {0x28, 1},
                                                   {0x2C, 0x80000030},
                                                   {0x3E, 1},
                                                   {0x40, 0x409},
                                                   {0x44, 0x48},
                                                   {0x48, kSectionAddress + kBlockOffset},
                                                   {0x4C, static_cast<uint32_t>(block.size())}};
  for (const auto& [at, value] : headers) Put(file, at, value);
  for (const auto& [at, value] : directory) Put(resources, at, value);
  return file + resources + block;
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
      Put(changed, c.at, *c.value);
    } else {
      changed.resize(c.at);
    }
    const std::vector<uint8_t> bytes(changed.begin(), changed.end());  // exactly its size
    EXPECT_EQ(c.read, ReadProgramVersion(bytes.data(), bytes.size()).has_value()) << c.description;
  }
  const std::string pe32 = PortableExecutable(kCompiledBlock, true);
  const std::optional<ProgramVersion> read =
      ReadProgramVersion(reinterpret_cast<const uint8_t*>(pe32.data()), pe32.size());
  ASSERT_TRUE(read) << "PE32";
  EXPECT_EQ(u"ZVCallUpdater.exe", read->originalFilename);
}

TEST(MeetsLauncherFloor, TakesTheNamedLauncherFromTheFloorUp) {
  const char16_t kName[] = u"ZVCallUpdater.exe";
  const LauncherFloor floor{true, FileVersion(3, 1, 0, 0), kName};
  const std::pair<std::optional<ProgramVersion>, bool> cases[] = {
      {ProgramVersion{FileVersion(3, 1, 0, 5), kName}, true},
      {ProgramVersion{FileVersion(3, 1, 0, 0), kName}, true},
      {ProgramVersion{FileVersion(4, 0, 0, 0), u"zvcallupdater.EXE"}, true},
      {ProgramVersion{FileVersion(3, 0, 0, 1), kName}, false},
      {ProgramVersion{FileVersion(3, 0, 0xFFFF, 0xFFFF), kName}, false},
      {ProgramVersion{FileVersion(3, 1, 0, 5), u"ZVUpdater.exe"}, false},
      {ProgramVersion{FileVersion(3, 1, 0, 5), u"ZVCallUpdater.exe "}, false},
      {ProgramVersion{FileVersion(3, 1, 0, 5), u"ZVCallUpdater.ex"}, false},
      {std::nullopt, false},
  };
  for (const auto& [version, passes] : cases) {
    EXPECT_EQ(passes, MeetsLauncherFloor(version, floor)) << "case " << &version - &cases[0].first;
    EXPECT_TRUE(MeetsLauncherFloor(version, LauncherFloor{false, floor.minimumVersion, kName}));  // no floor
  }
}

}  // namespace
}  // namespace zelvra
