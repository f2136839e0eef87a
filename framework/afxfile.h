// CFile, a binary file opened for writing, and CFileException, whose cause is
// mapped from the system error code and described by the framework's file
// error texts with the file's path.
#pragma once

#include <windows.h>

#include "framework/afxcore.h"
#include "framework/afxstring.h"

class CFileException : public CException {
 public:
  enum Cause {
    none = 0,
    genericException = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    removeCurrentDir = 7,
    directoryFull = 8,
    badSeek = 9,
    hardIO = 10,
    sharingViolation = 11,
    lockViolation = 12,
    diskFull = 13,
    endOfFile = 14,
  };

  CFileException() = default;
  CFileException(int cause, LONG osError, const wchar_t* fileName)
      : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

  // The cause the framework reports for a system error code.
  static int OsErrorToException(LONG osError);

  int m_cause = none;
  LONG m_lOsError = 0;
  CString m_strFileName;

 protected:
  // File-error text 61856 + cause, with "%1" replaced by the file's path, or
  // by the text for an unnamed file when the path is empty.
  CString Describe() const override;
};

class CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareExclusive = 0x0010,
    modeCreate = 0x1000,
    typeBinary = 0x8000,
  };

  CFile() = default;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  // Closes a file that is still open, reporting nothing.
  ~CFile();

  // Opens (with modeCreate: creates or truncates) the file, not shared with
  // any other opener. On failure fills `error` and returns FALSE.
  [[nodiscard]] BOOL Open(const wchar_t* fileName, UINT openFlags, CFileException* error = nullptr);
  // Creates the file `name` in the held `folder` for writing, not shared.
  // A file already there is first renamed to an unused name and deleted, so
  // that nothing of it (its security, another name of it) carries over and
  // a delete still pending on it is no obstacle. Once it is renamed, a
  // delete that fails (a program of it still runs, or a folder holding
  // something stands in its place) is no error: it stays under its new name,
  // and zelvra::DeleteMovedAside takes it later. `fileName` is the path that
  // errors name.
  [[nodiscard]] BOOL CreateInFolder(HANDLE folder,
                                    const wchar_t* name,
                                    const wchar_t* fileName,
                                    CFileException* error = nullptr);
  // Writes all of `buffer`; throws CFileException on failure, with the
  // disk-full cause for a short write.
  void Write(const void* buffer, UINT count);
  // Closes the file; throws CFileException (with no file name) on failure.
  void Close();
  // Closes the file without reporting anything; later writes fail.
  void Abort();

  HANDLE volatile m_hFile = INVALID_HANDLE_VALUE;
  CString m_strFileName;
};
