// Small move-only owners of platform handles: no raw handle outlives its scope
// unowned.
#pragma once

#include <windows.h>

namespace zelvra {

// Owns a kernel handle (thread, process, mutex, file) and closes it once.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : m_handle(Normalised(handle)) {}
  UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Detach()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    Reset(other.Detach());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }
  HANDLE Detach() {
    HANDLE handle = m_handle;
    m_handle = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (m_handle != nullptr) ::CloseHandle(m_handle);
    m_handle = Normalised(handle);
  }

 private:
  // Some calls report failure with INVALID_HANDLE_VALUE, others with null.
  static HANDLE Normalised(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }
  HANDLE m_handle = nullptr;
};

// Owns memory that the system allocated with LocalAlloc for the caller
// (security descriptors, SID strings, FormatMessage's text) and frees it.
class LocalMemory {
 public:
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() {
    if (m_memory != nullptr) ::LocalFree(m_memory);
  }
  // Where a call stores the pointer it allocated.
  template <typename T>
  T** Receive() {
    return reinterpret_cast<T**>(&m_memory);
  }
  void* Get() const { return m_memory; }

 private:
  void* m_memory = nullptr;
};

// Holds a critical section for the scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& section) : m_section(section) { ::EnterCriticalSection(&m_section); }
  ~CriticalSectionLock() { ::LeaveCriticalSection(&m_section); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& m_section;
};

}  // namespace zelvra
