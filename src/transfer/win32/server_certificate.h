#pragma once

// The https checks that WinINet leaves to us: a private certificate authority, pinned keys, and
// no way back to http.
#include <windows.h>
#include <wininet.h>

#include <string>

#include "transfer/transfer_shared.h"

namespace zepr::transfer {

// What WinINet was told to overlook for a request; each is checked here instead.
struct Overlooked {
  // The system's store does not hold the root: the chain must end in the configured CA.
  bool unknown_ca = false;
  // WinINet found no name for the host: the host is an address, which must be one of the
  // certificate's IP names.
  bool name = false;
};

// After a send failed with send_error: when the fault is one that we check ourselves (a root
// that only the configured CA makes trusted; under Wine, an address that only an IP name
// names), tells WinINet to overlook exactly that and returns true: the request must go out
// again. Each is overlooked once at most.
bool Overlook(HINTERNET request, DWORD send_error, const ServerTrust& trust,
              Overlooked& overlooked);

// A failed send that was about the certificate or the TLS handshake: the reason; "" for the
// other failures.
std::string CertificateRefusal(DWORD send_error);

// After an https request was answered, before any of its body is read: "" when its server may
// have our trust, else the reason.
std::string CheckServer(HINTERNET request, const ServerTrust& trust, const Overlooked& overlooked);

}  // namespace zepr::transfer
