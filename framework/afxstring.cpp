#include "framework/afxstring.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "core/mbcs.h"
#include "framework/afxapp.h"

bool AfxIsLeadByte(unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; }

int CString::Find(const char* what, int start) const {
  return zelvra::MbcsFind(m_text, what != nullptr ? what : "", start, &AfxIsLeadByte);
}

int CString::ReverseFind(char ch) const { return zelvra::MbcsReverseFind(m_text, ch, &AfxIsLeadByte); }

CString CString::Mid(int first) const {
  if (first < 0) first = 0;
  if (first >= GetLength()) return CString();
  return CString(m_text.substr(static_cast<size_t>(first)));
}

CString CString::Left(int count) const {
  if (count <= 0) return CString();
  return CString(m_text.substr(0, static_cast<size_t>(count)));
}

void CString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) {
    m_text.clear();
  } else {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    m_text.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
}

BOOL CString::LoadString(UINT id) {
  m_text.clear();
  // With a buffer size of 0 the platform hands out the resource text itself,
  // which has no length limit; it is then converted to the ANSI code page.
  const wchar_t* resource = nullptr;
  const int wideLength =
      ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&resource), 0);
  if (wideLength <= 0 || resource == nullptr) return FALSE;
  const int length =
      ::WideCharToMultiByte(CP_ACP, 0, resource, wideLength, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return FALSE;
  m_text.resize(static_cast<size_t>(length));
  ::WideCharToMultiByte(CP_ACP, 0, resource, wideLength, &m_text[0], length, nullptr, nullptr);
  return TRUE;
}
