#include "framework/afxstring.h"

#include "framework/afxapp.h"

int CString::Find(const wchar_t* what, int start) const {
  if (start < 0 || static_cast<size_t>(start) > m_text.size()) return -1;
  const size_t found = m_text.find(what != nullptr ? what : L"", static_cast<size_t>(start));
  return found == std::wstring::npos ? -1 : static_cast<int>(found);
}

int CString::ReverseFind(wchar_t ch) const {
  const size_t found = m_text.rfind(ch);
  return found == std::wstring::npos ? -1 : static_cast<int>(found);
}

CString CString::Mid(int first) const {
  if (first < 0) first = 0;
  if (first >= GetLength()) return CString();
  return CString(m_text.substr(static_cast<size_t>(first)));
}

CString CString::Left(int count) const {
  if (count <= 0) return CString();
  return CString(m_text.substr(0, static_cast<size_t>(count)));
}

BOOL CString::LoadString(UINT id) {
  m_text.clear();
  // With a buffer size of 0 the platform hands out the resource text itself,
  // which has no length limit.
  const wchar_t* resource = nullptr;
  const int length = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&resource), 0);
  if (length <= 0 || resource == nullptr) return FALSE;
  m_text.assign(resource, static_cast<size_t>(length));
  return TRUE;
}
