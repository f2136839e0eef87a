// Where the progress bar (range 1 to 100) stands for a file being downloaded.
#pragma once

#include <cstdint>

namespace zelvra {

inline constexpr int kProgressMin = 1;
inline constexpr int kProgressMax = 100;

// Bytes received in percent of the content length, truncated toward zero and
// never above 100 (a server may send more than it announced).
//
// Without a length (0: the server gave none, or zero) no percentage exists and
// nothing is divided: the bar then cycles through its range, one step per
// 4 KiB received, so that it moves while data arrives and stands still while
// the connection stalls. Nothing received yet gives 0, an empty bar.
int ProgressPosition(std::uint32_t bytesReceived, std::uint32_t contentLength);

}  // namespace zelvra
