// What a server sends as its certificate and what a CA file holds, read as the HTTPS checks read
// them: every certificate read has its key, only a certificate names an address, and an address
// is four or sixteen bytes.
#include "fuzz_support.h"
#include "transfer/transfer_shared.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr::transfer;
  const std::string text = zepr::fuzz::AsString(data, size);
  const bool certificate = IsCertificate(text);
  FUZZ_CHECK(certificate == SubjectPublicKeyInfo(text).has_value());
  for (const char* host : {"127.0.0.1", "[::1]", "fe80::1:2"}) {
    const auto address = AddressBytes(host);
    FUZZ_CHECK(address.has_value());
    FUZZ_CHECK(certificate || !CertificateNamesAddress(text, *address));
  }
  for (const auto& der : PemCertificates(text)) {
    FUZZ_CHECK(IsCertificate(der) == SubjectPublicKeyInfo(der).has_value());
  }
  if (const auto bytes = AddressBytes(text)) FUZZ_CHECK(bytes->size() == 4 || bytes->size() == 16);
  return 0;
}
