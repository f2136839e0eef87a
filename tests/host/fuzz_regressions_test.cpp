// Inputs on which the fuzz targets in fuzz/ found faults, kept as plain cases
// so that the host suite (g++, ASan and UBSan) guards the fixes too.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/progress.h"

namespace zelvra {
namespace {

// A server that sends far more than it announced: the percentage exceeds the
// range of int, and converting it first gave INT_MIN on x86 (undefined
// behaviour) instead of a full bar.
TEST(FuzzRegressions, ProgressFarBeyondTheAnnouncedLengthIsAFullBar) {
  struct Case {
    std::uint32_t received, length;
  };
  const Case cases[] = {
      {67108865, 3},               // found by progress_fuzz: 2.24e9 percent
      {21474837, 1},               // the first count whose percentage passes INT_MAX
      {0xFFFFFFFFu, 1},            // the largest percentage there is
      {0xFFFFFFFFu, 0xFFFFFFFEu},  // a hair above 100 percent
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kProgressMax, ProgressPosition(c.received, c.length)) << c.received << "/" << c.length;
  }
  // A hair below 100 percent is still truncated.
  EXPECT_EQ(kProgressMax - 1, ProgressPosition(0xFFFFFFFEu, 0xFFFFFFFFu));
}

}  // namespace
}  // namespace zelvra
