#include "transfer/win32/server_certificate.h"

#include <memory>
#include <optional>
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

// The URL the request went to, after any redirect.
std::string RequestUrl(HINTERNET request) {
  std::vector<wchar_t> url(INTERNET_MAX_URL_LENGTH + 1, L'\0');
  DWORD size = static_cast<DWORD>((url.size() - 1) * sizeof(wchar_t));
  if (!InternetQueryOptionW(request, INTERNET_OPTION_URL, url.data(), &size)) return {};
  return platform::WideToUtf8(url.data());
}

// The address that a URL names as its host; nothing for a host name.
std::optional<std::string> UrlAddress(const std::string& url) {
  const std::wstring wide = platform::Utf8ToWide(url);
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  if (!InternetCrackUrlW(wide.c_str(), 0, 0, &parts) || parts.lpszHostName == nullptr) {
    return std::nullopt;
  }
  return AddressBytes(
      platform::WideToUtf8(std::wstring(parts.lpszHostName, parts.dwHostNameLength)));
}

bool SetSecurityFlag(HINTERNET request, DWORD flag) {
  DWORD flags = 0;
  DWORD size = sizeof flags;
  if (!InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) return false;
  flags |= flag;
  return InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

// The faults that a chain may have once WinINet overlooked its root, each harmless for its own
// reason:
// - CERT_TRUST_IS_UNTRUSTED_ROOT: the system's store does not hold the root. It is trusted only
//   when it is the configured CA, byte for byte.
// - CERT_TRUST_REVOCATION_STATUS_UNKNOWN, CERT_TRUST_IS_OFFLINE_REVOCATION: nobody could say
//   whether a certificate was revoked, as for any private CA without a CRL or OCSP service;
//   WinINet applied the system's revocation policy before it let the request through, and
//   libcurl asks nobody either. A revoked certificate (CERT_TRUST_IS_REVOKED) stays refused.
// Every other fault refuses: dates, signatures, usage, constraints, a partial chain. Wine 8
// reports only the untrusted root for the chains of a private CA, with or without key
// identifiers and a key usage on the leaf.
constexpr DWORD kOverlookedChainFaults = CERT_TRUST_IS_UNTRUSTED_ROOT |
                                         CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                         CERT_TRUST_IS_OFFLINE_REVOCATION;

}  // namespace

bool Overlook(HINTERNET request, DWORD send_error, const ServerTrust& trust,
              Overlooked& overlooked) {
  if (send_error == ERROR_INTERNET_INVALID_CA && !trust.ca_der.empty() && !overlooked.unknown_ca) {
    overlooked.unknown_ca = SetSecurityFlag(request, SECURITY_FLAG_IGNORE_UNKNOWN_CA);
    return overlooked.unknown_ca;
  }
  // Windows matches an address with the certificate's IP names; Wine 8 compares DNS names only
  // and refuses a certificate that names the address as an address.
  if (send_error == ERROR_INTERNET_SEC_CERT_CN_INVALID && !overlooked.name &&
      UrlAddress(RequestUrl(request))) {
    overlooked.name = SetSecurityFlag(request, SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
    return overlooked.name;
  }
  return false;
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

std::string CheckServer(HINTERNET request, const ServerTrust& trust, const Overlooked& overlooked) {
  // A redirect may have ended anywhere; only https counts.
  const std::string url = RequestUrl(request);
  if (!IsHttpsUrl(url)) return kRedirectToHttp;
  // WinINet has checked the chain against the system's store, the name and the dates.
  if (!overlooked.unknown_ca && !overlooked.name && trust.pins.empty()) return {};
  const Chain sent = ServerChain(request);
  PCCERT_CONTEXT leaf = sent ? Leaf(*sent) : nullptr;
  if (leaf == nullptr) return kUntrustedServer;
  if (overlooked.unknown_ca) {
    // The server must send the CA's certificate: WinINet refuses a chain it cannot finish
    // before we could help.
    const DWORD errors = sent->TrustStatus.dwErrorStatus;
    if ((errors & ~kOverlookedChainFaults) != 0) return kUntrustedServer;
    if (errors != 0 && !EndsInCa(*sent, trust)) return kUntrustedServer;
  }
  const std::string_view leaf_bytes(reinterpret_cast<const char*>(leaf->pbCertEncoded),
                                    leaf->cbCertEncoded);
  if (overlooked.name) {
    // Of the host that answered, after any redirect.
    const auto address = UrlAddress(url);
    if (!address || !CertificateNamesAddress(leaf_bytes, *address)) return kMisnamedCertificate;
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
