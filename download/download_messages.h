// The protocol between a download worker and its owner window: three private
// messages, always sent synchronously with lParam 0, and the worker's status
// codes carried by WM_DOWNLOAD_FAILED.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr UINT WM_DOWNLOAD_STARTED = WM_USER + 101;  // URL open with 200, file created; before the first read
constexpr UINT WM_DOWNLOAD_FAILED = WM_USER + 102;   // wParam: the DownloadStatus
constexpr UINT WM_DOWNLOAD_DONE = WM_USER + 103;     // the file is complete and closed

enum DownloadStatus : std::int32_t {
  DOWNLOAD_NONE = 0,                // no code set: the run ended through an error raised on the way
  DOWNLOAD_NO_URL = 1,              // the primary URL is empty
  DOWNLOAD_OPEN_FAILED = 2,         // the last URL tried gave no file object
  DOWNLOAD_STATUS_UNREADABLE = 3,   // the status code of the last URL tried cannot be read
  DOWNLOAD_HTTP_NOT_OK = 4,         // the last URL tried answered with a status other than 200
  DOWNLOAD_FILE_CREATE_FAILED = 5,  // the local file cannot be created
  DOWNLOAD_CANCELLED = 6,           // the owner asked the worker to cancel
};
