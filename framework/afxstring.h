// CString: the framework's narrow string in the process's ANSI code page.
//
// Searches step over double-byte characters of that code page, so a trail
// byte is never matched on its own.
#pragma once

#include <windows.h>

#include <string>

class CString {
 public:
  CString() = default;
  CString(const char* text) : m_text(text != nullptr ? text : "") {}  // NOLINT: implicit like the framework's
  CString(const std::string& text) : m_text(text) {}                  // NOLINT
  CString(const char* text, int length) : m_text(text, static_cast<size_t>(length)) {}

  int GetLength() const { return static_cast<int>(m_text.size()); }
  bool IsEmpty() const { return m_text.empty(); }
  void Empty() { m_text.clear(); }
  const char* GetString() const { return m_text.c_str(); }
  operator const char*() const { return m_text.c_str(); }  // NOLINT: the framework's conversion
  const std::string& str() const { return m_text; }
  char GetAt(int index) const { return m_text.at(static_cast<size_t>(index)); }

  CString& operator=(const char* text) {
    m_text = text != nullptr ? text : "";
    return *this;
  }
  CString& operator+=(const CString& other) {
    m_text += other.m_text;
    return *this;
  }
  CString& operator+=(const char* text) {
    if (text != nullptr) m_text += text;
    return *this;
  }
  CString& operator+=(char ch) {
    m_text += ch;
    return *this;
  }
  friend CString operator+(const CString& a, const CString& b) { return CString(a.m_text + b.m_text); }
  friend CString operator+(const CString& a, const char* b) { return CString(a.m_text + (b ? b : "")); }
  friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
  friend bool operator!=(const CString& a, const CString& b) { return a.m_text != b.m_text; }

  // Position of `what` at or after `start` on a character boundary, or -1.
  int Find(const char* what, int start = 0) const;
  // Position of the last `ch`, or -1.
  int ReverseFind(char ch) const;
  CString Mid(int first) const;
  CString Left(int count) const;

  // printf-style formatting into this string.
  void Format(const char* format, ...);

  // Loads string `id` of the module's string table, whole, whatever its
  // length, in the language the platform's resource lookup picks. An ID with
  // no text gives an empty string and FALSE.
  BOOL LoadString(UINT id);

 private:
  std::string m_text;
};

// The lead-byte test of the process's ANSI code page.
bool AfxIsLeadByte(unsigned char byte);
