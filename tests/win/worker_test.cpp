// CHttpFileDownloader under Wine, through the real WinInet, against the update
// mirror (tools/mirror) that run_with_mirror.py starts: the failure table, the
// fallback from the primary to the secondary URL, the Content-Length reading,
// bodies of every interesting size, cancelling, the request headers and the
// time-outs. Every run is also checked against the message protocol the
// download dialog relies on (ExpectProtocol).
//
// The file-error texts exist in Korean only, so the program runs with a Korean
// locale (ANSI code page 949); the boxes are read back as UTF-16.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <shlwapi.h>
#include <wininet.h>

#include "core/folder_security.h"
#include "download/download_folder.h"
#include "download/http_file_downloader.h"
#include "framework/afxapp.h"
#include "framework/afxfile.h"
#include "platform/held_folder.h"
#include "tests/win/worker_harness.h"
#include "tests/win/worker_mirror.h"

using worker_test::FileState;
using worker_test::LoggedRequest;
using worker_test::Mirror;
using worker_test::Notification;
using worker_test::WorkerRun;

namespace {

CWinApp g_app(L"Zelvra(TM) Installer");  // the title of the worker's boxes and its user agent

constexpr wchar_t kTitle[] = L"Zelvra(TM) Installer";
constexpr DWORD kRunFailed = static_cast<DWORD>(-1);  // Run's result for every failure

// Deterministic content, different for each seed.
std::string Bytes(size_t size, unsigned seed) {
  std::string data(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

// The platform's message text for a WinInet error, as the user should see it.
std::wstring PlatformInternetText(DWORD error) {
  HMODULE wininet = LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE,
                                      wininet, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result = length > 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) result.pop_back();
  return result;
}

// The framework's file-error text (UTF-8 from the table of causes) for a path.
std::wstring FileErrorText(const char* format, const std::string& path) {
  std::wstring text = worker_test::Wide(format);
  const size_t at = text.find(L"%1");
  return text.substr(0, at) + worker_test::Wide(path) + text.substr(at + 2);
}
constexpr char kBadPathText[] = "%1 에 잘못된 경로가 있음.";
constexpr char kSharingViolationText[] = "%1 액세스 중에 공유 위반이 발생하였음.";
constexpr char kAccessDeniedText[] = "%1에 대한 액세스가 거부되었음.";

std::string Describe(const WorkerRun& run) {
  std::string text;
  for (const Notification& n : run.Notifications()) {
    text += worker_test::MessageName(n.message);
    if (n.message == WM_DOWNLOAD_FAILED) text += " " + std::to_string(n.wParam);
    text += "; ";
  }
  for (const auto& box : run.Boxes()) text += "box \"" + worker_test::Utf8(box.text) + "\"; ";
  return text;
}

// The protocol the owner relies on, for any run that ended: exactly one final
// message and it is the last; WM_DOWNLOAD_STARTED at most once and first,
// only once the local file exists (open, not shared), and never before a
// failure of kinds 1 to 5; WM_DOWNLOAD_DONE only after it, with the file
// complete and closed; the status sent is the one kept; the thread's exit code
// is Run's result.
void ExpectProtocol(const WorkerRun& run) {
  SCOPED_TRACE("messages: " + Describe(run));
  const std::vector<Notification>& all = run.Notifications();
  ASSERT_FALSE(all.empty());
  int started = 0;
  int finals = 0;
  for (const Notification& n : all) {
    (n.message == WM_DOWNLOAD_STARTED ? started : finals) += 1;
    EXPECT_TRUE(n.message == WM_DOWNLOAD_STARTED || n.message == WM_DOWNLOAD_DONE || n.message == WM_DOWNLOAD_FAILED);
  }
  EXPECT_EQ(1, finals);
  EXPECT_LE(started, 1);
  if (started == 1) {
    EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_STARTED), all.front().message);
    EXPECT_EQ(FileState::kLocked, all.front().localFile) << "the local file is open and not shared at STARTED";
  }
  const Notification& last = all.back();
  if (last.message == WM_DOWNLOAD_DONE) {
    EXPECT_EQ(1, started);
    EXPECT_TRUE(last.done);
    EXPECT_EQ(0, last.status);
    EXPECT_EQ(FileState::kFree, last.localFile) << "the file is closed before DONE";
    EXPECT_EQ(0u, run.ExitCode());
  } else if (last.message == WM_DOWNLOAD_FAILED) {
    EXPECT_LE(last.wParam, 6u);
    EXPECT_EQ(static_cast<std::int32_t>(last.wParam), last.status);
    EXPECT_FALSE(last.done);
    if (last.wParam >= 1 && last.wParam <= 5) {
      EXPECT_EQ(0, started) << "no STARTED before FAILED " << last.wParam;
    }
    EXPECT_EQ(kRunFailed, run.ExitCode());
  }
  for (const auto& box : run.Boxes()) {
    EXPECT_EQ(kTitle, box.title);
    EXPECT_EQ(run.Owner(), box.owner) << "the worker's boxes are owned by the owner window";
  }
}

const Notification* Find(const WorkerRun& run, UINT message) {
  for (const Notification& n : run.Notifications()) {
    if (n.message == message) return &n;
  }
  return nullptr;
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Mirror::Get().Reset();
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name) {
      if (!isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    }
    path_ = "/" + name + "/ZVUpdater.exe";
    altPath_ = "/" + name + "/other/ZVUpdaterRes.dll";
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string base = std::string(temp) + "zelvra-worker-test\\";
    CreateDirectoryA(base.c_str(), nullptr);
    folder_ = base + name + "\\";
    RemoveFolder(folder_);
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr)) << folder_;
    closeFailures_ = AfxInternetCloseFailures();
  }

  void TearDown() override {
    for (HANDLE h : held_) CloseHandle(h);
    RemoveFolder(folder_);
    // Each WinInet handle of the run was closed exactly once, children
    // before their parents (a parent's close takes its children with it).
    EXPECT_EQ(closeFailures_, AfxInternetCloseFailures()) << "a WinInet handle was closed twice";
  }

  static void RemoveFolder(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          DeleteFileA((folder + name).c_str());
        } else if (name != "." && name != "..") {
          RemoveFolder(folder + name + "\\");
        }
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
  }

  Mirror& mirror() { return Mirror::Get(); }
  std::string Url(const char* host, const std::string& path) { return mirror().Url(host, path); }
  std::string Url(const char* host) { return Url(host, path_); }
  // Serves `data` at this test's path on `host` and returns the URL.
  std::string Serve(const char* host, const std::string& data, const std::string& path = std::string()) {
    const std::string& where = path.empty() ? path_ : path;
    mirror().PutFile(host, where, data);
    return Url(host, where);
  }
  void Fault(const char* host, const std::string& json, const std::string& path = std::string()) {
    mirror().SetFault(host, path.empty() ? path_ : path, json);
  }
  // The requests `host` received in this test (for `path` when given).
  std::vector<LoggedRequest> Requests(const char* host, const std::string& path = std::string()) {
    return mirror().Requests(host, path);
  }

  // Starts a worker and lets it run to its end.
  std::unique_ptr<WorkerRun> RunToEnd(const std::string& primary,
                                      const std::string& secondary,
                                      BOOL secondaryFirst = FALSE,
                                      const std::string& folder = std::string()) {
    auto run = std::make_unique<WorkerRun>(folder.empty() ? folder_ : folder, primary, secondary, secondaryFirst);
    if (maxFileSize_ != 0) run->SetMaxFileSize(maxFileSize_);
    EXPECT_TRUE(run->Start());
    EXPECT_TRUE(run->WaitFinal()) << "no final message in time: " << Describe(*run);
    EXPECT_TRUE(run->WaitThreadEnd()) << "the worker's thread did not end";
    ExpectProtocol(*run);
    return run;
  }

  // Holds the file open without any sharing until the test ends.
  void HoldOpen(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    held_.push_back(h);
  }

  std::string folder_;
  std::string path_;
  std::string altPath_;
  std::vector<HANDLE> held_;
  LONG closeFailures_ = 0;
  std::uint32_t maxFileSize_ = 0;  // given to RunToEnd's worker unless 0
};

// A status code that cannot be read. Wine's WinInet hands out the status
// code as the number it parsed from the status line (0 for "abc", 4294967295
// for "-1"), so the one status text that cannot be read there is a number
// too long to be a status code.
const char kUnreadableStatus[] = R"({"raw":"HTTP/1.1 99999999999 Absurd\r\nContent-Length: 0\r\n\r\n"})";
// A status line without a number: read as status 0 by Wine's WinInet.
const char kNonNumericStatus[] = R"({"raw":"HTTP/1.1 abc Whatever\r\nContent-Length: 0\r\n\r\n"})";

// ---------------------------------------------------------------------------
// The failure table: one row per way a run can fail, with what the owner and
// the user see and which requests reach the mirror.

// What a row sets up for its run.
struct Arrangement {
  std::string primary;
  std::string secondary;
  BOOL secondaryFirst = FALSE;
  std::string folder;  // the test's fresh folder unless a row changes it
};

class FailureTest;

struct FailureRow {
  const char* name;
  std::function<void(FailureTest&, Arrangement&)> arrange;
  WPARAM status;
  int primaryRequests;
  int secondaryRequests;
  // The expected box text for the run's local path; empty for no box.
  std::function<std::wstring(const std::string& localPath)> box;
};

class FailureTest : public WorkerTest, public ::testing::WithParamInterface<FailureRow> {
 public:
  // For the rows' set-up.
  using WorkerTest::Fault;
  using WorkerTest::HoldOpen;
  using WorkerTest::Serve;
  using WorkerTest::Url;
  int ClosedPort() { return mirror().ClosedPort(); }
  // The mirror folder that holds this test's file, ending with "/".
  std::string FolderPath() const { return path_.substr(0, path_.rfind('/') + 1); }
};

std::wstring NoBox(const std::string&) { return std::wstring(); }

const FailureRow kFailureRows[] = {
    {"EmptyPrimaryUrl",  // no request at all, even with a secondary
     [](FailureTest& t, Arrangement& a) { a.secondary = t.Serve("secondary", Bytes(100, 1)); }, DOWNLOAD_NO_URL, 0, 0,
     NoBox},
    {"EmptyPrimaryUrlWithSecondaryFirst",
     [](FailureTest& t, Arrangement& a) {
       a.secondary = t.Serve("secondary", Bytes(100, 1));
       a.secondaryFirst = TRUE;
     },
     DOWNLOAD_NO_URL, 0, 0, NoBox},
    {"UnreachablePrimary",  // an error of the request: reported, and the secondary is not tried
     [](FailureTest& t, Arrangement& a) {
       a.primary = "http://127.0.0.1:" + std::to_string(t.ClosedPort()) + "/Zelvra/ZVUpdater.exe";
       a.secondary = t.Serve("secondary", Bytes(100, 1));
     },
     DOWNLOAD_NONE, 0, 0,
     [](const std::string&) { return L"Error2:" + PlatformInternetText(ERROR_INTERNET_CANNOT_CONNECT); }},
    {"BothNotFound",
     [](FailureTest& t, Arrangement& a) {
       a.primary = t.Url("primary");
       a.secondary = t.Url("secondary");
     },
     DOWNLOAD_HTTP_NOT_OK, 1, 1, NoBox},
    {"SecondaryStatusUnreadable",
     [](FailureTest& t, Arrangement& a) {
       a.primary = t.Url("primary");
       a.secondary = t.Serve("secondary", Bytes(100, 1));
       t.Fault("secondary", kUnreadableStatus);
     },
     DOWNLOAD_STATUS_UNREADABLE, 1, 1, NoBox},
    {"BothStatusUnreadable",
     [](FailureTest& t, Arrangement& a) {
       a.primary = t.Serve("primary", Bytes(100, 1));
       a.secondary = t.Serve("secondary", Bytes(100, 2));
       t.Fault("primary", kUnreadableStatus);
       t.Fault("secondary", kUnreadableStatus);
     },
     DOWNLOAD_STATUS_UNREADABLE, 1, 1, NoBox},
    {"SecondaryFirstNotFound",  // the primary would answer, but is never asked
     [](FailureTest& t, Arrangement& a) {
       a.primary = t.Serve("primary", Bytes(100, 1));
       a.secondary = t.Url("secondary");
       a.secondaryFirst = TRUE;
     },
     DOWNLOAD_HTTP_NOT_OK, 0, 1, NoBox},
    {"SecondaryFirstStatusUnreadable",
     [](FailureTest& t, Arrangement& a) {
       a.primary = t.Serve("primary", Bytes(100, 1));
       a.secondary = t.Serve("secondary", Bytes(100, 2));
       t.Fault("secondary", kUnreadableStatus);
       a.secondaryFirst = TRUE;
     },
     DOWNLOAD_STATUS_UNREADABLE, 0, 1, NoBox},
    {"PrimaryUrlEndsWithSlash",  // an empty file name: the local path is the folder itself
     [](FailureTest& t, Arrangement& a) {
       t.Fault("primary", R"({"status":200,"body":"data"})", t.FolderPath());
       a.primary = t.Url("primary", t.FolderPath());
       a.secondary = t.Serve("secondary", Bytes(100, 2));
     },
     DOWNLOAD_FILE_CREATE_FAILED, 1, 0,
     [](const std::string& path) { return L"Error1:" + FileErrorText(kAccessDeniedText, path); }},
    {"DownloadFolderMissing",
     [](FailureTest& t, Arrangement& a) {
       a.primary = t.Serve("primary", Bytes(100, 1));
       a.secondary = t.Serve("secondary", Bytes(100, 2));
       a.folder += "missing\\";
     },
     DOWNLOAD_FILE_CREATE_FAILED, 1, 0,
     [](const std::string& path) { return L"Error1:" + FileErrorText(kBadPathText, path); }},
    {"LocalFileHeldOpenElsewhere",
     [](FailureTest& t, Arrangement& a) {
       a.primary = t.Serve("primary", Bytes(100, 1));
       a.secondary = t.Serve("secondary", Bytes(100, 2));
       t.HoldOpen(a.folder + "ZVUpdater.exe");
     },
     DOWNLOAD_FILE_CREATE_FAILED, 1, 0,
     [](const std::string& path) { return L"Error1:" + FileErrorText(kSharingViolationText, path); }},
};

TEST_P(FailureTest, ReportsOnceWithTheRightStatusAndBox) {
  const FailureRow& row = GetParam();
  Arrangement arrangement;
  arrangement.folder = folder_;
  row.arrange(*this, arrangement);
  if (HasFatalFailure()) return;

  auto run = RunToEnd(arrangement.primary, arrangement.secondary, arrangement.secondaryFirst, arrangement.folder);
  ASSERT_TRUE(run->Final());
  const Notification& last = run->Notifications().back();
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_FAILED), last.message);
  EXPECT_EQ(row.status, last.wParam);
  EXPECT_EQ(nullptr, Find(*run, WM_DOWNLOAD_STARTED));

  const std::wstring box = row.box(run->LocalPath());
  if (box.empty()) {
    EXPECT_TRUE(run->Boxes().empty()) << Describe(*run);
  } else {
    ASSERT_EQ(1u, run->Boxes().size()) << Describe(*run);
    EXPECT_EQ(box, run->Boxes()[0].text) << worker_test::Utf8(run->Boxes()[0].text);
    EXPECT_LT(box.size(), 255u) << "the description fits the worker's buffer";
  }
  EXPECT_EQ(static_cast<size_t>(row.primaryRequests), Requests("primary").size());
  EXPECT_EQ(static_cast<size_t>(row.secondaryRequests), Requests("secondary").size());
  const bool localPathIsFolder = run->LocalPath().back() == '\\';
  if (row.status == DOWNLOAD_FILE_CREATE_FAILED && held_.empty() && !localPathIsFolder) {
    EXPECT_EQ(FileState::kMissing, worker_test::LocalFileState(run->LocalPath()));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows,
                         FailureTest,
                         ::testing::ValuesIn(kFailureRows),
                         [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Fallback: a bad answer from the primary turns to the secondary; the file is
// always named from the primary URL.

struct FallbackRow {
  const char* name;
  const char* primaryFault;  // null: the primary serves its own content
  BOOL secondaryFirst;
  int primaryRequests;
};

class FallbackTest : public WorkerTest, public ::testing::WithParamInterface<FallbackRow> {};

const FallbackRow kFallbackRows[] = {
    {"PrimaryNotFound", R"({"status":404})", FALSE, 1},
    {"PrimaryPartialContent", R"({"status":206})", FALSE, 1},  // any status but 200, other 2xx included
    {"PrimaryServerError", R"({"status":500})", FALSE, 1},
    {"PrimaryStatusUnreadable", kUnreadableStatus, FALSE, 1},
    {"PrimaryStatusNotANumber", kNonNumericStatus, FALSE, 1},
    // Accepts and closes at once: Wine's WinInet takes that for an answer
    // with status 0, not for an error of the request.
    {"PrimaryAnswersNothing", R"({"raw":""})", FALSE, 1},
    {"SecondaryFirst", nullptr, TRUE, 0},
};

TEST_P(FallbackTest, FetchesTheSecondaryIntoThePrimarysName) {
  const FallbackRow& row = GetParam();
  const std::string primaryData = Bytes(3000, 10);
  const std::string secondaryData = Bytes(2000, 20);
  const std::string primary = Serve("primary", primaryData);
  const std::string secondary = Serve("secondary", secondaryData, altPath_);  // another path and name
  if (row.primaryFault != nullptr) Fault("primary", row.primaryFault);

  auto run = RunToEnd(primary, secondary, row.secondaryFirst);
  EXPECT_EQ(folder_ + "ZVUpdater.exe", run->LocalPath());
  ASSERT_EQ(2u, run->Notifications().size()) << Describe(*run);
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), run->Notifications()[1].message);
  EXPECT_EQ(secondaryData.size(), run->Notifications()[1].bytesReceived);
  EXPECT_EQ(secondaryData, worker_test::ReadWholeFile(run->LocalPath()));
  EXPECT_EQ(FileState::kMissing, worker_test::LocalFileState(folder_ + "ZVUpdaterRes.dll"));
  EXPECT_TRUE(run->Boxes().empty());
  EXPECT_EQ(static_cast<size_t>(row.primaryRequests), Requests("primary").size());
  EXPECT_EQ(1u, Requests("secondary", altPath_).size());
}

INSTANTIATE_TEST_SUITE_P(Rows,
                         FallbackTest,
                         ::testing::ValuesIn(kFallbackRows),
                         [](const ::testing::TestParamInfo<FallbackRow>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Content-Length: read as a 32-bit length where it can be, 0 otherwise; the
// download completes either way.

struct ContentLengthRow {
  const char* name;
  const char* fault;  // null: the mirror's own, correct header
  std::uint32_t expected;
};

class ContentLengthTest : public WorkerTest, public ::testing::WithParamInterface<ContentLengthRow> {};

const ContentLengthRow kContentLengthRows[] = {
    {"Correct", nullptr, 1000},
    {"Missing", R"({"no_content_length":true})", 0},
    {"ThirtyOneCharacters", R"({"content_length":"0000000000000000000000000001000"})", 1000},
    {"ThirtyTwoCharacters", R"({"content_length":"00000000000000000000000000001000"})", 0},
    {"FortyDigits", R"({"content_length":"1234567890123456789012345678901234567890"})", 0},
    {"Negative", R"({"content_length":"-5"})", 0},
    {"NotANumber", R"({"content_length":"abc"})", 0},
};

TEST_P(ContentLengthTest, IsReadOrZeroAndTheBodyIsComplete) {
  const ContentLengthRow& row = GetParam();
  const std::string data = Bytes(1000, 30);
  const std::string primary = Serve("primary", data);
  if (row.fault != nullptr) Fault("primary", row.fault);

  auto run = RunToEnd(primary, Url("secondary"));
  const Notification* started = Find(*run, WM_DOWNLOAD_STARTED);
  ASSERT_NE(nullptr, started) << Describe(*run);
  EXPECT_EQ(row.expected, started->contentLength);
  const Notification& last = run->Notifications().back();
  ASSERT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), last.message) << Describe(*run);
  EXPECT_EQ(row.expected, last.contentLength);
  EXPECT_EQ(data.size(), last.bytesReceived);
  EXPECT_EQ(data, worker_test::ReadWholeFile(run->LocalPath()));
  EXPECT_TRUE(Requests("secondary").empty());
}

INSTANTIATE_TEST_SUITE_P(Rows,
                         ContentLengthTest,
                         ::testing::ValuesIn(kContentLengthRows),
                         [](const ::testing::TestParamInfo<ContentLengthRow>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Bodies: the file holds exactly the bytes received, whatever their number.

struct BodyRow {
  const char* name;
  size_t size;
  const char* fault;     // null: none
  size_t expectedBytes;  // what arrives and is written
};

class BodyTest : public WorkerTest, public ::testing::WithParamInterface<BodyRow> {};

const BodyRow kBodyRows[] = {
    {"Empty", 0, nullptr, 0},
    {"OnePiece", 512, nullptr, 512},
    {"OnePieceAndOneByte", 513, nullptr, 513},
    {"SeveralMegabytes", 3 * 1024 * 1024 + 123, nullptr, 3 * 1024 * 1024 + 123},
    // Without an announced length, an answer that ends is the whole file.
    {"EndsWithoutLength", 1000, R"({"no_content_length":true,"close_after":1000})", 1000},
};

TEST_P(BodyTest, FileHoldsExactlyTheBytesReceived) {
  const BodyRow& row = GetParam();
  const std::string data = Bytes(row.size, 40);
  const std::string primary = Serve("primary", data);
  if (row.fault != nullptr) Fault("primary", row.fault);

  auto run = RunToEnd(primary, Url("secondary"));
  ASSERT_EQ(2u, run->Notifications().size()) << Describe(*run);
  const Notification& done = run->Notifications()[1];
  ASSERT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), done.message);
  EXPECT_EQ(row.fault == nullptr ? row.size : 0u, done.contentLength);
  EXPECT_EQ(row.expectedBytes, done.bytesReceived);
  bool read = false;
  const std::string written = worker_test::ReadWholeFile(run->LocalPath(), &read);
  EXPECT_TRUE(read) << "the file exists, even when empty";
  EXPECT_TRUE(written == data.substr(0, row.expectedBytes))
      << "file has " << written.size() << " bytes, expected the first " << row.expectedBytes;
  EXPECT_TRUE(run->Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows,
                         BodyTest,
                         ::testing::ValuesIn(kBodyRows),
                         [](const ::testing::TestParamInfo<BodyRow>& info) { return std::string(info.param.name); });

// A body that ends before its announced length is a broken connection, not a
// complete file: a cut-off program must never be handed on as downloaded.
struct ShortBodyRow {
  const char* name;
  const char* fault;
  std::uint32_t announced;
  std::uint32_t received;
};

class ShortBodyTest : public WorkerTest, public ::testing::WithParamInterface<ShortBodyRow> {};

const ShortBodyRow kShortBodyRows[] = {
    {"ClosedAfterPartOfTheBody", R"({"close_after":1000})", 3000, 1000},
    {"AnnouncedMoreThanSent", R"({"content_length":"4294967295"})", 4294967295u, 3000},
    {"ClosedBeforeAnyByte", R"({"close_after":0})", 3000, 0},
};

TEST_P(ShortBodyTest, IsReportedAsAnErrorAndKeepsThePartialFile) {
  const ShortBodyRow& row = GetParam();
  const std::string data = Bytes(3000, 41);
  const std::string primary = Serve("primary", data);
  Fault("primary", row.fault);

  auto run = RunToEnd(primary, Url("secondary"));
  ASSERT_EQ(2u, run->Notifications().size()) << Describe(*run);
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_STARTED), run->Notifications()[0].message);
  const Notification& last = run->Notifications()[1];
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_FAILED), last.message);
  EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_NONE), last.wParam);
  EXPECT_EQ(row.announced, last.contentLength);
  EXPECT_EQ(row.received, last.bytesReceived);
  ASSERT_EQ(1u, run->Boxes().size()) << Describe(*run);
  EXPECT_EQ(0u, run->Boxes()[0].text.rfind(L"Error2:", 0));
  EXPECT_TRUE(worker_test::ReadWholeFile(run->LocalPath()) == data.substr(0, row.received));
  EXPECT_TRUE(Requests("secondary").empty()) << "an error while reading tries no other host";
}

INSTANTIATE_TEST_SUITE_P(Rows,
                         ShortBodyTest,
                         ::testing::ValuesIn(kShortBodyRows),
                         [](const ::testing::TestParamInfo<ShortBodyRow>& info) {
                           return std::string(info.param.name);
                         });

// The largest file taken (SetMaxFileSize): an announced length above it, or
// one beyond 32 bits, is a bad answer, as a status other than 200 is; a body
// without a length that runs past it ends as a body cut short does. Nothing
// longer than the limit is ever on disk.
struct SizeLimitRow {
  const char* name;
  std::uint32_t limit;  // 0: the worker's own
  size_t primarySize;
  const char* primaryFault;  // null: none
  size_t secondarySize;      // 0: the secondary has no such file
  bool secondaryAsked;
  bool completes;
  WPARAM status;  // of a failure
};

class SizeLimitTest : public WorkerTest, public ::testing::WithParamInterface<SizeLimitRow> {};

const SizeLimitRow kSizeLimitRows[] = {
    {"AnnouncedAtTheLimit", 1000, 1000, nullptr, 0, false, true, 0},
    {"PrimaryAnnouncesMore", 1000, 1001, nullptr, 1000, true, true, 0},
    {"BothAnnounceMore", 1000, 1001, nullptr, 1001, true, false, DOWNLOAD_HTTP_NOT_OK},
    {"PrimaryAnnouncesMoreThan32Bits", 0, 1000, R"({"content_length":"4294967296"})", 1000, true, true, 0},
    {"UnannouncedAtTheLimit", 1000, 1000, R"({"no_content_length":true,"close_after":1000})", 0, false, true, 0},
    {"UnannouncedRunsPast", 1000, 1001, R"({"no_content_length":true,"close_after":1001})", 1000, false, false,
     DOWNLOAD_NONE},
};

TEST_P(SizeLimitTest, RefusesWhatIsLongerAndWritesNothingBeyondIt) {
  const SizeLimitRow& row = GetParam();
  const std::string primaryData = Bytes(row.primarySize, 110);
  const std::string secondaryData = Bytes(row.secondarySize, 111);
  const std::string primary = Serve("primary", primaryData);
  if (row.primaryFault != nullptr) Fault("primary", row.primaryFault);
  const std::string secondary = row.secondarySize != 0 ? Serve("secondary", secondaryData) : Url("secondary");
  maxFileSize_ = row.limit;

  auto run = RunToEnd(primary, secondary);
  const Notification& last = run->Notifications().back();
  EXPECT_EQ(row.secondaryAsked ? 1u : 0u, Requests("secondary").size());
  bool onDisk = false;
  const std::string written = worker_test::ReadWholeFile(run->LocalPath(), &onDisk);
  if (row.completes) {
    ASSERT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), last.message) << Describe(*run);
    EXPECT_TRUE(written == (row.secondaryAsked ? secondaryData : primaryData)) << written.size() << " bytes";
  } else {
    ASSERT_EQ(static_cast<UINT>(WM_DOWNLOAD_FAILED), last.message) << Describe(*run);
    EXPECT_EQ(row.status, last.wParam);
    EXPECT_EQ(row.status == DOWNLOAD_NONE ? 1u : 0u, run->Boxes().size()) << Describe(*run);
    EXPECT_EQ(row.status == DOWNLOAD_NONE, onDisk) << "a refused answer creates no file";
    EXPECT_TRUE(written == primaryData.substr(0, written.size())) << "only what came, in order";
  }
  EXPECT_LE(written.size(), row.limit != 0 ? row.limit : 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(Rows,
                         SizeLimitTest,
                         ::testing::ValuesIn(kSizeLimitRows),
                         [](const ::testing::TestParamInfo<SizeLimitRow>& info) {
                           return std::string(info.param.name);
                         });

// A connection reset while the worker waits for more of the body: the read
// fails, the user is told why, and the pieces written so far stay. (Wine's
// WinInet reports the reset only when it comes while a read waits; one that
// arrives with the data can also end the body silently, as a short answer.)
TEST_F(WorkerTest, ReadFailingMidBodyIsReportedAndKeepsThePartialFile) {
  const std::string data = Bytes(3000, 45);
  const std::string primary = Serve("primary", data);
  // One whole piece, then the start of the next, a pause, and a reset.
  Fault("primary", R"({"stall_after":600,"stall_seconds":0.3,"close_after":600,"close_mode":"reset"})");

  auto run = RunToEnd(primary, Serve("secondary", Bytes(3000, 46)));
  ASSERT_EQ(2u, run->Notifications().size()) << Describe(*run);
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_STARTED), run->Notifications()[0].message);
  const Notification& last = run->Notifications()[1];
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_FAILED), last.message);
  EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_NONE), last.wParam);
  EXPECT_EQ(512u, last.bytesReceived);
  EXPECT_EQ(FileState::kFree, last.localFile) << "the file is closed before the failure is reported";
  ASSERT_EQ(1u, run->Boxes().size()) << Describe(*run);
  EXPECT_EQ(0u, run->Boxes()[0].text.find(L"Error2:"));
  EXPECT_GT(run->Boxes()[0].text.size(), 7u) << "the box describes the error";
  std::printf("[ observe  ] reset during a read: box \"%s\"\n", worker_test::Utf8(run->Boxes()[0].text).c_str());
  EXPECT_EQ(data.substr(0, 512), worker_test::ReadWholeFile(run->LocalPath()));
  EXPECT_TRUE(Requests("secondary").empty()) << "a failed read is not retried elsewhere";
}

// A file already at the local path gives way to the download. The installer
// runs elevated, so the old file is replaced, not truncated: a second name
// of it (a hard link made by whoever left it there) keeps its old content.
TEST_F(WorkerTest, ExistingLocalFileIsReplacedNotWrittenThrough) {
  const std::string data = Bytes(700, 50);
  const std::string primary = Serve("primary", data);
  const std::string stale = Bytes(10000, 51);
  const std::string elsewhere = folder_ + "elsewhere.bin";
  {
    HANDLE old = CreateFileA(elsewhere.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, old);
    DWORD written = 0;
    WriteFile(old, stale.data(), static_cast<DWORD>(stale.size()), &written, nullptr);
    CloseHandle(old);
  }
  ASSERT_TRUE(CreateHardLinkA((folder_ + "ZVUpdater.exe").c_str(), elsewhere.c_str(), nullptr)) << GetLastError();
  auto run = RunToEnd(primary, Url("secondary"));
  ASSERT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), run->Notifications().back().message) << Describe(*run);
  EXPECT_EQ(data, worker_test::ReadWholeFile(run->LocalPath()));
  EXPECT_EQ(stale, worker_test::ReadWholeFile(elsewhere)) << "the download was written through an old hard link";
}

// An old entry that can be renamed aside but not deleted (on Windows the
// file of a program still running; here a folder that holds something, which
// is the same case to the replacing) gives way all the same: the file is
// written and no error is shown; the old one stays aside, whole.
TEST_F(WorkerTest, OldEntryThatCannotBeDeletedStillGivesWay) {
  const std::string data = Bytes(700, 54);
  ASSERT_TRUE(CreateDirectoryA((folder_ + "ZVUpdater.exe").c_str(), nullptr));
  HANDLE inside = CreateFileA((folder_ + "ZVUpdater.exe\\running.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, inside);
  CloseHandle(inside);
  auto run = RunToEnd(Serve("primary", data), Url("secondary"));
  ASSERT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), run->Notifications().back().message) << Describe(*run);
  EXPECT_TRUE(run->Boxes().empty()) << Describe(*run);
  EXPECT_EQ(data, worker_test::ReadWholeFile(run->LocalPath()));
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder_ + "ZVUpdater.exe.old-*").c_str(), &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, search) << "the old folder was not moved aside";
  FindClose(search);
  EXPECT_NE(FileState::kMissing, worker_test::LocalFileState(folder_ + found.cFileName + "\\running.txt"));
}

// Files moved aside by an earlier run go in a later one where they can:
// files only, never what a link points to, never a name this program does
// not make, and not a file still in use.
TEST_F(WorkerTest, LeftoversMovedAsideAreDeletedLaterWhereTheyCanBe) {
  auto write = [](const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file) << path;
    CloseHandle(file);
  };
  const std::string outside = folder_ + "outside\\";
  ASSERT_TRUE(CreateDirectoryA(outside.c_str(), nullptr));
  write(outside + "target.exe");
  struct Row {
    const char* name;
    const char* kind;  // "file", "folder", "in use", "link"
    bool deleted;
  };
  const Row rows[] = {
      {"ZVCallUpdater.exe.old-1d9a3c2b4e5f607", "file", true},
      {"ZVUpdater.exe.old-2", "file", true},
      {"ZVUpdaterRes.dll.old-3", "in use", false},
      {"ZVUpdater.exe.old-4", "folder", false},
      {"ZVUpdater.exe.old-5", "link", false},
      {"ZVUpdater.exe.old-6.txt", "file", false},  // not a name this program makes
      {"ZVUpdater.exe", "file", false},
  };
  bool linked = false;
  for (const Row& row : rows) {
    const std::string path = folder_ + row.name;
    if (std::string(row.kind) == "folder") {
      ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
      write(path + "\\inside.txt");
    } else if (std::string(row.kind) == "link") {
      linked = CreateSymbolicLinkA(path.c_str(), (outside + "target.exe").c_str(), 0) != FALSE;
    } else {
      write(path);
      if (std::string(row.kind) == "in use") HoldOpen(path);  // opened without sharing
    }
  }
  HANDLE folder =
      CreateFileW(worker_test::Wide(folder_).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, folder);
  zelvra::DeleteMovedAside(folder);
  CloseHandle(folder);
  bool linkKept = false;
  for (const Row& row : rows) {
    WIN32_FIND_DATAA found;  // the entry itself, not what a link points to
    HANDLE search = FindFirstFileA((folder_ + row.name).c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    if (std::string(row.kind) == "link") {
      linkKept = search != INVALID_HANDLE_VALUE;  // a link may go itself; what it points to never does
      continue;
    }
    EXPECT_EQ(row.deleted, search == INVALID_HANDLE_VALUE) << row.name;
  }
  EXPECT_NE(FileState::kMissing, worker_test::LocalFileState(outside + "target.exe")) << "deleted through a link";
  std::printf("[ observe  ] a symbolic link among the leftovers: %s\n", !linked    ? "could not be made"
                                                                        : linkKept ? "kept"
                                                                                   : "removed itself");
}

// The worker keeps the window it was given, not the owner object: a run
// whose owner object is gone by the time it starts (a download dialog
// destroyed right after a cancel) still reports to that window.
TEST_F(WorkerTest, ReportsToTheWindowItWasGivenWhenTheOwnerObjectIsGone) {
  const std::string primary = Serve("primary", Bytes(700, 52));
  WorkerRun run(folder_, primary, Url("secondary"));
  run.Start();
  run.ForgetOwnerObject();
  ASSERT_TRUE(run.WaitFinal()) << "the worker reported nothing to its owner window: " << Describe(run);
  EXPECT_TRUE(run.WaitThreadEnd());
  ExpectProtocol(run);
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), run.Notifications().back().message) << Describe(run);
}

// A download folder that the owner could not make safe: the run fails to
// create its file with the owner's error, as for a folder that cannot be
// made at all, before any request, and writes nothing.
TEST_F(WorkerTest, FolderThatCouldNotBeMadeSafeFailsTheFileWithItsError) {
  WorkerRun run(folder_, Serve("primary", Bytes(700, 53)), Url("secondary"), FALSE, ERROR_SHARING_VIOLATION);
  run.Start();
  ASSERT_TRUE(run.WaitFinal()) << Describe(run);
  EXPECT_TRUE(run.WaitThreadEnd());
  ExpectProtocol(run);
  EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_FILE_CREATE_FAILED), run.Notifications().back().wParam) << Describe(run);
  ASSERT_EQ(1u, run.Boxes().size()) << Describe(run);
  EXPECT_EQ(L"Error1:" + FileErrorText(kSharingViolationText, run.LocalPath()), run.Boxes()[0].text);
  EXPECT_EQ(FileState::kMissing, worker_test::LocalFileState(run.LocalPath()));
  EXPECT_TRUE(Requests("primary").empty()) << "a request for a file that had no place";
}

// The download folder of an elevated run (this process is elevated under
// Wine, as the installer is on Windows). Wine keeps no security descriptor
// of its own on files, so what it reads back of a folder is its default; the
// descriptor the folder is created with is checked as built instead.
TEST_F(WorkerTest, DownloadFolderIsCreatedWritableBySystemAndAdministratorsOnly) {
  const std::u16string descriptor = DownloadFolderDescriptorSddl();
  const std::string sddl = worker_test::Utf8(AfxWide(descriptor));
  EXPECT_EQ(0u, sddl.find("O:BAD:P")) << sddl;
  EXPECT_TRUE(zelvra::AdmitsWritesOnlyByAdministrators(descriptor)) << sddl;
  EXPECT_NE(std::string::npos, sddl.find(";;;S-1-5-")) << "the user may read and run: " << sddl;
  std::printf("[ observe  ] download folder descriptor: %s\n", sddl.c_str());

  const std::string folder = folder_ + "ZelvraManager\\";
  CDownloadFolder held;
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR), held.Prepare(CString(worker_test::Wide(folder_))));
  ASSERT_TRUE(held.IsHeld());
  EXPECT_EQ(0, _wcsicmp(worker_test::Wide(folder).c_str(), held.Path())) << worker_test::Utf8(held.Path().str());
  EXPECT_NE(FALSE, PathIsDirectoryA(folder.c_str()));
  // (Held without sharing delete, it cannot be renamed or removed on
  // Windows; Wine 8 lets a folder be renamed all the same.)
  held.Close();
  EXPECT_TRUE(RemoveDirectoryA((folder_ + "ZelvraManager").c_str()));
}

// What was in the folder's place before: a file goes; a folder that others
// could write is moved aside with what it holds; a file that cannot go ends
// the attempt with the system's error.
TEST_F(WorkerTest, DownloadFolderReplacesWhatWasInItsPlace) {
  const std::string place = folder_ + "ZelvraManager";
  auto write = [](const std::string& path, const std::string& data) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(file);
  };
  auto asideFolders = [&] {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((place + ".old-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
  };
  CDownloadFolder held;
  const CString temp(worker_test::Wide(folder_));

  write(place, "a file in the folder's place");
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR), held.Prepare(temp));
  EXPECT_NE(FALSE, PathIsDirectoryA(place.c_str()));
  EXPECT_TRUE(asideFolders().empty()) << "the file went";
  held.Close();
  ASSERT_TRUE(RemoveDirectoryA(place.c_str()));

  // A folder made by someone else, with the security it inherits from %TEMP%.
  ASSERT_TRUE(CreateDirectoryA(place.c_str(), nullptr));
  write(place + "\\version.dll", "planted");
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR), held.Prepare(temp));
  EXPECT_EQ(FileState::kMissing, worker_test::LocalFileState(place + "\\version.dll"));
  const std::vector<std::string> aside = asideFolders();
  ASSERT_EQ(1u, aside.size());
  EXPECT_EQ("planted", worker_test::ReadWholeFile(folder_ + aside[0] + "\\version.dll")) << "moved aside whole";
  held.Close();
  RemoveFolder(folder_ + aside[0] + "\\");
  RemoveDirectoryA(place.c_str());

  write(place, "held");
  HoldOpen(place);  // a file nobody may delete or move now
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), held.Prepare(temp));
  EXPECT_FALSE(held.IsHeld());
}

// ---------------------------------------------------------------------------
// Requests: a GET that names the application and bypasses every cache.

TEST_F(WorkerTest, EveryRequestNamesTheApplicationAndAsksForNoCachedAnswer) {
  const std::string primary = Serve("primary", Bytes(600, 60));
  Fault("primary", R"({"status":404})");
  const std::string secondary = Serve("secondary", Bytes(600, 61));
  // Twice: a second run must not be answered from WinInet's cache either.
  for (int round = 0; round < 2; ++round) {
    auto run = RunToEnd(primary, secondary);
    EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), run->Notifications().back().message) << Describe(*run);
  }
  std::vector<LoggedRequest> all = Requests("primary");
  const std::vector<LoggedRequest> secondaryRequests = Requests("secondary");
  EXPECT_EQ(2u, all.size());
  EXPECT_EQ(2u, secondaryRequests.size());
  all.insert(all.end(), secondaryRequests.begin(), secondaryRequests.end());
  for (const LoggedRequest& request : all) {
    SCOPED_TRACE(request.path);
    EXPECT_EQ("GET", request.method);
    EXPECT_EQ("Zelvra(TM) Installer", request.Header("User-Agent"));
    bool pragma = false;
    bool cacheControl = false;
    const std::string pragmaValue = request.Header("Pragma", &pragma);
    const std::string cacheControlValue = request.Header("Cache-Control", &cacheControl);
    EXPECT_TRUE((pragma && pragmaValue == "no-cache") || (cacheControl && cacheControlValue == "no-cache"))
        << "Pragma: " << pragmaValue << ", Cache-Control: " << cacheControlValue;
    EXPECT_EQ("", request.Header("If-Modified-Since")) << "a conditional request could be answered by the cache";
    EXPECT_EQ("", request.Header("If-None-Match"));
  }
  std::printf("[ observe  ] request headers sent by this WinInet:");
  for (const auto& header : all.front().headers) std::printf(" [%s: %s]", header.first.c_str(), header.second.c_str());
  std::printf("\n");
}

// Whether WinInet's cache holds an entry for `url`, and its cookie store a
// cookie for it.
bool Cached(const std::string& url) {
  DWORD size = 0;
  const std::wstring wide = worker_test::Wide(url);
  return GetUrlCacheEntryInfoW(wide.c_str(), nullptr, &size) || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}
bool HasCookie(const std::string& url) {
  DWORD size = 0;
  const std::wstring wide = worker_test::Wide(url);
  return InternetGetCookieW(wide.c_str(), nullptr, nullptr, &size) != FALSE;
}

// Fetches `url` with the flags the worker used to send (no cache answer, but
// no word on the cache and cookie stores), as a plain WinInet client does.
bool FetchWithoutStoreFlags(const std::string& url) {
  HINTERNET session = InternetOpenW(kTitle, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  const std::wstring wide = worker_test::Wide(url);
  HINTERNET request = session != nullptr ? InternetOpenUrlW(session, wide.c_str(), nullptr, 0,
                                                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE, 0)
                                         : nullptr;
  char piece[512];
  DWORD read = 0;
  bool ok = request != nullptr;
  while (ok && InternetReadFile(request, piece, sizeof(piece), &read) && read != 0) {
  }
  if (request != nullptr) InternetCloseHandle(request);
  if (session != nullptr) InternetCloseHandle(session);
  return ok;
}

// Nothing of a download lands in the user's stores: an elevated run must not
// write into folders of the user's, nor leave a copy of a program there.
TEST_F(WorkerTest, NothingOfTheDownloadLandsInTheCacheOrTheCookieStore) {
  const char* withCookie = R"({"headers":{"Set-Cookie":"zelvra=1; Path=/"}})";
  const std::string plain = Serve("primary", Bytes(600, 62), "/plain-client.bin");
  Fault("primary", withCookie, "/plain-client.bin");
  ASSERT_TRUE(FetchWithoutStoreFlags(plain));
  EXPECT_TRUE(Cached(plain)) << "this WinInet caches what a plain client downloads";
  EXPECT_TRUE(HasCookie(plain)) << "and keeps the cookies it is given";
  DeleteUrlCacheEntryW(worker_test::Wide(plain).c_str());
  InternetSetCookieW(worker_test::Wide(plain).c_str(), L"zelvra", L"; expires=Thu, 01-Jan-1970 00:00:00 GMT");

  const std::string ours = Serve("primary", Bytes(600, 63));
  Fault("primary", withCookie);
  auto run = RunToEnd(ours, ours);
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), run->Notifications().back().message) << Describe(*run);
  EXPECT_FALSE(Cached(ours));
  EXPECT_FALSE(HasCookie(ours));
}

// ---------------------------------------------------------------------------
// Cancelling.

// Cancel while the worker waits for the rest of a stalled body: the local file
// is released at once, keeps what was received, and the run reports
// DOWNLOAD_CANCELLED without a box; the thread ends at the latest once the
// stall ends.
TEST_F(WorkerTest, CancelDuringTheBodyReleasesTheFileAndReportsCancelled) {
  constexpr size_t kSize = 64 * 1024;
  constexpr size_t kBeforeStall = 4096;
  constexpr int kStallSeconds = 4;
  const std::string data = Bytes(kSize, 70);
  const std::string primary = Serve("primary", data);
  Fault("primary", "{\"stall_after\":" + std::to_string(kBeforeStall) +
                       ",\"stall_seconds\":" + std::to_string(kStallSeconds) + "}");

  WorkerRun run(folder_, primary, Url("secondary"));
  run.Start();
  ASSERT_TRUE(run.PumpUntil([&] { return run.Snapshot().bytesReceived == kBeforeStall; }, 10000))
      << "the worker did not reach the stall: " << Describe(run);

  const DWORD cancelled = GetTickCount();
  ASSERT_TRUE(run.Cancel());
  // The file is released now, while the worker is still blocked in its read:
  // it can be opened with exclusive access at once.
  HANDLE file =
      CreateFileA(run.LocalPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << "error " << GetLastError();
  const bool workerStillBlocked = !run.Final();
  CloseHandle(file);

  ASSERT_TRUE(run.WaitFinal(kStallSeconds * 1000 + 10000)) << Describe(run);
  const DWORD finalAfter = run.FinalTick() - cancelled;
  EXPECT_TRUE(run.WaitThreadEnd(10000)) << "the worker's thread did not end after the stall";
  ExpectProtocol(run);
  const Notification& last = run.Notifications().back();
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_FAILED), last.message);
  EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_CANCELLED), last.wParam);
  EXPECT_LE(last.bytesReceived, kBeforeStall);
  EXPECT_TRUE(run.Boxes().empty()) << Describe(run);

  // The partial file stays, with nothing beyond what came before the cancel.
  const std::string kept = worker_test::ReadWholeFile(run.LocalPath());
  EXPECT_LE(kept.size(), kBeforeStall);
  EXPECT_TRUE(kept == data.substr(0, kept.size()));
  std::printf(
      "[ observe  ] cancel during a stalled body: worker %s blocked after Cancel returned; "
      "final message %lu ms after the cancel (stall %d s)\n",
      workerStillBlocked ? "still" : "no longer", static_cast<unsigned long>(finalAfter), kStallSeconds);
}

// A worker whose owner cancels at the very moment the run decides whether
// to show why it failed (a Cancel click can land there).
class CCancelledAtTheErrorBox : public CHttpFileDownloader {
  DECLARE_DYNCREATE(CCancelledAtTheErrorBox)

 public:
  static std::atomic<int> s_cancels;  // cancels the owner asked for there, and that were taken

 protected:
  CCancelledAtTheErrorBox() = default;
  void BeforeErrorBoxDecision() override {
    if (Sync()->Cancel()) s_cancels += 1;
  }
};
IMPLEMENT_DYNCREATE(CCancelledAtTheErrorBox, CHttpFileDownloader)
std::atomic<int> CCancelledAtTheErrorBox::s_cancels{0};

// A cancel that comes just before the run would show a failure's box: no
// box, and the run ends as a cancelled one, for both kinds of box.
TEST_F(WorkerTest, CancelAtTheErrorBoxDecisionShowsNoBox) {
  struct Row {
    const char* name;
    std::string primary;
    std::string folder;
  };
  const Row rows[] = {
      {"Error1: the local file cannot be created", Serve("primary", Bytes(100, 1)), folder_ + "missing\\"},
      {"Error2: the host cannot be reached",
       "http://127.0.0.1:" + std::to_string(mirror().ClosedPort()) + "/Zelvra/ZVUpdater.exe", folder_},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CCancelledAtTheErrorBox::s_cancels = 0;
    WorkerRun run(row.folder, row.primary, Url("secondary"), FALSE, NO_ERROR, RUNTIME_CLASS(CCancelledAtTheErrorBox));
    run.Start();
    ASSERT_TRUE(run.WaitFinal()) << Describe(run);
    EXPECT_TRUE(run.WaitThreadEnd());
    ExpectProtocol(run);
    EXPECT_EQ(1, CCancelledAtTheErrorBox::s_cancels.load());
    EXPECT_TRUE(run.Boxes().empty()) << Describe(run);
    EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_CANCELLED), run.Notifications().back().wParam) << Describe(run);
  }
}

// Once the box is up, a cancel is refused and changes nothing: the run
// reports its failure, as the user is being told.
TEST_F(WorkerTest, CancelIsRefusedOnceTheErrorBoxIsUp) {
  WorkerRun run(folder_, "http://127.0.0.1:" + std::to_string(mirror().ClosedPort()) + "/Zelvra/ZVUpdater.exe",
                Url("secondary"));
  run.Start();
  bool accepted = true;
  ASSERT_TRUE(run.PumpUntil([&] { return !run.Boxes().empty(); }, 20000)) << Describe(run);
  ASSERT_TRUE(run.Workers().IsRunning());  // it waits in its box, or in its final send
  accepted = run.Cancel();
  ASSERT_TRUE(run.WaitFinal()) << Describe(run);
  EXPECT_TRUE(run.WaitThreadEnd());
  ExpectProtocol(run);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(1u, run.Boxes().size());
  EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_NONE), run.Notifications().back().wParam) << Describe(run);
}

// Cancel while the server has not answered yet: no local file is created.
TEST_F(WorkerTest, CancelBeforeTheAnswerCreatesNoFile) {
  constexpr int kDelaySeconds = 2;
  const std::string primary = Serve("primary", Bytes(1000, 80));
  Fault("primary", "{\"delay\":" + std::to_string(kDelaySeconds) + "}");

  WorkerRun run(folder_, primary, Url("secondary"));
  run.Start();
  ASSERT_TRUE(run.PumpUntil([&] { return !Requests("primary").empty(); }, 10000));
  const DWORD cancelled = GetTickCount();
  ASSERT_TRUE(run.Cancel());
  ASSERT_TRUE(run.WaitFinal(kDelaySeconds * 1000 + 10000)) << Describe(run);
  EXPECT_TRUE(run.WaitThreadEnd());
  ExpectProtocol(run);
  ASSERT_EQ(1u, run.Notifications().size()) << Describe(run);
  EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_CANCELLED), run.Notifications()[0].wParam);
  EXPECT_TRUE(run.Boxes().empty()) << Describe(run);
  EXPECT_EQ(FileState::kMissing, worker_test::LocalFileState(run.LocalPath()));
  EXPECT_TRUE(Requests("secondary").empty());
  std::printf("[ observe  ] cancel before the answer: final message %lu ms after the cancel (delay %d s)\n",
              static_cast<unsigned long>(run.FinalTick() - cancelled), kDelaySeconds);
}

// The owner itself.

// Start, the final message, the join: the final message is taken once, no
// worker runs after it, and the join sees the thread end; a second join has
// nothing left to wait for.
TEST_F(WorkerTest, OwnerTakesTheFinalMessageOnceAndJoinsTheEndedWorker) {
  WorkerRun run(folder_, Serve("primary", Bytes(700, 54)), Url("secondary"));
  ASSERT_TRUE(run.Start());
  EXPECT_TRUE(run.Workers().IsRunning());
  ASSERT_TRUE(run.WaitFinal()) << Describe(run);
  EXPECT_FALSE(run.Workers().IsRunning());
  DownloadSnapshot again;
  EXPECT_FALSE(run.Workers().TakeFinal(&again));
  EXPECT_TRUE(run.Workers().Join(10000));
  EXPECT_EQ(0u, run.ExitCode());
  EXPECT_TRUE(run.Workers().Join(0));
}

// A cancelled worker joined while a handler of its final report starts the
// next worker (which replaces the owner's thread handle): the join keeps
// waiting for the cancelled one, and only for it.
TEST_F(WorkerTest, OwnerJoinWaitsForTheCancelledWorkerWhileAHandlerStartsTheNext) {
  const std::string stalled = Serve("primary", Bytes(8192, 55));
  Fault("primary", "{\"stall_after\":1024,\"stall_seconds\":2}");
  const std::string next = Serve("primary", Bytes(700, 56), altPath_);
  WorkerRun run(folder_, stalled, Url("secondary"));
  ASSERT_TRUE(run.Start());
  ASSERT_TRUE(run.PumpUntil([&] { return run.Snapshot().bytesReceived == 1024; }, 10000)) << Describe(run);
  const HANDLE first = OpenThread(SYNCHRONIZE, FALSE, run.Workers().WorkerThreadId());
  ASSERT_TRUE(run.Cancel());
  bool startedNext = false;
  run.onFinal = [&] {
    DownloadWorkerSettings settings;
    settings.folder = CString(worker_test::Wide(folder_));
    settings.primaryUrl = CString(worker_test::Wide(next));
    settings.secondaryUrl = settings.primaryUrl;
    CWnd owner;
    owner.m_hWnd = run.Owner();
    CString localPath;
    if (!startedNext) startedNext = run.Workers().Start(owner, settings, &localPath);
  };
  EXPECT_TRUE(run.Workers().Join(15000));
  EXPECT_TRUE(startedNext);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0)) << "the join returned before the cancelled worker ended";
  CloseHandle(first);
  // The next worker runs to its end as usual.
  run.onFinal = nullptr;
  EXPECT_TRUE(run.PumpUntil([&] { return !run.Workers().IsRunning(); }, 20000)) << Describe(run);
  EXPECT_EQ(static_cast<UINT>(WM_DOWNLOAD_DONE), run.Notifications().back().message) << Describe(run);
}

// A worker blocked in a stalled body (Wine cannot wake a blocked WinInet
// read) is cancelled, joined briefly and let go at once, without waiting for
// the receive time-out; it reports to no one afterwards.
TEST_F(WorkerTest, OwnerLetsGoOfABlockedWorkerAtOnce) {
  const std::string stalled = Serve("primary", Bytes(8192, 57));
  Fault("primary", "{\"stall_after\":1024,\"stall_seconds\":40}");
  WorkerRun run(folder_, stalled, Url("secondary"));
  ASSERT_TRUE(run.Start());
  ASSERT_TRUE(run.PumpUntil([&] { return run.Snapshot().bytesReceived == 1024; }, 10000)) << Describe(run);
  const DWORD start = GetTickCount();
  ASSERT_TRUE(run.Cancel());
  const bool ended = run.Workers().Join(300);
  run.Workers().LetGo();
  const DWORD took = GetTickCount() - start;
  EXPECT_LT(took, 5000u) << "the cancel, join and let-go took " << took << " ms";
  EXPECT_FALSE(run.Workers().IsRunning());
  std::printf("[ observe  ] a blocked worker: %s by the 300 ms join; let go after %lu ms\n",
              ended ? "ended" : "still blocked", static_cast<unsigned long>(took));
}

// A worker whose resume fails never runs: the start fails, and its block is
// cancelled first, so that it lets go of the folder (which a later run may
// then move aside), and there is nothing to join.
TEST_F(WorkerTest, OwnerWhoseWorkerCannotResumeLetsGoOfTheFolder) {
  const std::string folder = folder_ + "resume\\";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  WorkerRun run(folder, Serve("primary", Bytes(700, 58)), Url("secondary"));
  run.Workers().FailResume();
  EXPECT_FALSE(run.Start());
  EXPECT_FALSE(run.Workers().IsRunning());
  EXPECT_TRUE(run.Workers().Join(0));
  run.CloseFolder();
  const std::string moved = folder_ + "moved";
  EXPECT_TRUE(MoveFileA(folder.c_str(), moved.c_str())) << "the folder is still held: error " << GetLastError();
  EXPECT_TRUE(Requests("primary").empty());
}

// ---------------------------------------------------------------------------
// Time-outs. The worker asks for 15 s to connect and 30 s to receive. How long
// a silent or stalled server holds it depends on the platform's WinInet; these
// tests bound the fault by the mirror (ZELVRA_WORKER_FAULT_SECONDS, 3 s by
// default; set it above 30 to see whether the worker's own time-outs fire)
// and report what happened.

int FaultSeconds() {
  const char* value = std::getenv("ZELVRA_WORKER_FAULT_SECONDS");
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : 3;
}

// A server that accepts the request and never answers: the run fails, and no
// local file comes of it. Wine's WinInet waits for as long as the server is
// silent and then takes the closed connection for an answer with status 0
// (so the secondary is tried); Windows' reports an error of the request
// (after the receive time-out at the latest), which ends the run at once.
TEST_F(WorkerTest, SilentServerYieldsNoFile) {
  const int seconds = FaultSeconds();
  const std::string primary = Serve("primary", Bytes(1000, 90));
  Fault("primary", "{\"silent\":true,\"silent_seconds\":" + std::to_string(seconds) + "}");
  auto run = std::make_unique<WorkerRun>(folder_, primary, Url("secondary"));
  run->Start();
  ASSERT_TRUE(run->WaitFinal(static_cast<DWORD>(seconds) * 1000 + 45000)) << Describe(*run);
  EXPECT_TRUE(run->WaitThreadEnd());
  ExpectProtocol(*run);
  std::printf("[ observe  ] server silent for %d s: %s after %lu ms\n", seconds, Describe(*run).c_str(),
              static_cast<unsigned long>(run->FinalTick() - run->StartTick()));
  const Notification& last = run->Notifications().back();
  ASSERT_EQ(static_cast<UINT>(WM_DOWNLOAD_FAILED), last.message);
  if (last.wParam == DOWNLOAD_NONE) {  // an error of the request: reported, no second attempt
    ASSERT_EQ(1u, run->Boxes().size());
    EXPECT_EQ(0u, run->Boxes()[0].text.find(L"Error2:"));
    EXPECT_GT(run->Boxes()[0].text.size(), 7u) << "the box describes the error";
    EXPECT_TRUE(Requests("secondary").empty());
  } else {  // a bad answer: the secondary was asked and answered 404
    EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_HTTP_NOT_OK), last.wParam);
    EXPECT_TRUE(run->Boxes().empty());
    EXPECT_EQ(1u, Requests("secondary").size());
  }
  EXPECT_EQ(FileState::kMissing, worker_test::LocalFileState(run->LocalPath()));
}

TEST_F(WorkerTest, StalledBodyEitherCompletesOrFails) {
  const int seconds = FaultSeconds();
  const std::string data = Bytes(5000, 100);
  const std::string primary = Serve("primary", data);
  Fault("primary", "{\"stall_after\":1024,\"stall_seconds\":" + std::to_string(seconds) + "}");
  auto run = std::make_unique<WorkerRun>(folder_, primary, Url("secondary"));
  run->Start();
  ASSERT_TRUE(run->WaitFinal(static_cast<DWORD>(seconds) * 1000 + 45000)) << Describe(*run);
  EXPECT_TRUE(run->WaitThreadEnd());
  ExpectProtocol(*run);
  std::printf("[ observe  ] body stalled for %d s: %s after %lu ms\n", seconds, Describe(*run).c_str(),
              static_cast<unsigned long>(run->FinalTick() - run->StartTick()));
  const Notification& last = run->Notifications().back();
  if (last.message == WM_DOWNLOAD_DONE) {
    EXPECT_EQ(data, worker_test::ReadWholeFile(run->LocalPath()));
  } else {
    // A receive time-out: reported with a box, the partial file kept.
    EXPECT_EQ(static_cast<WPARAM>(DOWNLOAD_NONE), last.wParam);
    EXPECT_EQ(1u, run->Boxes().size());
    EXPECT_EQ(1024u, worker_test::ReadWholeFile(run->LocalPath()).size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::printf("[ observe  ] ANSI code page %u, user interface language 0x%04x\n", GetACP(),
              static_cast<unsigned>(GetUserDefaultUILanguage()));
  for (DWORD error : {ERROR_INTERNET_CANNOT_CONNECT, ERROR_INTERNET_TIMEOUT, ERROR_INTERNET_CONNECTION_RESET,
                      ERROR_HTTP_INVALID_SERVER_RESPONSE}) {
    std::printf("[ observe  ] platform text for WinInet error %lu: \"%s\"\n", static_cast<unsigned long>(error),
                worker_test::Utf8(PlatformInternetText(error)).c_str());
  }
  if (GetACP() != 949) {
    std::fprintf(stderr, "The file-error texts are Korean: run with a Korean locale (ko_KR.UTF-8).\n");
    return 2;
  }
  try {
    Mirror::Get();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
  }
  return RUN_ALL_TESTS();
}
