#include "launch/update_trust.h"

#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "framework/afxfile.h"
#include "platform/held_folder.h"

namespace {

// The chain to a trusted root could not be built without the network; the
// signature itself may still be sound.
bool IsOfflineChainFailure(LONG status) {
  return status == static_cast<LONG>(CERT_E_UNTRUSTEDROOT) || status == static_cast<LONG>(CERT_E_CHAINING);
}

// Whether the steps before the chain passed: the signature was found and
// read, and it and the file's digest verified.
bool SignatureIntact(const CRYPT_PROVIDER_DATA* provider) {
  if (provider == nullptr || provider->padwTrustStepErrors == nullptr ||
      provider->cdwTrustStepErrors <= TRUSTERROR_STEP_FINAL_SIGPROV) {
    return false;
  }
  for (DWORD step = 0; step <= TRUSTERROR_STEP_FINAL_SIGPROV; ++step) {
    if (provider->padwTrustStepErrors[step] != ERROR_SUCCESS) return false;
  }
  return true;
}

// The file's Authenticode signature checked by the platform, and the SHA-256
// fingerprint (lowercase hex) of its signing certificate; empty when the
// signature is missing or not valid.
std::string VerifiedSignerFingerprint(const CString& path, HANDLE file) {
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path;
  fileInfo.hFile = file;  // the bytes checked are those of the file held open
  WINTRUST_DATA trust{};
  trust.cbStruct = sizeof(trust);
  trust.dwUIChoice = WTD_UI_NONE;
  trust.fdwRevocationChecks = WTD_REVOKE_NONE;
  trust.dwUnionChoice = WTD_CHOICE_FILE;
  trust.pFile = &fileInfo;
  trust.dwStateAction = WTD_STATEACTION_VERIFY;
  // Nothing is fetched from the network: the pin, not the chain, decides.
  trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);

  std::string fingerprint;
  CRYPT_PROVIDER_DATA* provider =
      trust.hWVTStateData != nullptr ? ::WTHelperProvDataFromStateData(trust.hWVTStateData) : nullptr;
  if (status == ERROR_SUCCESS || (IsOfflineChainFailure(status) && SignatureIntact(provider))) {
    CRYPT_PROVIDER_SGNR* signer =
        provider != nullptr ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer != nullptr ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    BYTE hash[32] = {};
    DWORD hashSize = sizeof(hash);
    if (certificate != nullptr && certificate->pCert != nullptr &&
        ::CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pCert->pbCertEncoded,
                                certificate->pCert->cbCertEncoded, hash, &hashSize) &&
        hashSize == sizeof(hash)) {
      static constexpr char kHexDigits[] = "0123456789abcdef";
      for (BYTE byte : hash) {
        fingerprint += kHexDigits[byte >> 4];
        fingerprint += kHexDigits[byte & 0xF];
      }
    }
  }
  // Frees what the verification kept; its result says nothing more.
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  static_cast<void>(::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust));
  return fingerprint;
}

// The version block of the file held open by `file`, read from the bytes of
// a read-only mapping of that handle: the file that was checked, whatever its
// path names by now. Nothing when the file cannot be mapped.
std::optional<zelvra::ProgramVersion> HeldProgramVersion(HANDLE file) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size) || size.QuadPart <= 0 ||
      static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) {
    return std::nullopt;
  }
  const zelvra::UniqueHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return std::nullopt;
  const void* view = ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return std::nullopt;
  std::optional<zelvra::ProgramVersion> version =
      zelvra::ReadProgramVersion(static_cast<const std::uint8_t*>(view), static_cast<size_t>(size.QuadPart));
  ::UnmapViewOfFile(view);  // read-only: nothing to write back, nothing to report
  return version;
}

bool IsPinned(const std::string& fingerprint) {
  for (const char* const* pin = kPinnedUpdateSigners; *pin != nullptr; ++pin) {
    if (fingerprint == *pin) return true;
  }
  return false;
}

}  // namespace

bool UpdateSignersPinned() { return kPinnedUpdateSigners[0] != nullptr; }

bool CUpdateFileCheck::Verify(const std::vector<CString>& files, HANDLE folder) {
  Close();
  m_bDeletable = folder != nullptr;
  for (const CString& path : files) {
    HANDLE file = nullptr;
    if (folder != nullptr) {
      const int slash = path.ReverseFind(L'\\');
      // A file that cannot be opened stays without a handle, and fails.
      static_cast<void>(zelvra::OpenInFolder(folder, path.Mid(slash + 1), GENERIC_READ | DELETE, FILE_SHARE_READ,
                                             FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr,
                                             &file));
    } else {
      file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    m_files.emplace_back();
    m_files.back().path = path;
    m_files.back().handle.Reset(file);
  }
  bool allPassed = !m_files.empty();
  for (const auto& file : m_files) {
    if (!file.handle || !IsPinned(VerifiedSignerFingerprint(file.path, file.handle.Get()))) allPassed = false;
  }
  return allPassed;
}

HANDLE CUpdateFileCheck::HeldFile(const CString& path) const {
  for (const auto& file : m_files) {
    if (file.path == path) return file.handle.Get();
  }
  return nullptr;
}

bool CUpdateFileCheck::LauncherMeetsFloor(const CString& launcher) const {
  if (!kLauncherFloor.required) return true;
  for (const auto& file : m_files) {
    if (file.path == launcher) {
      return file.handle && zelvra::MeetsLauncherFloor(HeldProgramVersion(file.handle.Get()), kLauncherFloor);
    }
  }
  return false;  // not among the files checked
}

void CUpdateFileCheck::Close() { m_files.clear(); }

void CUpdateFileCheck::DeleteFiles() {
  if (m_bDeletable) {
    // Through the handles that were checked: they go once closed.
    for (const auto& file : m_files) {
      // A file that cannot be deleted is not started either: nothing is.
      if (file.handle) static_cast<void>(zelvra::DeleteByHandle(file.handle.Get()));
    }
    Close();
    return;
  }
  std::vector<CString> paths;
  for (const auto& file : m_files) paths.push_back(file.path);
  Close();
  for (const CString& path : paths) ::DeleteFileW(path);
}
