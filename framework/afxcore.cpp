#include "framework/afxcore.h"

#include <cstring>

#include "framework/afxres.h"

// ---------------------------------------------------------------------------
// Objects

const CRuntimeClass CObject::classCObject = {nullptr, nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
  for (const CRuntimeClass* cls = this; cls != nullptr; cls = cls->m_pBaseClass) {
    if (cls == base) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Exceptions

void AfxCopyTruncated(const CString& text, wchar_t* buffer, UINT maxChars) {
  if (buffer == nullptr || maxChars == 0) return;
  const wchar_t* source = text.GetString();
  UINT length = 0;
  while (source[length] != L'\0') {
    const bool pair = IS_HIGH_SURROGATE(source[length]) && IS_LOW_SURROGATE(source[length + 1]);
    const UINT width = pair ? 2 : 1;
    if (length + width > maxChars - 1) break;
    length += width;
  }
  std::memcpy(buffer, source, length * sizeof(wchar_t));
  buffer[length] = L'\0';
}

CString CException::Describe() const {
  CString text;
  text.LoadString(AFX_IDP_INTERNAL_FAILURE);
  return text;
}

BOOL CException::GetErrorMessage(wchar_t* buffer, UINT maxChars, UINT* helpContext) const {
  if (helpContext != nullptr) *helpContext = 0;
  AfxCopyTruncated(Describe(), buffer, maxChars);
  return TRUE;
}

CString CSimpleException::Describe() const {
  CString text;
  text.LoadString(m_nMessageId);
  return text;
}

CMemoryException::CMemoryException() : CSimpleException(AFX_IDP_FAILED_MEMORY_ALLOC) {}

// ---------------------------------------------------------------------------
// Message maps

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
  static const AFX_MSGMAP messageMap = {nullptr, entries};
  return &messageMap;
}

bool CCmdTarget::DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
       map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
    for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->pfn != nullptr; ++entry) {
      if (entry->nMessage != message) continue;
      if (message == WM_COMMAND && (entry->nCode != HIWORD(wParam) || entry->nID != LOWORD(wParam))) {
        continue;
      }
      *result = entry->pfn(this, wParam, lParam);
      return true;
    }
  }
  return false;
}
