// Reads the resources back from the built installer executable (its path is the
// one argument) and checks them against the texts, layouts and values that the
// program and the shell rely on: the string tables in English and Korean, the
// two dialog templates parsed control by control, the icon group, the manifest
// and both version blocks. Every lookup names its language explicitly, so that
// a resource present in the wrong language, or missing in one, is caught.
// Wide-character resource types (RT_STRING etc.): every call here is a W one.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "res/resource.h"
#include "framework/afxres.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // 1033
constexpr LANGID kKorean = MAKELANGID(LANG_KOREAN, SUBLANG_DEFAULT);       // 1042

std::wstring g_installerPath;

std::wstring Utf16(const char* utf8) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return L"<invalid UTF-8>";
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &text[0], n);
  text.resize(static_cast<size_t>(n - 1));
  return text;
}

// The executable mapped as a data file: resources only, no code runs.
class ResourceModule {
 public:
  explicit ResourceModule(const std::wstring& path)
      : module_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~ResourceModule() {
    if (module_) FreeLibrary(module_);
  }
  ResourceModule(const ResourceModule&) = delete;
  ResourceModule& operator=(const ResourceModule&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

HMODULE Installer() {
  static ResourceModule module(g_installerPath);
  return module.get();
}

// The bytes of one resource in exactly the given language; empty if absent.
std::vector<BYTE> ResourceBytes(LPCWSTR type, LPCWSTR name, LANGID language) {
  HRSRC info = FindResourceExW(Installer(), type, name, language);
  if (!info) return {};
  HGLOBAL handle = LoadResource(Installer(), info);
  const BYTE* data = handle ? static_cast<const BYTE*>(LockResource(handle)) : nullptr;
  if (!data) return {};
  return std::vector<BYTE>(data, data + SizeofResource(Installer(), info));
}

bool HasResource(LPCWSTR type, WORD name, LANGID language) {
  return FindResourceExW(Installer(), type, MAKEINTRESOURCEW(name), language) != nullptr;
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
  if (IS_INTRESOURCE(name))
    reinterpret_cast<std::vector<WORD>*>(names)->push_back(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)));
  else
    reinterpret_cast<std::vector<WORD>*>(names)->push_back(0);  // a named resource: never expected
  return TRUE;
}

std::vector<WORD> ResourceNames(LPCWSTR type) {
  std::vector<WORD> names;
  EnumResourceNamesW(Installer(), type, CollectName, reinterpret_cast<LONG_PTR>(&names));
  return names;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
  reinterpret_cast<std::set<LANGID>*>(languages)->insert(language);
  return TRUE;
}

std::set<LANGID> ResourceLanguages(LPCWSTR type, WORD name) {
  std::set<LANGID> languages;
  EnumResourceLanguagesW(Installer(), type, MAKEINTRESOURCEW(name), CollectLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

// Every non-empty string of one language, by ID. A string block holds 16
// counted UTF-16 strings; block n carries IDs (n - 1) * 16 to (n - 1) * 16 + 15.
std::map<UINT, std::wstring> StringTable(LANGID language) {
  std::map<UINT, std::wstring> strings;
  for (WORD block : ResourceNames(RT_STRING)) {
    std::vector<BYTE> bytes = ResourceBytes(RT_STRING, MAKEINTRESOURCEW(block), language);
    size_t offset = 0;
    for (UINT i = 0; i < 16 && offset + 2 <= bytes.size(); ++i) {
      WORD length = static_cast<WORD>(bytes[offset] | bytes[offset + 1] << 8);
      offset += 2;
      if (offset + 2u * length > bytes.size()) {
        ADD_FAILURE() << "string block " << block << " is truncated";
        break;
      }
      if (length) {
        std::wstring text(length, L'\0');
        std::memcpy(&text[0], bytes.data() + offset, 2u * length);
        strings[(block - 1u) * 16u + i] = text;
      }
      offset += 2u * length;
    }
  }
  return strings;
}

// ---------------------------------------------------------------------------
// String tables

struct TextEntry {
  UINT id;
  const char* english;  // nullptr: the entry exists in Korean only
  const char* korean;
};

const TextEntry kProgramTexts[] = {
    {IDS_CANCEL_QUESTION, "Do you want to cancel installation?", "설치를 취소하시겠습니까?"},
    {IDS_APP_TITLE, "Zelvra(TM) Installer", "Zelvra(TM) Installer"},
    {IDS_RUN_UPDATER_FAILED, "Error : Fail to run Zelvra(TM) Updater.", "Zelvra(TM) Updater 실행에 실패하였습니다."},
    {IDS_DOWNLOAD_FAILED, "Error : Fail to download Zelvra(TM) Updater.\nTry to run again.",
     "Zelvra(TM) Updater 다운로드에 실패하였습니다.\n다시 실행하여 주시기 바랍니다."},
    {IDS_DOWNLOAD_COMPLETE, "Download complete.", "다운로드가 완료되었습니다."},
    {IDS_MUST_BE_ONLINE, "To install Zelvra(TM), you must be on-line.",
     "Zelvra(TM) 설치를 하기 위해서는 \n반드시 인터넷에 연결이 필요합니다."},
    {IDS_CONTINUE_QUESTION, "Do you want to continue installation?", "Zelvra(TM) 설치를 시작하시겠습니까?"},
    {IDS_UPDATE_NOT_VERIFIED,
     "Error : The downloaded files of Zelvra(TM) Updater could not be verified.\nTry to run again.",
     "다운로드한 Zelvra(TM) Updater 파일을 확인할 수 없습니다.\n다시 실행하여 주시기 바랍니다."},
};

const TextEntry kFrameworkTexts[] = {
    {AFX_IDS_UNNAMED_FILE, nullptr, "이름 없는 파일"},
    {AFX_IDP_COMMAND_FAILURE, nullptr, "지원되지 않는 작동이 시도되었음."},
    {AFX_IDP_FAILED_TO_CREATE, nullptr, "필요한 자원이 없음."},
    {AFX_IDP_FAILED_MEMORY_ALLOC, nullptr, "메모리 부족."},
    {AFX_IDP_INTERNAL_FAILURE, nullptr, "미지의 오류가 발생하였습니다."},
    {AFX_IDP_FILE_NONE + 0, nullptr, "아무 오류도 발생하지 않았음."},
    {AFX_IDP_FILE_NONE + 1, nullptr, "%1 액세스 중에 미지의 오류 발생."},
    {AFX_IDP_FILE_NONE + 2, nullptr, "%1 을(를) 찾을 수 없음."},
    {AFX_IDP_FILE_NONE + 3, nullptr, "%1 에 잘못된 경로가 있음."},
    {AFX_IDP_FILE_NONE + 4, nullptr, "열린 파일이 너무 많으므로 %1을(를) 열 수 없음."},
    {AFX_IDP_FILE_NONE + 5, nullptr, "%1에 대한 액세스가 거부되었음."},
    {AFX_IDP_FILE_NONE + 6, nullptr, "잘못된 파일 핸들이 %1와(과) 관련되었음."},
    {AFX_IDP_FILE_NONE + 7, nullptr, "%1은(는) 현재 디렉토리이기 때문에 삭제할 수 없음."},
    {AFX_IDP_FILE_NONE + 8, nullptr, "디렉토리가 꽉 찼기 때문에 %1을(를) 작성할 수 없음."},
    {AFX_IDP_FILE_NONE + 9, nullptr, "%1에서 탐색 실패"},
    {AFX_IDP_FILE_NONE + 10, nullptr, "%1 액세스 중에 하드웨어 입출력 오류가 보고되었음."},
    {AFX_IDP_FILE_NONE + 11, nullptr, "%1 액세스 중에 공유 위반이 발생하였음."},
    {AFX_IDP_FILE_NONE + 12, nullptr, "%1 액세스 중에 잠금 위반이 발생하였음."},
    {AFX_IDP_FILE_NONE + 13, nullptr, "%1 액세스 중에 디스크가 꽉 참."},
    {AFX_IDP_FILE_LAST, nullptr, "%1의 끝을 지나서 액세스하려는 시도가 있었음."},
};

// The download addresses: the configured host's root (http://host[:port] or
// https://host[:port]) + a fixed path.
struct UrlEntry {
  UINT id;
  const char* root;
  const char* englishPath;
  const char* koreanPath;
};

const UrlEntry kDownloadUrls[] = {
    {IDS_DEV_URL_UPDATER, ZELVRA_TEST_DEV_ROOT, "/Zelvra/ZVUpdater.exe", "/Zelvra/ZVUpdater.exe"},
    {IDS_DEV_URL_UPDATER_RES, ZELVRA_TEST_DEV_ROOT, "/Zelvra/ZVUpdaterRes.dll", "/Zelvra/ZVUpdaterRes.dll"},
    {IDS_DEV_URL_LAUNCHER, ZELVRA_TEST_DEV_ROOT, "/Zelvra/ZVCallUpdater.exe", "/Zelvra/ZVCallUpdater.exe"},
    {IDS_PRIMARY_BASE, ZELVRA_TEST_PRIMARY_ROOT, "/Zelvra/", "/Zelvra/"},
    {IDS_SECONDARY_BASE, ZELVRA_TEST_SECONDARY_ROOT, "/Zelvra/", "/Zelvra/"},
    {IDS_PRIMARY_EDITION_BASE, ZELVRA_TEST_PRIMARY_ROOT, "/Zelvra-TTS-WUX/", "/Zelvra-TTS-WUX/"},
    // The one entry whose text differs between the languages.
    {IDS_SECONDARY_EDITION_BASE, ZELVRA_TEST_SECONDARY_ROOT, "/Zelvra-TTS_WUX/", "/Zelvra-TTS-WUX/"},
};

std::wstring Url(const char* root, const char* path) { return Utf16((std::string(root) + path).c_str()); }

TEST(StringTable, ProgramTextsInBothLanguages) {
  const std::map<UINT, std::wstring> english = StringTable(kEnglish);
  const std::map<UINT, std::wstring> korean = StringTable(kKorean);
  for (const TextEntry& entry : kProgramTexts) {
    SCOPED_TRACE(testing::Message() << "string " << entry.id);
    auto e = english.find(entry.id);
    auto k = korean.find(entry.id);
    ASSERT_NE(e, english.end());
    ASSERT_NE(k, korean.end());
    EXPECT_EQ(e->second, Utf16(entry.english));
    EXPECT_EQ(k->second, Utf16(entry.korean));
  }
}

TEST(StringTable, DownloadUrlsUseTheConfiguredHosts) {
  const std::map<UINT, std::wstring> english = StringTable(kEnglish);
  const std::map<UINT, std::wstring> korean = StringTable(kKorean);
  for (const UrlEntry& entry : kDownloadUrls) {
    SCOPED_TRACE(testing::Message() << "string " << entry.id);
    auto e = english.find(entry.id);
    auto k = korean.find(entry.id);
    ASSERT_NE(e, english.end());
    ASSERT_NE(k, korean.end());
    EXPECT_EQ(e->second, Url(entry.root, entry.englishPath));
    EXPECT_EQ(k->second, Url(entry.root, entry.koreanPath));
  }
}

TEST(StringTable, FrameworkTextsExistInKoreanOnly) {
  const std::map<UINT, std::wstring> english = StringTable(kEnglish);
  const std::map<UINT, std::wstring> korean = StringTable(kKorean);
  for (const TextEntry& entry : kFrameworkTexts) {
    SCOPED_TRACE(testing::Message() << "string " << entry.id);
    EXPECT_EQ(english.count(entry.id), 0u);
    auto k = korean.find(entry.id);
    ASSERT_NE(k, korean.end());
    EXPECT_EQ(k->second, Utf16(entry.korean));
  }
}

// Each table carries exactly the entries above: nothing the program never
// loads, and no entry that exists in one language but not in the other.
TEST(StringTable, CarriesNoOtherEntries) {
  std::set<UINT> programIds;
  for (const TextEntry& entry : kProgramTexts) programIds.insert(entry.id);
  for (const UrlEntry& entry : kDownloadUrls) programIds.insert(entry.id);
  std::set<UINT> koreanIds = programIds;
  for (const TextEntry& entry : kFrameworkTexts) koreanIds.insert(entry.id);

  std::set<UINT> english, korean;
  for (const auto& entry : StringTable(kEnglish)) english.insert(entry.first);
  for (const auto& entry : StringTable(kKorean)) korean.insert(entry.first);
  EXPECT_EQ(english, programIds);
  EXPECT_EQ(korean, koreanIds);
}

// ---------------------------------------------------------------------------
// Dialog templates

// Little-endian reader over a resource that records running past its end.
class Reader {
 public:
  explicit Reader(const std::vector<BYTE>& bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  size_t position() const { return pos_; }
  bool AtEnd() const { return pos_ == bytes_.size(); }

  BYTE Byte() { return static_cast<BYTE>(Take(1)); }
  WORD Word() { return static_cast<WORD>(Take(2)); }
  DWORD Dword() { return static_cast<DWORD>(Take(4)); }
  short Short() { return static_cast<short>(Word()); }
  void AlignDword() {
    while (pos_ % 4 && pos_ < bytes_.size()) ++pos_;
  }
  void Skip(size_t n) {
    if (pos_ + n > bytes_.size()) ok_ = false;
    pos_ = ok_ ? pos_ + n : bytes_.size();
  }
  std::wstring Sz() {
    std::wstring text;
    for (WORD c = Word(); ok_ && c; c = Word()) text.push_back(static_cast<wchar_t>(c));
    return text;
  }
  // sz_Or_Ord: 0x0000 (none), 0xFFFF and an ordinal, or a string.
  void SzOrOrd(WORD* ordinal, std::wstring* name) {
    *ordinal = 0;
    name->clear();
    WORD first = Word();
    if (first == 0xFFFF) {
      *ordinal = Word();
    } else if (first != 0) {
      name->push_back(static_cast<wchar_t>(first));
      name->append(Sz());
    }
  }

 private:
  unsigned long Take(size_t n) {
    if (!ok_ || pos_ + n > bytes_.size()) {
      ok_ = false;
      return 0;
    }
    unsigned long value = 0;
    for (size_t i = 0; i < n; ++i) value |= static_cast<unsigned long>(bytes_[pos_ + i]) << (8 * i);
    pos_ += n;
    return value;
  }
  const std::vector<BYTE>& bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

struct ParsedControl {
  DWORD helpId, exStyle, style;
  short x, y, cx, cy;
  DWORD id;
  WORD classAtom;
  std::wstring className;
  WORD titleOrdinal;
  std::wstring title;
  WORD extraCount;
  bool aligned;
};

struct ParsedDialog {
  WORD dlgVer, signature;
  DWORD helpId, exStyle, style;
  WORD count;
  short x, y, cx, cy;
  WORD menuOrdinal, classOrdinal;
  std::wstring menu, windowClass, title;
  WORD pointSize, weight;
  BYTE italic, charset;
  std::wstring typeface;
  std::vector<ParsedControl> controls;
  bool wellFormed;  // read to the last byte without running past it
};

// Parses a DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items.
ParsedDialog ParseDialogEx(const std::vector<BYTE>& bytes) {
  ParsedDialog d{};
  Reader r(bytes);
  d.dlgVer = r.Word();
  d.signature = r.Word();
  d.helpId = r.Dword();
  d.exStyle = r.Dword();
  d.style = r.Dword();
  d.count = r.Word();
  d.x = r.Short();
  d.y = r.Short();
  d.cx = r.Short();
  d.cy = r.Short();
  r.SzOrOrd(&d.menuOrdinal, &d.menu);
  r.SzOrOrd(&d.classOrdinal, &d.windowClass);
  d.title = r.Sz();
  if (d.style & DS_SETFONT) {
    d.pointSize = r.Word();
    d.weight = r.Word();
    d.italic = r.Byte();
    d.charset = r.Byte();
    d.typeface = r.Sz();
  }
  for (WORD i = 0; i < d.count && r.ok(); ++i) {
    r.AlignDword();
    ParsedControl c{};
    c.aligned = r.position() % 4 == 0;
    c.helpId = r.Dword();
    c.exStyle = r.Dword();
    c.style = r.Dword();
    c.x = r.Short();
    c.y = r.Short();
    c.cx = r.Short();
    c.cy = r.Short();
    c.id = r.Dword();
    r.SzOrOrd(&c.classAtom, &c.className);
    r.SzOrOrd(&c.titleOrdinal, &c.title);
    c.extraCount = r.Word();
    r.Skip(c.extraCount);
    d.controls.push_back(c);
  }
  d.wellFormed = r.ok() && r.AtEnd();
  return d;
}

constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;

struct ExpectedControl {
  DWORD id;
  WORD classAtom;  // 0: the class is named by className
  const wchar_t* className;
  DWORD style;
  const char* text;
  short x, y, cx, cy;
};

struct ExpectedDialog {
  const char* name;
  WORD id;
  LANGID language;
  DWORD style, exStyle;
  const char* caption;
  short cx, cy;
  const char* typeface;
  WORD pointSize;
  std::vector<ExpectedControl> controls;
};

constexpr DWORD kCentredStatic = 0x50020001;  // WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER
constexpr DWORD kLeftStatic = 0x50020000;     // WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT
constexpr DWORD kDefaultButton = 0x50010001;  // WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON
constexpr DWORD kPushButton = 0x50010000;     // WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON
constexpr DWORD kProgressBar = 0x50800000;    // WS_CHILD | WS_VISIBLE | WS_BORDER

const char kEnglishHint[] =
    "If you have problems related to installation or update, please stop the anti-virus "
    "application and continue installing or updating.";
const char kKoreanHint[] =
    "Zelvra(TM)의 설치나 업데이트에 문제가 있을 때에는 백신 프로그램을 잠시 중단하고 다시 "
    "시도하여 주십시오.";

const std::vector<ExpectedDialog>& ExpectedDialogs() {
  static const std::vector<ExpectedDialog> dialogs = {
      {"install prompt, English",
       IDD_INSTALLER_DIALOG,
       kEnglish,
       0x90C800C0,
       WS_EX_APPWINDOW,
       "Zelvra(TM) Installer",
       193,
       97,
       "Tahoma",
       8,
       {
           {IDC_STATIC_HINT, kStaticAtom, nullptr, kCentredStatic, kEnglishHint, 7, 25, 179, 28},
           {IDC_STATIC_ONLINE, kStaticAtom, nullptr, kCentredStatic, "To install Zelvra(TM), you must be on-line.", 7,
            7, 179, 10},
           {IDC_STATIC_QUESTION, kStaticAtom, nullptr, kCentredStatic, "Do you want to continue installation?", 7, 61,
            179, 8},
           {IDOK, kButtonAtom, nullptr, kDefaultButton, "OK", 41, 76, 50, 14},
           {IDCANCEL, kButtonAtom, nullptr, kPushButton, "Cancel", 100, 76, 50, 14},
           {IDC_BUTTON_CLOSE, kButtonAtom, nullptr, kPushButton, "Close", 69, 76, 50, 14},
           {IDC_STATIC_DONE, kStaticAtom, nullptr, kCentredStatic, "Static", 7, 39, 179, 8},
       }},
      {"install prompt, Korean",
       IDD_INSTALLER_DIALOG,
       kKorean,
       0x90C800C0,
       WS_EX_APPWINDOW,
       "Zelvra(TM) Installer",
       151,
       105,
       "굴림",
       9,
       {
           {IDC_STATIC_HINT, kStaticAtom, nullptr, kCentredStatic, kKoreanHint, 7, 32, 137, 28},
           {IDC_STATIC_ONLINE, kStaticAtom, nullptr, kCentredStatic,
            "Zelvra(TM) 설치를 하기 위해서는 \n반드시 인터넷에 연결이 필요합니다.", 7, 7, 137, 19},
           {IDC_STATIC_QUESTION, kStaticAtom, nullptr, kCentredStatic, "Zelvra(TM) 설치를 시작하시겠습니까?", 7, 67,
            137, 8},
           {IDOK, kButtonAtom, nullptr, kDefaultButton, "확인", 20, 84, 50, 14},
           {IDCANCEL, kButtonAtom, nullptr, kPushButton, "취소", 80, 84, 50, 14},
           {IDC_BUTTON_CLOSE, kButtonAtom, nullptr, kPushButton, "닫기", 49, 84, 50, 14},
           {IDC_STATIC_DONE, kStaticAtom, nullptr, kLeftStatic, "Static", 27, 39, 98, 8},
       }},
      {"download dialog, English",
       IDD_DOWNLOAD_DIALOG,
       kEnglish,
       0x80C800C0,
       WS_EX_TOOLWINDOW,
       "Downloading Zelvra(TM) Auto Updater...",
       187,
       38,
       "Tahoma",
       8,
       {
           {IDCANCEL, kButtonAtom, nullptr, kPushButton, "Cancel", 135, 20, 45, 11},
           {IDC_PROGRESS, 0, L"msctls_progress32", kProgressBar, "Progress1", 7, 7, 173, 7},
       }},
      {"download dialog, Korean",
       IDD_DOWNLOAD_DIALOG,
       kKorean,
       0x80C800C0,
       WS_EX_TOOLWINDOW,
       "Zelvra(TM) Auto Updater 다운로드 중...",
       187,
       38,
       "System",
       9,
       {
           {IDCANCEL, kButtonAtom, nullptr, kPushButton, "취소", 135, 20, 45, 11},
           {IDC_PROGRESS, 0, L"msctls_progress32", kProgressBar, "Progress1", 7, 7, 173, 7},
       }},
  };
  return dialogs;
}

TEST(DialogTemplates, MatchTheLayoutControlByControl) {
  for (const ExpectedDialog& want : ExpectedDialogs()) {
    SCOPED_TRACE(want.name);
    std::vector<BYTE> bytes = ResourceBytes(RT_DIALOG, MAKEINTRESOURCEW(want.id), want.language);
    ASSERT_FALSE(bytes.empty());
    ParsedDialog got = ParseDialogEx(bytes);
    EXPECT_TRUE(got.wellFormed);
    EXPECT_EQ(got.dlgVer, 1);
    EXPECT_EQ(got.signature, 0xFFFF);
    EXPECT_EQ(got.helpId, 0u);
    EXPECT_EQ(got.style, want.style);
    EXPECT_EQ(got.exStyle, want.exStyle);
    EXPECT_EQ(got.x, 0);
    EXPECT_EQ(got.y, 0);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
    EXPECT_EQ(got.menuOrdinal, 0);
    EXPECT_EQ(got.menu, L"");
    EXPECT_EQ(got.classOrdinal, 0);
    EXPECT_EQ(got.windowClass, L"");
    EXPECT_EQ(got.title, Utf16(want.caption));
    EXPECT_EQ(got.pointSize, want.pointSize);
    EXPECT_EQ(got.weight, 0);
    EXPECT_EQ(got.italic, 0);
    EXPECT_EQ(got.charset, DEFAULT_CHARSET);
    EXPECT_EQ(got.typeface, Utf16(want.typeface));
    ASSERT_EQ(got.count, want.controls.size());
    ASSERT_EQ(got.controls.size(), want.controls.size());
    for (size_t i = 0; i < want.controls.size(); ++i) {
      const ExpectedControl& w = want.controls[i];
      const ParsedControl& c = got.controls[i];
      SCOPED_TRACE(testing::Message() << "control #" << i + 1 << ", ID " << w.id);
      EXPECT_TRUE(c.aligned);
      EXPECT_EQ(c.id, w.id);
      EXPECT_EQ(c.helpId, 0u);
      EXPECT_EQ(c.exStyle, 0u);
      EXPECT_EQ(c.style, w.style);
      EXPECT_EQ(c.classAtom, w.classAtom);
      if (w.className) {
        // Window class names compare without regard to case; the resource
        // compiler stores this one in capitals.
        EXPECT_EQ(CompareStringOrdinal(c.className.c_str(), -1, w.className, -1, TRUE), CSTR_EQUAL)
            << "class " << testing::PrintToString(c.className);
      } else {
        EXPECT_EQ(c.className, L"");
      }
      EXPECT_EQ(c.titleOrdinal, 0);
      EXPECT_EQ(c.title, Utf16(w.text));
      EXPECT_EQ(c.x, w.x);
      EXPECT_EQ(c.y, w.y);
      EXPECT_EQ(c.cx, w.cx);
      EXPECT_EQ(c.cy, w.cy);
      EXPECT_EQ(c.extraCount, 0);
    }
  }
}

TEST(DialogTemplates, ExistInBothLanguagesOnly) {
  for (WORD id : {IDD_INSTALLER_DIALOG, IDD_DOWNLOAD_DIALOG}) {
    SCOPED_TRACE(testing::Message() << "dialog " << id);
    EXPECT_EQ(ResourceLanguages(RT_DIALOG, id), (std::set<LANGID>{kEnglish, kKorean}));
  }
}

// The texts that the dialog code puts into the install prompt's statics are
// the ones the template already holds in the same language.
TEST(DialogTemplates, StaticTextsMatchTheStringTable) {
  struct Pair {
    DWORD control;
    UINT string;
  };
  const Pair pairs[] = {{IDC_STATIC_ONLINE, IDS_MUST_BE_ONLINE}, {IDC_STATIC_QUESTION, IDS_CONTINUE_QUESTION}};
  for (LANGID language : {kEnglish, kKorean}) {
    SCOPED_TRACE(testing::Message() << "language " << language);
    ParsedDialog dialog = ParseDialogEx(ResourceBytes(RT_DIALOG, MAKEINTRESOURCEW(IDD_INSTALLER_DIALOG), language));
    std::map<UINT, std::wstring> strings = StringTable(language);
    for (const Pair& pair : pairs) {
      bool found = false;
      for (const ParsedControl& control : dialog.controls) {
        if (control.id != pair.control) continue;
        found = true;
        EXPECT_EQ(control.title, strings[pair.string]) << "control " << pair.control;
      }
      EXPECT_TRUE(found) << "control " << pair.control;
    }
  }
}

// ---------------------------------------------------------------------------
// Icon group

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytesInRes;
  WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "GRPICONDIRENTRY is 14 bytes");

TEST(IconGroup, IsTaggedKoreanOnlyAndIsTheOnlyGroup) {
  EXPECT_TRUE(HasResource(RT_GROUP_ICON, IDR_MAINFRAME, kKorean));
  EXPECT_FALSE(HasResource(RT_GROUP_ICON, IDR_MAINFRAME, kEnglish));
  EXPECT_EQ(ResourceLanguages(RT_GROUP_ICON, IDR_MAINFRAME), std::set<LANGID>{kKorean});
  EXPECT_EQ(ResourceNames(RT_GROUP_ICON), std::vector<WORD>{IDR_MAINFRAME});
}

TEST(IconGroup, HoldsTwelveUncompressedImages) {
  std::vector<BYTE> group = ResourceBytes(RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME), kKorean);
  ASSERT_GE(group.size(), 6u);
  WORD header[3];
  std::memcpy(header, group.data(), sizeof header);
  EXPECT_EQ(header[0], 0);  // reserved
  EXPECT_EQ(header[1], 1);  // icons, not cursors
  ASSERT_EQ(header[2], 12);
  ASSERT_EQ(group.size(), 6u + 12u * sizeof(GroupIconEntry));

  std::set<std::pair<int, int>> seen;  // (pixels, bits per pixel)
  for (int i = 0; i < 12; ++i) {
    GroupIconEntry entry;
    std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
    const int side = entry.width ? entry.width : 256;
    SCOPED_TRACE(testing::Message() << "image " << entry.id << ": " << side << " px, " << entry.bitCount << " bpp");
    EXPECT_EQ(entry.height, entry.width);
    EXPECT_EQ(entry.colorCount, 0);
    EXPECT_EQ(entry.planes, 1);
    EXPECT_TRUE(entry.bitCount == 8 || entry.bitCount == 24);
    seen.insert({side, entry.bitCount});

    std::vector<BYTE> image = ResourceBytes(RT_ICON, MAKEINTRESOURCEW(entry.id), kKorean);
    ASSERT_EQ(image.size(), entry.bytesInRes);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER info;
    std::memcpy(&info, image.data(), sizeof info);
    EXPECT_EQ(info.biSize, sizeof(BITMAPINFOHEADER));  // a PNG image would start with 0x89 'P' 'N' 'G'
    EXPECT_EQ(info.biWidth, side);
    EXPECT_EQ(info.biHeight, 2 * side);  // colour bitmap and AND mask
    EXPECT_EQ(info.biPlanes, 1);
    EXPECT_EQ(info.biBitCount, entry.bitCount);
    EXPECT_EQ(info.biCompression, static_cast<DWORD>(BI_RGB));
    const size_t colours = entry.bitCount == 8 ? (info.biClrUsed ? info.biClrUsed : 256) : info.biClrUsed;
    if (entry.bitCount == 8) {
      EXPECT_EQ(colours, 256u);
    }
    const size_t xorBytes = static_cast<size_t>((side * entry.bitCount + 31) / 32 * 4) * side;
    const size_t andBytes = static_cast<size_t>((side + 31) / 32 * 4) * side;
    EXPECT_EQ(image.size(), sizeof info + 4 * colours + xorBytes + andBytes);

    // The platform accepts the image as an icon of that size.
    HICON icon = CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()), TRUE, 0x00030000, side, side,
                                          LR_DEFAULTCOLOR);
    EXPECT_NE(icon, nullptr);
    if (icon) DestroyIcon(icon);
  }
  std::set<std::pair<int, int>> expected;
  for (int side : {256, 64, 48, 32, 24, 16})
    for (int bits : {8, 24}) expected.insert({side, bits});
  EXPECT_EQ(seen, expected);
}

// ---------------------------------------------------------------------------
// Manifest

// The manifest's processor architecture for the machine type in the
// executable's PE header, so that the check holds for the x86 and the x64 build.
std::string ManifestArchitectureOfInstaller() {
  HANDLE file = CreateFileW(g_installerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
  BYTE header[4096] = {};
  DWORD read = 0;
  ReadFile(file, header, sizeof header, &read, nullptr);
  CloseHandle(file);
  DWORD peOffset = 0;
  if (read >= 0x40) std::memcpy(&peOffset, header + 0x3C, sizeof peOffset);
  if (peOffset + 6 > read || std::memcmp(header + peOffset, "PE\0\0", 4) != 0) return "<not a PE file>";
  WORD machine = 0;
  std::memcpy(&machine, header + peOffset + 4, sizeof machine);
  switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return "X86";
    case IMAGE_FILE_MACHINE_AMD64: return "amd64";
    default: return "<machine " + std::to_string(machine) + ">";
  }
}

TEST(Manifest, AsksForAdministratorRightsAndNothingElse) {
  EXPECT_EQ(ResourceLanguages(RT_MANIFEST, 1), std::set<LANGID>{kEnglish});
  std::vector<BYTE> bytes = ResourceBytes(RT_MANIFEST, MAKEINTRESOURCEW(1), kEnglish);
  ASSERT_FALSE(bytes.empty());
  const std::string text(bytes.begin(), bytes.end());
  const std::string present[] = {
      "level=\"requireAdministrator\"",
      "uiAccess=\"false\"",
      "version=\"1.0.0.0\"",
      "type=\"win32\"",
      "processorArchitecture=\"" + ManifestArchitectureOfInstaller() + "\"",
      "name=\"",
  };
  for (const std::string& s : present) EXPECT_NE(text.find(s), std::string::npos) << s;
  const char* const absent[] = {"<dependency", "<compatibility", "dpiAware", "dpiAwareness", "supportedOS"};
  for (const char* s : absent) EXPECT_EQ(text.find(s), std::string::npos) << s;
  EXPECT_EQ(ResourceNames(RT_MANIFEST), std::vector<WORD>{1});
}

// ---------------------------------------------------------------------------
// Version block

// One node of a version resource: wLength, wValueLength, wType, key, value and
// children, each part DWORD-aligned.
struct VersionNode {
  std::wstring key;
  WORD type = 0;
  WORD valueLength = 0;
  std::vector<BYTE> value;  // raw: characters for text nodes, bytes otherwise
  std::vector<VersionNode> children;
};

bool ParseVersionNode(const std::vector<BYTE>& bytes, size_t offset, size_t limit, VersionNode* node, size_t* next) {
  auto word = [&](size_t at) { return static_cast<WORD>(bytes[at] | bytes[at + 1] << 8); };
  if (offset + 6 > limit) return false;
  const size_t length = word(offset);
  node->valueLength = word(offset + 2);
  node->type = word(offset + 4);
  const size_t end = offset + length;
  if (length < 6 || end > limit) return false;
  size_t at = offset + 6;
  for (;; at += 2) {
    if (at + 2 > end) return false;
    WORD c = word(at);
    if (!c) break;
    node->key.push_back(static_cast<wchar_t>(c));
  }
  at = (at + 2 + 3) & ~size_t{3};
  const size_t valueBytes = node->type == 1 ? 2u * node->valueLength : node->valueLength;
  if (valueBytes) {
    if (at + valueBytes > end) return false;
    node->value.assign(bytes.begin() + at, bytes.begin() + at + valueBytes);
    at += valueBytes;
  }
  at = (at + 3) & ~size_t{3};
  while (at < end) {
    VersionNode child;
    if (!ParseVersionNode(bytes, at, end, &child, &at)) return false;
    node->children.push_back(child);
    at = (at + 3) & ~size_t{3};
  }
  *next = end;
  return true;
}

const VersionNode* Child(const VersionNode& node, const wchar_t* key) {
  for (const VersionNode& child : node.children)
    if (child.key == key) return &child;
  return nullptr;
}

struct VersionString {
  const wchar_t* key;
  const char* value;
};

const VersionString kVersionStrings[] = {
    {L"Comments", ""},
    {L"CompanyName", "Zelvra project"},
    {L"FileDescription", "Zelvra(TM) Installer"},
    {L"FileVersion", "3, 1, 0, 3"},
    {L"InternalName", "ZelvraInstaller"},
    {L"LegalCopyright", "Copyright 2012 Zelvra project"},
    {L"LegalTrademarks", ""},
    {L"OriginalFilename", "ZelvraInstaller.exe"},
    {L"PrivateBuild", "20121025.01"},
    {L"ProductName", "Zelvra(TM) Installer"},
    {L"ProductVersion", "3, 1, 0, 3"},
    {L"SpecialBuild", ""},
};

struct VersionLanguage {
  LANGID language;
  const wchar_t* block;
};

const VersionLanguage kVersionLanguages[] = {{kEnglish, L"040904b0"}, {kKorean, L"041204b0"}};

TEST(VersionBlock, FixedPartInBothLanguages) {
  EXPECT_EQ(ResourceLanguages(RT_VERSION, 1), (std::set<LANGID>{kEnglish, kKorean}));
  for (const VersionLanguage& lang : kVersionLanguages) {
    SCOPED_TRACE(testing::Message() << "language " << lang.language);
    std::vector<BYTE> bytes = ResourceBytes(RT_VERSION, MAKEINTRESOURCEW(1), lang.language);
    ASSERT_FALSE(bytes.empty());
    VersionNode root;
    size_t end = 0;
    ASSERT_TRUE(ParseVersionNode(bytes, 0, bytes.size(), &root, &end));
    EXPECT_EQ(end, bytes.size());
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, root.value.data(), sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00030001u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00000003u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00030001u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00000003u);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, static_cast<DWORD>(VS_FF_PRIVATEBUILD));
    EXPECT_EQ(fixed.dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed.dwFileSubtype, 0u);
    EXPECT_EQ(fixed.dwFileDateMS, 0u);
    EXPECT_EQ(fixed.dwFileDateLS, 0u);
  }
}

TEST(VersionBlock, StringsAreWellFormedAndComplete) {
  for (const VersionLanguage& lang : kVersionLanguages) {
    SCOPED_TRACE(testing::Message() << "language " << lang.language);
    std::vector<BYTE> bytes = ResourceBytes(RT_VERSION, MAKEINTRESOURCEW(1), lang.language);
    VersionNode root;
    size_t end = 0;
    ASSERT_TRUE(ParseVersionNode(bytes, 0, bytes.size(), &root, &end));
    const VersionNode* fileInfo = Child(root, L"StringFileInfo");
    ASSERT_NE(fileInfo, nullptr);
    ASSERT_EQ(fileInfo->children.size(), 1u);
    const VersionNode& table = fileInfo->children[0];
    EXPECT_EQ(table.key, lang.block);
    ASSERT_EQ(table.children.size(), sizeof kVersionStrings / sizeof kVersionStrings[0]);
    for (const VersionString& want : kVersionStrings) {
      SCOPED_TRACE(want.key);
      const VersionNode* value = Child(table, want.key);
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(value->type, 1);  // text
      // The value length counts the terminating zero, also for an empty value.
      ASSERT_GE(value->valueLength, 1);
      std::wstring text(value->valueLength, L'\0');
      std::memcpy(&text[0], value->value.data(), value->value.size());
      EXPECT_EQ(text.back(), L'\0');
      text.pop_back();
      EXPECT_EQ(text, Utf16(want.value));
    }
    const VersionNode* varInfo = Child(root, L"VarFileInfo");
    ASSERT_NE(varInfo, nullptr);
    const VersionNode* translation = Child(*varInfo, L"Translation");
    ASSERT_NE(translation, nullptr);
    ASSERT_EQ(translation->value.size(), 4u);
    WORD pair[2];
    std::memcpy(pair, translation->value.data(), sizeof pair);
    EXPECT_EQ(pair[0], lang.language);
    EXPECT_EQ(pair[1], 1200);
  }
}

// The platform's own reader finds the same values.
TEST(VersionBlock, ReadableWithVerQueryValue) {
  for (const VersionLanguage& lang : kVersionLanguages) {
    SCOPED_TRACE(testing::Message() << "language " << lang.language);
    std::vector<BYTE> copy = ResourceBytes(RT_VERSION, MAKEINTRESOURCEW(1), lang.language);
    ASSERT_FALSE(copy.empty());
    void* data = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(copy.data(), L"\\", &data, &size));
    ASSERT_EQ(size, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(static_cast<VS_FIXEDFILEINFO*>(data)->dwFileVersionMS, 0x00030001u);
    ASSERT_TRUE(VerQueryValueW(copy.data(), L"\\VarFileInfo\\Translation", &data, &size));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(static_cast<WORD*>(data)[0], lang.language);
    EXPECT_EQ(static_cast<WORD*>(data)[1], 1200);
    for (const VersionString& want : kVersionStrings) {
      SCOPED_TRACE(want.key);
      std::wstring path = std::wstring(L"\\StringFileInfo\\") + lang.block + L"\\" + want.key;
      data = nullptr;
      ASSERT_TRUE(VerQueryValueW(copy.data(), path.c_str(), &data, &size));
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(data)), Utf16(want.value));
    }
  }
}

// ---------------------------------------------------------------------------
// No maker is named anywhere in the texts the program carries.

bool NamesAMaker(const std::wstring& text, std::string* why) {
  std::wstring lower;
  for (wchar_t c : text) lower.push_back(c < 128 ? static_cast<wchar_t>(towlower(c)) : c);
  for (const wchar_t* mark : {L"(c)", L"\x00a9", L"(r)", L"\x00ae"}) {
    if (lower.find(mark) != std::wstring::npos) {
      *why = "copyright or registered mark";
      return true;
    }
  }
  static const std::set<std::wstring> kCompanyWords = {L"corp", L"corporation", L"inc",      L"incorporated",
                                                       L"ltd",  L"limited",     L"llc",      L"gmbh",
                                                       L"co",   L"company",     L"microsoft"};
  std::wstring word;
  for (size_t i = 0; i <= lower.size(); ++i) {
    wchar_t c = i < lower.size() ? lower[i] : L' ';
    if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9')) {
      word.push_back(c);
    } else {
      if (kCompanyWords.count(word)) {
        *why = "company word \"" + std::string(word.begin(), word.end()) + "\"";
        return true;
      }
      word.clear();
    }
  }
  return false;
}

TEST(NoMaker, DetectorRecognisesCompanyNames) {
  std::string why;
  for (const wchar_t* text : {L"Example Corp.", L"Example, Inc.", L"Example Co., Ltd.", L"(C) 2012 Example",
                              L"\x00a9 Example", L"Example GmbH"})
    EXPECT_TRUE(NamesAMaker(text, &why)) << testing::PrintToString(std::wstring(text));
  for (const wchar_t* text : {L"Zelvra(TM) Installer", L"Incomplete download", L"Connection lost", L""})
    EXPECT_FALSE(NamesAMaker(text, &why)) << testing::PrintToString(std::wstring(text));
}

TEST(NoMaker, InStringsDialogsAndVersionValues) {
  std::vector<std::wstring> texts;
  for (LANGID language : {kEnglish, kKorean}) {
    for (const auto& entry : StringTable(language)) texts.push_back(entry.second);
    for (WORD id : {IDD_INSTALLER_DIALOG, IDD_DOWNLOAD_DIALOG}) {
      ParsedDialog dialog = ParseDialogEx(ResourceBytes(RT_DIALOG, MAKEINTRESOURCEW(id), language));
      texts.push_back(dialog.title);
      for (const ParsedControl& control : dialog.controls) texts.push_back(control.title);
    }
  }
  for (const VersionLanguage& lang : kVersionLanguages) {
    std::vector<BYTE> bytes = ResourceBytes(RT_VERSION, MAKEINTRESOURCEW(1), lang.language);
    VersionNode root;
    size_t end = 0;
    ASSERT_TRUE(ParseVersionNode(bytes, 0, bytes.size(), &root, &end));
    const VersionNode* fileInfo = Child(root, L"StringFileInfo");
    ASSERT_NE(fileInfo, nullptr);
    for (const VersionNode& table : fileInfo->children) {
      for (const VersionNode& value : table.children) {
        std::wstring text(value.value.size() / 2, L'\0');
        if (!text.empty()) std::memcpy(&text[0], value.value.data(), text.size() * 2);
        texts.push_back(text.c_str());
      }
    }
  }
  std::vector<BYTE> manifest = ResourceBytes(RT_MANIFEST, MAKEINTRESOURCEW(1), kEnglish);
  const std::string manifestText(manifest.begin(), manifest.end());
  const size_t name = manifestText.find(" name=\"");
  ASSERT_NE(name, std::string::npos);
  const size_t nameEnd = manifestText.find('"', name + 7);
  texts.push_back(Utf16(manifestText.substr(name + 7, nameEnd - name - 7).c_str()));

  EXPECT_GT(texts.size(), 60u);
  for (const std::wstring& text : texts) {
    std::string why;
    EXPECT_FALSE(NamesAMaker(text, &why)) << why << " in " << testing::PrintToString(text);
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: resources_test PATH-OF-ZelvraInstaller.exe\n");
    return 2;
  }
  std::string path = argv[1];
  if (!path.empty() && path[0] == '/') path = "Z:" + path;  // a Unix path under Wine
  g_installerPath = Utf16(path.c_str());
  if (!Installer()) {
    std::fprintf(stderr, "cannot load %s as a data file (error %lu)\n", path.c_str(), GetLastError());
    return 1;
  }
  return RUN_ALL_TESTS();
}
