#include "transfer/win32/server_certificate.h"

#include <memory>
#include <string_view>
#include <vector>

#include "platform/win32/wide.h"

namespace zepr::transfer {
namespace {

// The chain belongs to crypt32, which WinINet has loaded to build it. Its function is looked up
// there rather than imported, so the program keeps importing what it always did.
struct ChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const {
    using FreeChain = void(WINAPI*)(PCCERT_CHAIN_CONTEXT);
    static const auto free_chain = [] {
      HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
      return crypt32 == nullptr ? nullptr
                                : reinterpret_cast<FreeChain>(reinterpret_cast<void (*)()>(
                                      GetProcAddress(crypt32, "CertFreeCertificateChain")));
    }();
    if (free_chain != nullptr) free_chain(chain);
  }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

// The chain WinINet built for the connection that answered (after any redirect).
Chain ServerChain(HINTERNET request) {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD size = sizeof chain;
  if (!InternetQueryOptionW(request, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size)) {
    return nullptr;
  }
  return Chain(chain);
}

PCCERT_CONTEXT Leaf(const CERT_CHAIN_CONTEXT& chain) {
  if (chain.cChain == 0 || chain.rgpChain[0]->cElement == 0) return nullptr;
  return chain.rgpChain[0]->rgpElement[0]->pCertContext;
}

bool EndsInCa(const CERT_CHAIN_CONTEXT& chain, const ServerTrust& trust) {
  if (chain.cChain == 0 || chain.rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
  PCCERT_CONTEXT root = simple.rgpElement[simple.cElement - 1]->pCertContext;
  const std::string_view bytes(reinterpret_cast<const char*>(root->pbCertEncoded),
                               root->cbCertEncoded);
  for (const std::string& der : trust.ca_der) {
    if (bytes == der) return true;
  }
  return false;
}

// With the CryptoAPI of advapi32, which the program imports anyway.
std::string Sha256(std::string_view data) {
  std::string digest;
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return digest;
  }
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    std::string out(32, '\0');
    DWORD size = static_cast<DWORD>(out.size());
    if (CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()),
                      static_cast<DWORD>(data.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(out.data()), &size, 0) &&
        size == out.size()) {
      digest = std::move(out);
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  return digest;
}

// What a pin names: SHA-256 of the DER SubjectPublicKeyInfo as the certificate carries it.
std::string KeyDigest(PCCERT_CONTEXT leaf) {
  const auto key = SubjectPublicKeyInfo(
      std::string_view(reinterpret_cast<const char*>(leaf->pbCertEncoded), leaf->cbCertEncoded));
  return key ? Sha256(*key) : std::string();
}

// A redirect may have ended anywhere; only https counts.
bool AnsweredOverHttps(HINTERNET request) {
  std::vector<wchar_t> url(INTERNET_MAX_URL_LENGTH + 1, L'\0');
  DWORD size = static_cast<DWORD>((url.size() - 1) * sizeof(wchar_t));
  if (!InternetQueryOptionW(request, INTERNET_OPTION_URL, url.data(), &size)) return false;
  return IsHttpsUrl(platform::WideToUtf8(url.data()));
}

}  // namespace

bool OverlookUnknownCa(HINTERNET request, DWORD send_error, const ServerTrust& trust) {
  if (send_error != ERROR_INTERNET_INVALID_CA || trust.ca_der.empty()) return false;
  DWORD flags = 0;
  DWORD size = sizeof flags;
  if (!InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) return false;
  flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  return InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

std::string CertificateRefusal(DWORD send_error) {
  switch (send_error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return kExpiredCertificate;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return kMisnamedCertificate;
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
      return kUntrustedServer;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      // The system's one code for a handshake that failed: an http server on an https URL, as
      // well as one that ends the connection during the handshake.
      return kNotHttps;
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
      return kRedirectToHttp;
    default:
      return {};
  }
}

std::string CheckServer(HINTERNET request, const ServerTrust& trust, bool unknown_ca) {
  if (!AnsweredOverHttps(request)) return kRedirectToHttp;
  // WinINet has checked the chain against the system's store, the name and the dates.
  if (!unknown_ca && trust.pins.empty()) return {};
  const Chain sent = ServerChain(request);
  PCCERT_CONTEXT leaf = sent ? Leaf(*sent) : nullptr;
  if (leaf == nullptr) return kUntrustedServer;
  if (unknown_ca) {
    // The only fault allowed is the one we made WinINet overlook, and only for our CA. The
    // server must send the CA's certificate: WinINet refuses a chain it cannot finish before
    // we could help.
    const DWORD errors = sent->TrustStatus.dwErrorStatus;
    if ((errors & ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT)) != 0) return kUntrustedServer;
    if (errors != 0 && !EndsInCa(*sent, trust)) return kUntrustedServer;
  }
  if (!trust.pins.empty()) {
    const std::string digest = KeyDigest(leaf);
    bool pinned = false;
    for (const std::string& pin : trust.pins) pinned = pinned || (!digest.empty() && pin == digest);
    if (!pinned) return kPinMismatch;
  }
  return {};
}

}  // namespace zepr::transfer
