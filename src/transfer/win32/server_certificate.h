#pragma once

// The https checks that WinINet leaves to us: a private certificate authority, pinned keys, and
// no way back to http.
#include <windows.h>
#include <wininet.h>

#include <string>

#include "transfer/transfer_shared.h"

namespace zepr::transfer {

// The system's store did not know the server's root. With a private CA configured, WinINet is
// told to overlook exactly that (the name and the dates are still checked); true when it was,
// and the request must then go out again.
bool OverlookUnknownCa(HINTERNET request, DWORD send_error, const ServerTrust& trust);

// A failed send that was about the certificate or the TLS handshake: the reason; "" for the
// other failures.
std::string CertificateRefusal(DWORD send_error);

// After an https request was answered, before any of its body is read: "" when its server may
// have our trust, else the reason. unknown_ca: OverlookUnknownCa was needed, so the chain must
// end in the configured CA.
std::string CheckServer(HINTERNET request, const ServerTrust& trust, bool unknown_ca);

}  // namespace zepr::transfer
