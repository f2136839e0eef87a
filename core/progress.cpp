#include "core/progress.h"

namespace zelvra {

namespace {
constexpr std::uint32_t kBytesPerStepWithoutLength = 4096;
}

int ProgressPosition(std::uint32_t bytesReceived, std::uint32_t contentLength) {
  if (contentLength == 0) {
    if (bytesReceived == 0) return 0;
    return kProgressMin + static_cast<int>((bytesReceived / kBytesPerStepWithoutLength) % kProgressMax);
  }
  const double percent = (static_cast<double>(bytesReceived) * 100.0) / contentLength;
  // Limited before the conversion: far more bytes than announced give a
  // percentage beyond the range of int.
  if (percent >= kProgressMax) return kProgressMax;
  return static_cast<int>(percent);  // truncates toward zero
}

}  // namespace zelvra
