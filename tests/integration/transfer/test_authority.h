#pragma once

#include <filesystem>
#include <string>

namespace zepr::testing {

// A private certificate authority and server certificates for 127.0.0.1, made by the openssl
// command in a folder of the test, for the TLS mode of the HTTP endpoint. A server sends its
// certificate and the authority's; the client must trust the authority from its own side.
struct TestAuthority {
  std::filesystem::path ca;          // the authority's certificate (PEM)
  std::filesystem::path other_ca;    // another authority's, which signed nothing here
  std::filesystem::path server;      // the chain for 127.0.0.1, signed by the authority
  std::filesystem::path server_key;  // its key
  std::filesystem::path misnamed;    // signed by the authority, for another name only
  std::filesystem::path misnamed_key;
  // With the server's key, signed by the authority: one that has expired, and one for another
  // address only (IP:127.0.0.2).
  std::filesystem::path expired;
  std::filesystem::path misaddressed;
  std::string pin;        // "sha256//..." of the server's key, as openssl computes it
  std::string other_pin;  // of a key the server does not have
};

// Raises std::runtime_error with openssl's words when a step fails.
TestAuthority MakeTestAuthority(const std::filesystem::path& folder);

// A private authority and a server certificate for 127.0.0.1 and localhost as an administrator
// makes them with the first openssl commands found: no key identifiers of our choosing, no key
// usage on the leaf, the address as an IP name only. The server sends its certificate and the
// authority's.
struct AdministratorCa {
  std::filesystem::path ca;
  std::filesystem::path server;
  std::filesystem::path server_key;
};
// key: "ec" (P-256) or "rsa".
AdministratorCa MakeAdministratorCa(const std::filesystem::path& folder, const std::string& key);

}  // namespace zepr::testing
