// CString: the framework's string, UTF-16 as the platform's wide functions
// take it. Nothing goes through the ANSI code page: a backslash, '@' or
// quotation mark is never part of another character, so searches need no
// care for multi-unit characters.
#pragma once

#include <windows.h>

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters");

class CString {
 public:
  CString() = default;
  CString(const wchar_t* text) : m_text(text != nullptr ? text : L"") {}  // NOLINT: implicit like the framework's
  CString(const std::wstring& text) : m_text(text) {}                     // NOLINT
  CString(const wchar_t* text, int length) : m_text(text, static_cast<size_t>(length)) {}
  // From the platform-free code's UTF-16 text.
  explicit CString(const std::u16string& text) : m_text(reinterpret_cast<const wchar_t*>(text.data()), text.size()) {}

  int GetLength() const { return static_cast<int>(m_text.size()); }
  bool IsEmpty() const { return m_text.empty(); }
  void Empty() { m_text.clear(); }
  // Empties the string after overwriting its characters (a password).
  void Wipe() {
    ::SecureZeroMemory(&m_text[0], m_text.size() * sizeof(wchar_t));
    m_text.clear();
  }
  const wchar_t* GetString() const { return m_text.c_str(); }
  operator const wchar_t*() const { return m_text.c_str(); }  // NOLINT: the framework's conversion
  const std::wstring& str() const { return m_text; }
  // The same text for the platform-free code.
  std::u16string u16() const { return std::u16string(reinterpret_cast<const char16_t*>(m_text.data()), m_text.size()); }
  wchar_t GetAt(int index) const { return m_text.at(static_cast<size_t>(index)); }

  CString& operator=(const wchar_t* text) {
    m_text = text != nullptr ? text : L"";
    return *this;
  }
  CString& operator+=(const CString& other) {
    m_text += other.m_text;
    return *this;
  }
  CString& operator+=(const wchar_t* text) {
    if (text != nullptr) m_text += text;
    return *this;
  }
  CString& operator+=(wchar_t ch) {
    m_text += ch;
    return *this;
  }
  friend CString operator+(const CString& a, const CString& b) { return CString(a.m_text + b.m_text); }
  friend CString operator+(const CString& a, const wchar_t* b) { return CString(a.m_text + (b ? b : L"")); }
  friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
  friend bool operator!=(const CString& a, const CString& b) { return a.m_text != b.m_text; }

  // Position of `what` at or after `start`, or -1.
  int Find(const wchar_t* what, int start = 0) const;
  // Position of the last `ch`, or -1.
  int ReverseFind(wchar_t ch) const;
  CString Mid(int first) const;
  CString Left(int count) const;

  // Loads string `id` of the module's string table, whole, whatever its
  // length, in the language the platform's resource lookup picks. An ID with
  // no text gives an empty string and FALSE.
  BOOL LoadString(UINT id);

 private:
  std::wstring m_text;
};

// A platform-free UTF-16 text as the platform's wide string, and back.
inline const wchar_t* AfxWide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline const wchar_t* AfxWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline const char16_t* AfxU16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
