#include "platform/security.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>
#include <string>

namespace zelvra {

std::wstring ProcessUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  const UniqueHandle owned(token);
  DWORD size = 0;
  // Asks for the size only: fails by design, with the size in `size`.
  static_cast<void>(::GetTokenInformation(token, TokenUser, nullptr, 0, &size));
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::wstring();
  LocalMemory text;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.Receive<wchar_t>())) {
    return std::wstring();
  }
  return static_cast<const wchar_t*>(text.Get());
}

std::u16string SddlOf(PSECURITY_DESCRIPTOR descriptor) {
  LocalMemory text;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                              text.Receive<wchar_t>(), nullptr)) {
    return std::u16string();
  }
  // UTF-16 either way: wchar_t is 16 bits wide on Windows.
  return std::u16string(static_cast<const char16_t*>(text.Get()));
}

std::u16string SecurityOf(HANDLE object) {
  LocalMemory descriptor;
  if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, descriptor.Receive<void>()) != ERROR_SUCCESS) {
    return std::u16string();
  }
  return SddlOf(descriptor.Get());
}

bool DescriptorFromSddl(const wchar_t* sddl, LocalMemory& descriptor) {
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.Receive<void>(),
                                                                nullptr) != FALSE;
}

}  // namespace zelvra
