// The guards of function-local statics under concurrent and failing
// initialisation, and the stack protector's guard seeded at start-up.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

extern "C" uintptr_t __stack_chk_guard;

namespace {

std::atomic<int> g_slowRuns{0};

int SlowStatic() {
  static const int value = [] {
    g_slowRuns.fetch_add(1);
    ::Sleep(100);  // the other threads arrive while this one initialises
    return 42;
  }();
  return value;
}

int g_failingRuns = 0;

int FailingOnceStatic() {
  static const int value = [] {
    if (++g_failingRuns == 1) throw std::runtime_error("first initialisation fails");
    return 7;
  }();
  return value;
}

TEST(StaticGuard, ConcurrentThreadsInitialiseOnceAndAllSeeTheValue) {
  std::vector<std::thread> threads;
  std::vector<int> seen(8, 0);
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = SlowStatic(); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(1, g_slowRuns.load());
  for (int value : seen) EXPECT_EQ(42, value);
}

TEST(StaticGuard, InitialiserThatThrowsIsRunAgainNextTime) {
  EXPECT_THROW(FailingOnceStatic(), std::runtime_error);
  EXPECT_EQ(7, FailingOnceStatic());
  EXPECT_EQ(7, FailingOnceStatic());
  EXPECT_EQ(2, g_failingRuns);
}

TEST(StackGuard, IsSeededBeforeMain) {
  const uintptr_t unseeded = static_cast<uintptr_t>(0x2B992DDFA232ull);
  EXPECT_NE(unseeded, __stack_chk_guard);
  EXPECT_NE(0u, __stack_chk_guard);
}

}  // namespace
