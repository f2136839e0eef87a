// The elevated start of the launcher (zelvra::StartHeldProgram), with the
// system's command interpreter as the program: it writes a marker file when
// it runs, so a start that was refused shows as a marker that never comes.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "launch/launcher_start.h"
#include "platform/handle.h"

namespace {

std::wstring SystemProgram(const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder) + L"\\" + name;
}

class StartHeldProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    marker_ = std::wstring(temp) + L"zelvra-launch-test-marker.txt";
    DeleteFileW(marker_.c_str());
  }
  void TearDown() override { DeleteFileW(marker_.c_str()); }

  // Starts cmd.exe, which writes the marker, with `held` as the held file.
  DWORD Start(HANDLE held, zelvra::UniqueHandle& process) {
    zelvra::HeldLauncherStart start;
    start.heldFile = held;
    start.currentFolder = CString(SystemProgram(L""));
    return zelvra::StartHeldProgram(CString(SystemProgram(L"cmd.exe")), CString(L"/c echo ran> \"" + marker_ + L"\""),
                                    start, process);
  }
  bool MarkerWritten() const { return GetFileAttributesW(marker_.c_str()) != INVALID_FILE_ATTRIBUTES; }

  static zelvra::UniqueHandle Hold(const std::wstring& path) {
    return zelvra::UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  std::wstring marker_;
};

TEST_F(StartHeldProgramTest, RunsTheProgramWhoseFileIsHeld) {
  const zelvra::UniqueHandle held = Hold(SystemProgram(L"cmd.exe"));
  ASSERT_TRUE(held);
  zelvra::UniqueHandle process;
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR), Start(held.Get(), process));
  ASSERT_TRUE(process);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 30000));
  EXPECT_TRUE(MarkerWritten());
}

TEST_F(StartHeldProgramTest, EndsWithoutRunningAProgramWhoseFileIsNotTheHeldOne) {
  // Another program held, as when the launch path was made to lead elsewhere
  // after the check; and none at all.
  const zelvra::UniqueHandle other = Hold(SystemProgram(L"notepad.exe"));
  ASSERT_TRUE(other);
  for (HANDLE held : {other.Get(), static_cast<HANDLE>(nullptr)}) {
    zelvra::UniqueHandle process;
    EXPECT_EQ(zelvra::kStartedImageNotHeldFile, Start(held, process));
    EXPECT_FALSE(process) << "no process is handed back";
  }
  Sleep(1000);  // a resumed command interpreter writes its marker at once
  EXPECT_FALSE(MarkerWritten()) << "the refused program ran";
}

}  // namespace
