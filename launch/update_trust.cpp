#include "launch/update_trust.h"

#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

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
  trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);

  std::string fingerprint;
  if (status == ERROR_SUCCESS) {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(trust.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider != nullptr ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer != nullptr ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    BYTE hash[32] = {};
    DWORD hashSize = sizeof(hash);
    if (certificate != nullptr && certificate->pCert != nullptr &&
        ::CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pCert->pbCertEncoded,
                                certificate->pCert->cbCertEncoded, hash, &hashSize) &&
        hashSize == sizeof(hash)) {
      char hex[3];
      for (BYTE byte : hash) {
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        fingerprint += hex;
      }
    }
  }
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
  return fingerprint;
}

bool IsPinned(const std::string& fingerprint) {
  for (const char* const* pin = kPinnedUpdateSigners; *pin != nullptr; ++pin) {
    if (fingerprint == *pin) return true;
  }
  return false;
}

}  // namespace

bool UpdateSignersPinned() { return kPinnedUpdateSigners[0] != nullptr; }

bool CUpdateFileCheck::Verify(const std::vector<CString>& files) {
  Release();
  for (const CString& path : files) {
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    m_files.emplace_back(path, afx::UniqueHandle(file));
  }
  bool allPassed = !m_files.empty();
  for (const auto& file : m_files) {
    if (!file.second || !IsPinned(VerifiedSignerFingerprint(file.first, file.second.get()))) allPassed = false;
  }
  return allPassed;
}

void CUpdateFileCheck::Release() { m_files.clear(); }

void CUpdateFileCheck::DeleteFiles() {
  std::vector<CString> paths;
  for (const auto& file : m_files) paths.push_back(file.first);
  Release();
  for (const CString& path : paths) ::DeleteFileW(path);
}
