// Fuzz target: the position of the progress bar.
//
// Input: three little-endian 32-bit numbers, two byte counts and a content
// length (missing bytes read as 0). Checked: the position lies in 0 to 100;
// with a length it is the truncated percentage (compared in exact integer
// arithmetic) and never falls while more bytes arrive; without one it steps
// once per 4 KiB and cycles through 1 to 100.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/progress.h"
#include "fuzz_support.h"

using zelvra::kProgressMax;
using zelvra::kProgressMin;
using zelvra::ProgressPosition;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint32_t values[3] = {0, 0, 0};
  std::memcpy(values, data, std::min(size, sizeof values));
  const std::uint32_t a = values[0], b = values[1], length = values[2];
  const std::uint32_t fewer = std::min(a, b), more = std::max(a, b);

  const int position = ProgressPosition(a, length);
  FUZZ_CHECK(position >= 0 && position <= kProgressMax);

  if (length != 0) {
    const std::uint64_t percent = static_cast<std::uint64_t>(a) * 100 / length;
    FUZZ_CHECK(position == static_cast<int>(std::min<std::uint64_t>(percent, kProgressMax)));
    FUZZ_CHECK(ProgressPosition(fewer, length) <= ProgressPosition(more, length));
    FUZZ_CHECK(ProgressPosition(0, length) == 0);
    FUZZ_CHECK(ProgressPosition(length, length) == kProgressMax);
    if (a >= length) FUZZ_CHECK(position == kProgressMax);
  } else if (a == 0) {
    FUZZ_CHECK(position == 0);
  } else {
    FUZZ_CHECK(position >= kProgressMin);
    if (a <= UINT32_MAX - 4096) FUZZ_CHECK(ProgressPosition(a + 4096, 0) == position % kProgressMax + 1);
    if (a < 4096) FUZZ_CHECK(position == kProgressMin);
  }
  return 0;
}
