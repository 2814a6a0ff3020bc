// Test helper: adds a DER certificate to, or removes it from, the LocalMachine "Root" store
// of the Wine prefix it runs in. Usage: root_store_tool add|remove CERT.der
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/text.hpp"

namespace {

struct StoreCloser {
  HCERTSTORE h;
  ~StoreCloser() {
    if (h) CertCloseStore(h, 0);
  }
};

int fail(const char* what) {
  const DWORD code = GetLastError();
  std::fprintf(stderr, "%s: %s\n", what, guardian::win_error_text(code).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: root_store_tool add|remove CERT.der\n");
    return 64;
  }
  const std::string action = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  StoreCloser store{CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root")};
  if (!store.h) return fail("CertOpenStore");
  if (action == "add") {
    if (!CertAddEncodedCertificateToStore(store.h, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
      return fail("CertAddEncodedCertificateToStore");
    return 0;
  }
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (!cert) return fail("CertCreateCertificateContext");
  PCCERT_CONTEXT found = CertFindCertificateInStore(store.h, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
  CertFreeCertificateContext(cert);
  if (!found) return 0;  // nothing to remove
  if (!CertDeleteCertificateFromStore(found)) return fail("CertDeleteCertificateFromStore");  // frees found
  return 0;
}
