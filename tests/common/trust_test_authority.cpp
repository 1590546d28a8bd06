// trust_test_authority.exe CERT.pem
// Makes the certificate authority of one test run trusted by the Wine
// prefix it runs in: adds its certificate to the LocalMachine "Root" store
// (the prefix's registry), after removing the authorities that earlier runs
// added under the same subject prefix. Exit code 0 when it was added.
// The store is opened through its registry provider: Wine 8 hands out the
// plain system "Root" store as a copy in memory, so a certificate added
// there is gone when the program ends. On Windows both are the same store.
#include <windows.h>

// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace {

struct StoreTraits {
  static HCERTSTORE Invalid() { return nullptr; }
  static void Close(HCERTSTORE store) { CertCloseStore(store, 0); }
};

// Authorities made by earlier runs carry this subject prefix.
constexpr wchar_t kSubjectPrefix[] = L"Lumenfeld Test Authority";

std::wstring CommonName(PCCERT_CONTEXT certificate) {
  wchar_t name[256] = {};
  CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                     name, 256);
  return name;
}

int Fail(const char* step) {
  std::fprintf(stderr, "%s failed, GetLastError = %lu\n", step, GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trust_test_authority CERT.pem\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr)) {
    return Fail("CryptStringToBinaryA");
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            der.data(), &size, nullptr, nullptr)) {
    return Fail("CryptStringToBinaryA");
  }

  UniqueHandle<HCERTSTORE, StoreTraits> root(CertOpenStore(
      CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (!root) return Fail("CertOpenStore");
  HCERTSTORE store = root.get();

  // Deleting a context frees it, so the search starts over after each one.
  for (bool removed = true; removed;) {
    removed = false;
    PCCERT_CONTEXT found = nullptr;
    while ((found = CertEnumCertificatesInStore(store, found)) != nullptr) {
      if (CommonName(found).rfind(kSubjectPrefix, 0) == 0) {
        CertDeleteCertificateFromStore(CertDuplicateCertificateContext(found));
        CertFreeCertificateContext(found);
        removed = true;
        break;
      }
    }
  }
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    return Fail("CertAddEncodedCertificateToStore");
  }
  return 0;
}
