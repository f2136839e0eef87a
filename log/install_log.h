// The log of an unattended run ("@silent", "@passive"): nobody sees its boxes,
// so every event that matters goes into ZelvraInstaller.log in %TEMP%, UTF-8,
// one line an event with the time in UTC (zelvra::LogLine), and to the
// standard error handle when the process was given one. The default run
// writes nothing.
//
// The file is made once %TEMP% is known, and each unattended run replaces
// it. Elevated, it is made through the held %TEMP% (the download folder's
// parent), replacing a file of its name as the downloads are replaced, never
// written through: %TEMP% is the user's, and a file there could be a link to
// anything. Lines written before then are kept and written into it; where
// %TEMP% cannot be made safe, no file is made at all (the standard error
// still had every line). Any thread may write.
#pragma once

#include <windows.h>

#include <string>

#include "framework/afxfile.h"
#include "framework/afxstring.h"

class CInstallLog {
 public:
  // The process's one log.
  static CInstallLog& Get();

  CInstallLog(const CInstallLog&) = delete;
  CInstallLog& operator=(const CInstallLog&) = delete;

  // Starts the log of an unattended run. Nothing is written before.
  void Start();
  bool IsStarted() const { return m_bStarted; }

  // Makes the file in the held `temp` folder (elevated) and writes the lines
  // kept so far into it; nothing when the log is not started or has a file.
  void CreateIn(HANDLE temp);
  // Makes the file in `tempPath` (ending with a backslash) by its path (not
  // elevated), the same way otherwise.
  void CreateAt(const CString& tempPath);
  // %TEMP% could not be made safe: no file is made, and the kept lines go.
  void NoFile();

  // Writes one event's line (nothing when the log is not started).
  void Write(const CString& text);

  static constexpr wchar_t kFileName[] = L"ZelvraInstaller.log";

 private:
  CInstallLog();
  ~CInstallLog();
  // Writes `bytes` to the file and the standard error handle. Under m_lock.
  void Emit(const std::string& bytes, bool toStandardError);
  void WriteKept();

  CRITICAL_SECTION m_lock;
  bool m_bStarted = false;
  bool m_bFileDecided = false;  // the file was made, or will never be
  std::string m_strKept;        // lines written before the file was decided on
  CFile m_file;
  HANDLE m_hStandardError = nullptr;
};
