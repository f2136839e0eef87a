// The stack protector's guard and the routine a failed check calls, for
// every program of the project (all are compiled with
// -fstack-protector-strong). Defined here rather than taken from the
// toolchain's libssp, which seeds its guard through the crypto API as the
// program starts: that loads advapi32 and a crypto provider before WinMain
// runs. The guard is seeded the way the Visual C++ run-time seeds its stack
// cookie, from values that differ from one start to the next and cost no
// library load: the high-resolution counter, the system time, the process and
// thread ids, the tick count, and the addresses of the guard and of a stack
// variable (both moved by ASLR).
#include <windows.h>

#include <cstdint>

extern "C" {
uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x2B992DDFA232ull);  // until seeded, as early as possible

// A check failed: the stack is corrupt, so nothing of the process runs any
// further (no handlers, no unwinding). Where the processor and the system
// offer the fast-fail interrupt (Windows 8 and later) it ends the process
// with the stack-cookie code; otherwise the process terminates itself.
__attribute__((noreturn, used, no_stack_protector)) void __stack_chk_fail() {
  if (::IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
  }
  ::TerminateProcess(::GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}
}

namespace {

// The first of the program's constructors: no function that checks the guard
// is active when it changes, and this one does not check it itself.
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard() {
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  uint64_t mixed = static_cast<uint64_t>(counter.QuadPart);
  mixed ^= (static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
  mixed ^= static_cast<uint64_t>(::GetCurrentProcessId()) << 16;
  mixed ^= static_cast<uint64_t>(::GetCurrentThreadId()) << 40;
  mixed ^= static_cast<uint64_t>(::GetTickCount()) << 24;
  volatile int onTheStack = 0;
  mixed ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&onTheStack)) << 8;
  mixed ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&__stack_chk_guard)) << 20;
  // A 64-bit finaliser spreads every input bit over the whole value.
  mixed ^= mixed >> 33;
  mixed *= 0xFF51AFD7ED558CCDull;
  mixed ^= mixed >> 33;
  mixed *= 0xC4CEB9FE1A85EC53ull;
  mixed ^= mixed >> 33;
  uintptr_t guard = static_cast<uintptr_t>(mixed);
  if (sizeof(uintptr_t) < sizeof(uint64_t)) guard ^= static_cast<uintptr_t>(mixed >> 32);
  if (guard == 0) guard = static_cast<uintptr_t>(0x2B992DDFA232ull);
  __stack_chk_guard = guard;
}

}  // namespace
