// The framework's object model: run-time class records for dynamic creation,
// the exception family, and command targets with their message maps.
//
// A message map is a static table per class, chained to its base class's
// table. Each entry holds a small generated function that casts the target to
// the class and calls the handler with the handler's own signature, so a
// handler with a wrong signature does not compile.
#pragma once

#include <windows.h>

#include "framework/afxstring.h"

// ---------------------------------------------------------------------------
// Objects and run-time classes

class CObject;

// What thread creation needs of a class: how to make an object of it, and
// its base class's record (to check that it is a thread class).
struct CRuntimeClass {
  CObject* (*m_pfnCreateObject)();
  const CRuntimeClass* m_pBaseClass;

  CObject* CreateObject() const { return m_pfnCreateObject != nullptr ? m_pfnCreateObject() : nullptr; }
  bool IsDerivedFrom(const CRuntimeClass* base) const;
};

class CObject {
 public:
  virtual ~CObject() = default;
  virtual const CRuntimeClass* GetRuntimeClass() const;
  static const CRuntimeClass classCObject;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNCREATE(class_name)                    \
 public:                                                 \
  static const CRuntimeClass class##class_name;          \
  const CRuntimeClass* GetRuntimeClass() const override; \
  static CObject* CreateObject();

#define IMPLEMENT_DYNCREATE(class_name, base_class_name)                                                           \
  CObject* class_name::CreateObject() { return new class_name; }                                                   \
  const CRuntimeClass class_name::class##class_name = {&class_name::CreateObject, RUNTIME_CLASS(base_class_name)}; \
  const CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

// ---------------------------------------------------------------------------
// Exceptions. The framework's file and internet classes throw them by
// pointer; the one place that catches them describes and deletes them.

class CException : public CObject {
 public:
  // Copies the description into `buffer` (at most `maxChars - 1` UTF-16
  // units, never splitting a surrogate pair) and returns TRUE.
  virtual BOOL GetErrorMessage(wchar_t* buffer, UINT maxChars, UINT* helpContext = nullptr) const;
  void Delete() { delete this; }

 protected:
  // The description; the default is the framework's "unknown error" text.
  virtual CString Describe() const;
};

// Exceptions described by one framework string.
class CSimpleException : public CException {
 protected:
  explicit CSimpleException(UINT messageId) : m_nMessageId(messageId) {}
  CString Describe() const override;

 private:
  UINT m_nMessageId;
};

class CMemoryException : public CSimpleException {
 public:
  CMemoryException();
};

// Copies `text` into `buffer` of `maxChars` UTF-16 units, truncated between
// characters (a surrogate pair is kept whole or dropped) and always
// terminated.
void AfxCopyTruncated(const CString& text, wchar_t* buffer, UINT maxChars);

// ---------------------------------------------------------------------------
// Command targets and message maps

class CCmdTarget;

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;  // window message; WM_COMMAND for command entries
  UINT nCode;     // notification code of a WM_COMMAND entry
  UINT nID;       // control or command ID of a WM_COMMAND entry
  LRESULT (*pfn)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* (*pfnGetBaseMap)();
  const AFX_MSGMAP_ENTRY* lpEntries;
};

class CCmdTarget : public CObject {
 public:
  virtual const AFX_MSGMAP* GetMessageMap() const { return GetThisMessageMap(); }
  static const AFX_MSGMAP* GetThisMessageMap();

  // Finds the entry for the message in this class's map or a base class's
  // and calls it. Returns false when no map has an entry for it.
  bool DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
};

#define DECLARE_MESSAGE_MAP()                       \
 protected:                                         \
  static const AFX_MSGMAP* GetThisMessageMap();     \
  const AFX_MSGMAP* GetMessageMap() const override; \
                                                    \
 private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                      \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
  const AFX_MSGMAP* theClass::GetThisMessageMap() {                                 \
    using ThisClass [[maybe_unused]] = theClass;                                    \
    using TheBaseClass = baseClass;                                                 \
    static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                           \
  { 0, 0, 0, nullptr }                                                              \
  }                                                                                 \
  ;                                                                                 \
  static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, entries}; \
  return &messageMap;                                                               \
  }

// The generated function of an entry: `pThis` is the target as ThisClass.
#define AFX_MSG_THUNK(...)                                          \
  [](CCmdTarget* target, WPARAM wParam, LPARAM lParam) -> LRESULT { \
    (void)wParam;                                                   \
    (void)lParam;                                                   \
    ThisClass* pThis = static_cast<ThisClass*>(target);             \
    __VA_ARGS__                                                     \
  }

// LRESULT fn(WPARAM, LPARAM)
#define ON_MESSAGE(message, fn)                                       \
  { message, 0, 0, AFX_MSG_THUNK(return pThis->fn(wParam, lParam);) } \
  ,
// void fn(), for a message whose parameters carry nothing (WM_CLOSE to OnCancel)
#define ON_MESSAGE_VOID(message, fn)                       \
  { message, 0, 0, AFX_MSG_THUNK(pThis->fn(); return 0;) } \
  ,
// void fn() for a command (button click, Enter, Escape)
#define ON_COMMAND(id, fn)                                     \
  { WM_COMMAND, 0, id, AFX_MSG_THUNK(pThis->fn(); return 0;) } \
  ,
#define ON_BN_CLICKED(id, fn)                                           \
  { WM_COMMAND, BN_CLICKED, id, AFX_MSG_THUNK(pThis->fn(); return 0;) } \
  ,
#define ON_WM_PAINT()                                            \
  { WM_PAINT, 0, 0, AFX_MSG_THUNK(pThis->OnPaint(); return 0;) } \
  ,
#define ON_WM_QUERYDRAGICON()                                                                            \
  { WM_QUERYDRAGICON, 0, 0, AFX_MSG_THUNK(return reinterpret_cast<LRESULT>(pThis->OnQueryDragIcon());) } \
  ,
#define ON_WM_TIMER()                                                                         \
  { WM_TIMER, 0, 0, AFX_MSG_THUNK(pThis->OnTimer(static_cast<UINT_PTR>(wParam)); return 0;) } \
  ,
