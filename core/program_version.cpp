// Reading a program's version block from its bytes: the PE headers, the
// section table, the resource directory and VS_VERSIONINFO.
#include "core/program_version.h"

#include <algorithm>
#include <array>

namespace zelvra {
namespace {

// Bytes of a known size; every read is checked with Holds first.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  // Whether the `length` bytes from `offset` lie within.
  bool Holds(std::uint64_t offset, std::uint64_t length) const { return offset <= m_size && length <= m_size - offset; }
  std::uint16_t U16(std::size_t offset) const {
    return static_cast<std::uint16_t>(m_data[offset] | m_data[offset + 1] << 8);
  }
  std::uint32_t U32(std::size_t offset) const {
    return U16(offset) | static_cast<std::uint32_t>(U16(offset + 2)) << 16;
  }
  const std::uint8_t* At(std::size_t offset) const { return m_data + offset; }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
};

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// --- VS_VERSIONINFO --------------------------------------------------------------
//
// A tree of nodes, each: wLength (the node with its children, in bytes),
// wValueLength (of a text value in characters, else in bytes), wType (1 text,
// 0 binary), the key (UTF-16, NUL-terminated), padding to 32 bits, the value,
// padding to 32 bits, the children. Boundaries count from the block's start.

constexpr std::size_t kNodeHeaderSize = 6;
constexpr std::uint16_t kTextValue = 1;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedFileInfoSize = 52;

std::uint64_t AlignUp4(std::uint64_t offset) { return (offset + 3) & ~std::uint64_t{3}; }

struct Node {
  std::size_t end;         // one past its last byte
  std::size_t key;         // where its key starts
  std::size_t keyUnits;    // the key's length in UTF-16 units, without the NUL
  std::size_t value;       // where its value starts
  std::size_t valueBytes;  // the value's length, within the node
  std::uint64_t children;  // where its first child would start (may lie past `end`)
};

// The node at `start`, which must end by `limit`.
std::optional<Node> ReadNode(const Bytes& bytes, std::size_t start, std::size_t limit) {
  if (limit - start < kNodeHeaderSize) return std::nullopt;
  const std::size_t length = bytes.U16(start);
  if (length < kNodeHeaderSize || length > limit - start) return std::nullopt;
  Node node{};
  node.end = start + length;
  node.key = start + kNodeHeaderSize;
  std::size_t at = node.key;
  for (;; at += 2) {
    if (node.end - at < 2) return std::nullopt;  // no room for the key's NUL
    if (bytes.U16(at) == 0) break;
  }
  node.keyUnits = (at - node.key) / 2;
  node.value = static_cast<std::size_t>(std::min<std::uint64_t>(AlignUp4(at + 2), node.end));
  const std::size_t room = node.end - node.value;
  const std::size_t valueLength = bytes.U16(start + 2);
  if (bytes.U16(start + 4) == kTextValue) {
    // Some resource compilers count a text in bytes: what lies beyond the
    // node is not read.
    node.valueBytes = std::min(valueLength * 2, room & ~std::size_t{1});
  } else if (valueLength <= room) {
    node.valueBytes = valueLength;
  } else {
    return std::nullopt;
  }
  node.children = AlignUp4(node.value + node.valueBytes);
  return node;
}

// Whether the node's key is `key` (ASCII), without regard to ASCII case.
bool KeyIs(const Bytes& bytes, const Node& node, const char* key) {
  std::size_t i = 0;
  for (; key[i] != '\0'; ++i) {
    if (i == node.keyUnits || AsciiLower(bytes.U16(node.key + 2 * i)) != AsciiLower(static_cast<char16_t>(key[i]))) {
      return false;
    }
  }
  return i == node.keyUnits;
}

// Calls `visit` with each child of `parent`, in order; false when a child is
// malformed or does not end within its parent.
template <typename Visit>
bool ForEachChild(const Bytes& bytes, const Node& parent, Visit visit) {
  for (std::uint64_t at = parent.children; at < parent.end;) {
    const std::optional<Node> child = ReadNode(bytes, static_cast<std::size_t>(at), parent.end);
    if (!child) return false;
    visit(*child);
    at = AlignUp4(child->end);
  }
  return true;
}

// The key of the string table of a Translation entry (language in its low
// word, code page in its high word): both as four hexadecimal digits.
std::array<char, 9> StringTableKey(std::uint32_t translation) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::uint32_t languageFirst = translation << 16 | translation >> 16;
  std::array<char, 9> key{};
  for (int i = 0; i < 8; ++i) key[i] = kDigits[(languageFirst >> (28 - 4 * i)) & 0xF];
  return key;
}

// A text value, up to its first NUL.
std::u16string TextValue(const Bytes& bytes, const Node& node) {
  std::u16string text;
  for (std::size_t at = node.value; at + 2 <= node.value + node.valueBytes; at += 2) {
    const char16_t unit = bytes.U16(at);
    if (unit == u'\0') break;
    text.push_back(unit);
  }
  return text;
}

// --- the PE file -------------------------------------------------------------------

constexpr std::uint16_t kDosSignature = 0x5A4D;  // "MZ"
constexpr std::size_t kDosHeaderSize = 0x40;
constexpr std::size_t kPeHeaderOffsetField = 0x3C;
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kPe32Directories = 96;  // where the data directories start in the optional header
constexpr std::size_t kPe32PlusDirectories = 112;
constexpr std::uint32_t kResourceDirectory = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr std::uint32_t kSubdirectoryFlag = 0x80000000;
constexpr std::size_t kResourceDirectorySize = 16;
constexpr std::size_t kResourceEntrySize = 8;

// The sections of a PE file, to map addresses to file offsets.
class Sections {
 public:
  Sections(const Bytes& file, std::size_t table, std::size_t count) : m_file(file), m_table(table), m_count(count) {}

  // The file offset of the `length` bytes at address `rva`, when one section
  // takes all of them from the file (the part of a section beyond its raw
  // data is zeros the file does not hold).
  std::optional<std::size_t> FileOffset(std::uint32_t rva, std::uint32_t length) const {
    for (std::size_t i = 0; i < m_count; ++i) {
      const std::size_t header = m_table + i * kSectionHeaderSize;
      const std::uint32_t virtualSize = m_file.U32(header + 8);
      const std::uint32_t address = m_file.U32(header + 12);
      const std::uint32_t rawSize = m_file.U32(header + 16);
      const std::uint32_t rawOffset = m_file.U32(header + 20);
      const std::uint64_t fromFile = virtualSize != 0 ? std::min(virtualSize, rawSize) : rawSize;
      if (rva < address || std::uint64_t{rva} - address + length > fromFile) continue;
      const std::uint64_t offset = std::uint64_t{rawOffset} + (rva - address);
      if (m_file.Holds(offset, length)) return static_cast<std::size_t>(offset);
    }
    return std::nullopt;
  }

 private:
  const Bytes& m_file;
  std::size_t m_table;
  std::size_t m_count;
};

// The OffsetToData field of the entry with `id` in the resource directory at
// `directory`, or of its first entry when `id` is kFirstEntry; 0 when there is
// none (no entry's field is 0: a subdirectory's has its high bit set, and a
// data entry at offset 0 would be the root directory itself).
constexpr std::uint64_t kFirstEntry = UINT64_MAX;
std::uint32_t ResourceEntry(const Bytes& resources, std::uint64_t directory, std::uint64_t id) {
  if (!resources.Holds(directory, kResourceDirectorySize)) return 0;
  const std::size_t first = static_cast<std::size_t>(directory) + kResourceDirectorySize;
  const std::size_t count = std::size_t{resources.U16(first - 4)} + resources.U16(first - 2);  // named, then IDs
  if (!resources.Holds(first, std::uint64_t{count} * kResourceEntrySize)) return 0;
  for (std::size_t entry = first; entry < first + count * kResourceEntrySize; entry += kResourceEntrySize) {
    if (id == kFirstEntry || resources.U32(entry) == id) return resources.U32(entry + 4);
  }
  return 0;
}

// The offset of the data entry of the first language of the first name of
// RT_VERSION; 0 when there is none.
std::uint32_t VersionDataEntry(const Bytes& resources) {
  std::uint32_t entry = ResourceEntry(resources, 0, kVersionResourceType);
  for (int level = 0; level < 2; ++level) {  // the name, then the language
    if (!(entry & kSubdirectoryFlag)) return 0;
    entry = ResourceEntry(resources, entry & ~kSubdirectoryFlag, kFirstEntry);
  }
  return entry & kSubdirectoryFlag ? 0 : entry;
}

}  // namespace

std::optional<ProgramVersion> ParseVersionBlock(const std::uint8_t* block, std::size_t size) {
  const Bytes bytes(block, size);
  const std::optional<Node> root = ReadNode(bytes, 0, size);
  if (!root || !KeyIs(bytes, *root, "VS_VERSION_INFO") || root->valueBytes < kFixedFileInfoSize ||
      bytes.U32(root->value) != kFixedFileInfoSignature) {
    return std::nullopt;
  }
  ProgramVersion version;
  version.fileVersion = std::uint64_t{bytes.U32(root->value + 8)} << 32 | bytes.U32(root->value + 12);

  std::optional<Node> strings, variables;
  const bool rootRead = ForEachChild(bytes, *root, [&](const Node& child) {
    if (!strings && KeyIs(bytes, child, "StringFileInfo")) strings = child;
    if (!variables && KeyIs(bytes, child, "VarFileInfo")) variables = child;
  });
  if (!rootRead) return std::nullopt;

  std::optional<std::uint32_t> translation;  // the first one
  if (variables && !ForEachChild(bytes, *variables, [&](const Node& variable) {
        if (!translation && KeyIs(bytes, variable, "Translation") && variable.valueBytes >= 4) {
          translation = bytes.U32(variable.value);
        }
      })) {
    return std::nullopt;
  }

  if (!strings) return version;
  std::optional<Node> firstTable, translatedTable;
  if (!ForEachChild(bytes, *strings, [&](const Node& table) {
        if (!firstTable) firstTable = table;
        if (translation && !translatedTable && KeyIs(bytes, table, StringTableKey(*translation).data())) {
          translatedTable = table;
        }
      })) {
    return std::nullopt;
  }
  const std::optional<Node>& table = translatedTable ? translatedTable : firstTable;
  bool named = false;
  if (table && !ForEachChild(bytes, *table, [&](const Node& string) {
        if (!named && KeyIs(bytes, string, "OriginalFilename")) {
          version.originalFilename = TextValue(bytes, string);
          named = true;
        }
      })) {
    return std::nullopt;
  }
  return version;
}

std::optional<ProgramVersion> ReadProgramVersion(const std::uint8_t* data, std::size_t size) {
  const Bytes file(data, size);
  if (!file.Holds(0, kDosHeaderSize) || file.U16(0) != kDosSignature) return std::nullopt;
  const std::uint32_t peHeader = file.U32(kPeHeaderOffsetField);
  if (!file.Holds(peHeader, 4 + kFileHeaderSize) || file.U32(peHeader) != kPeSignature) return std::nullopt;
  const std::size_t sectionCount = file.U16(peHeader + 4 + 2);
  const std::size_t optionalSize = file.U16(peHeader + 4 + 16);
  const std::size_t optional = peHeader + 4 + kFileHeaderSize;
  if (optionalSize < 2 || !file.Holds(optional, optionalSize)) return std::nullopt;
  std::size_t directories;
  switch (file.U16(optional)) {
    case kPe32Magic: directories = kPe32Directories; break;
    case kPe32PlusMagic: directories = kPe32PlusDirectories; break;
    default: return std::nullopt;
  }
  const std::size_t resourceEntry = directories + kResourceDirectory * 8;
  if (optionalSize < resourceEntry + 8 || file.U32(optional + directories - 4) <= kResourceDirectory) {
    return std::nullopt;  // no room for the resource directory's entry, or it is not counted
  }
  const std::uint32_t resourceAddress = file.U32(optional + resourceEntry);
  const std::uint32_t resourceSize = file.U32(optional + resourceEntry + 4);
  const std::size_t sectionTable = optional + optionalSize;
  if (resourceAddress == 0 || resourceSize == 0 ||
      !file.Holds(sectionTable, std::uint64_t{sectionCount} * kSectionHeaderSize)) {
    return std::nullopt;
  }
  const Sections sections(file, sectionTable, sectionCount);
  const std::optional<std::size_t> resourceOffset = sections.FileOffset(resourceAddress, resourceSize);
  if (!resourceOffset) return std::nullopt;

  // Type, name, language; offsets in the directory count from its start.
  const Bytes resources(file.At(*resourceOffset), resourceSize);
  const std::uint32_t dataEntry = VersionDataEntry(resources);
  if (dataEntry == 0 || !resources.Holds(dataEntry, 8)) return std::nullopt;
  const std::uint32_t blockSize = resources.U32(dataEntry + 4);
  const std::optional<std::size_t> blockOffset = sections.FileOffset(resources.U32(dataEntry), blockSize);
  if (!blockOffset) return std::nullopt;
  return ParseVersionBlock(file.At(*blockOffset), blockSize);
}

bool MeetsLauncherFloor(const std::optional<ProgramVersion>& version, const LauncherFloor& floor) {
  if (!floor.required) return true;
  if (!version || version->fileVersion < floor.minimumVersion) return false;
  const std::u16string& name = version->originalFilename;
  std::size_t i = 0;
  for (; floor.originalFilename[i] != u'\0'; ++i) {
    if (i == name.size() || AsciiLower(name[i]) != AsciiLower(floor.originalFilename[i])) return false;
  }
  return i == name.size();
}

}  // namespace zelvra
