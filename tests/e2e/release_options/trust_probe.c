/* Test helper (console program, run under Wine): what the platform says of a
 * file's Authenticode signature.
 *
 *   trust_probe FILE
 *
 * asks WinVerifyTrust (generic verify, no user interface, no revocation check,
 * no network retrieval, as the installer asks it) and prints one line:
 *
 *   status=0x<hex> signer=<SHA-256 of the signing certificate, or -> subject=<its name, UTF-8, or ->
 *
 * Exit code 0 once the line is printed, 2 on bad usage.
 */
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <stdio.h>

static void PrintSigner(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;
  CRYPT_PROVIDER_CERT* certificate = signer ? WTHelperGetProvCertFromChain(signer, 0) : NULL;
  BYTE hash[32];
  DWORD hashSize = sizeof hash;
  wchar_t name[256] = L"";
  char utf8[1024] = "-";
  if (!certificate || !certificate->pCert ||
      !CryptHashCertificate2(L"SHA256", 0, NULL, certificate->pCert->pbCertEncoded, certificate->pCert->cbCertEncoded,
                             hash, &hashSize) ||
      hashSize != sizeof hash) {
    printf(" signer=- subject=-");
    return;
  }
  printf(" signer=");
  for (DWORD i = 0; i < hashSize; ++i) printf("%02x", hash[i]);
  if (CertGetNameStringW(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name, 256) > 1)
    WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, NULL, NULL);
  printf(" subject=%s", utf8);
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: trust_probe FILE\n");
    return 2;
  }
  WINTRUST_FILE_INFO file;
  ZeroMemory(&file, sizeof file);
  file.cbStruct = sizeof file;
  file.pcwszFilePath = argv[1];
  WINTRUST_DATA trust;
  ZeroMemory(&trust, sizeof trust);
  trust.cbStruct = sizeof trust;
  trust.dwUIChoice = WTD_UI_NONE;
  trust.fdwRevocationChecks = WTD_REVOKE_NONE;
  trust.dwUnionChoice = WTD_CHOICE_FILE;
  trust.pFile = &file;
  trust.dwStateAction = WTD_STATEACTION_VERIFY;
  trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG status = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);
  printf("status=0x%08lx", (unsigned long)status);
  if (status == ERROR_SUCCESS) {
    PrintSigner(trust.hWVTStateData);
  } else {
    printf(" signer=- subject=-");
  }
  printf("\n");
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);
  return 0;
}
