// The guards of function-local statics (the C++ ABI's __cxa_guard_*), linked
// into every build of the installer (the test programs keep the toolchain's,
// but for the test of these). The toolchain's run over its POSIX-threads layer, which
// links a thread library of its own (about 10 KiB); these over the system's
// slim lock and condition variable. The protocol is the library's: byte 0 of
// the guard says "initialised" (the compiler's inline check reads it), byte 1
// "being initialised", and the word after them names the thread that
// initialises; a thread that finds another one initialising waits for it.
#include <windows.h>

#include <cstdint>
#include <exception>

namespace {
SRWLOCK g_guardLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_guardChanged = CONDITION_VARIABLE_INIT;

struct StaticGuard {
  unsigned char done;
  unsigned char pending;
  unsigned char unused[2];
  DWORD thread;
};
static_assert(sizeof(StaticGuard) <= 8, "the ABI's guard is 64 bits");
}  // namespace

extern "C" int __cxa_guard_acquire(std::uint64_t* raw) {
  auto* guard = reinterpret_cast<StaticGuard*>(raw);
  if (__atomic_load_n(&guard->done, __ATOMIC_ACQUIRE) != 0) return 0;
  ::AcquireSRWLockExclusive(&g_guardLock);
  for (;;) {
    if (__atomic_load_n(&guard->done, __ATOMIC_ACQUIRE) != 0) {
      ::ReleaseSRWLockExclusive(&g_guardLock);
      return 0;
    }
    if (guard->pending == 0) {
      guard->pending = 1;
      guard->thread = ::GetCurrentThreadId();
      ::ReleaseSRWLockExclusive(&g_guardLock);
      return 1;
    }
    // Initialising a static from its own initialiser: the toolchain's
    // throws there, which nothing catches.
    if (guard->thread == ::GetCurrentThreadId()) std::terminate();
    ::SleepConditionVariableSRW(&g_guardChanged, &g_guardLock, INFINITE, 0);
  }
}

extern "C" void __cxa_guard_release(std::uint64_t* raw) {
  auto* guard = reinterpret_cast<StaticGuard*>(raw);
  ::AcquireSRWLockExclusive(&g_guardLock);
  guard->pending = 0;
  guard->thread = 0;
  __atomic_store_n(&guard->done, 1, __ATOMIC_RELEASE);
  ::ReleaseSRWLockExclusive(&g_guardLock);
  ::WakeAllConditionVariable(&g_guardChanged);
}

extern "C" void __cxa_guard_abort(std::uint64_t* raw) {
  auto* guard = reinterpret_cast<StaticGuard*>(raw);
  ::AcquireSRWLockExclusive(&g_guardLock);
  guard->pending = 0;
  guard->thread = 0;
  ::ReleaseSRWLockExclusive(&g_guardLock);
  ::WakeAllConditionVariable(&g_guardChanged);
}
