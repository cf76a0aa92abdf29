#include "test_authority.h"

#include <stdexcept>
#include <vector>

#include "support/sandbox.h"

namespace zepr::testing {
namespace {

namespace fs = std::filesystem;

void Openssl(const std::string& openssl, std::vector<std::string> args) {
  args.insert(args.begin(), openssl);
  const ProcessResult result = RunProgram(args);
  if (result.exit_code != 0) throw std::runtime_error("openssl failed: " + result.output);
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// A certificate signed by the authority, valid for the names of alt_names, for days (negative:
// it has expired) and with the key of key_name, made first when it is not there.
void Issue(const std::string& openssl, const fs::path& folder, const std::string& name,
           const std::string& alt_names, int serial, const std::string& key_name, int days = 2) {
  const fs::path key = folder / (key_name + ".key");
  const fs::path extensions = folder / (name + ".ext");
  const fs::path request = folder / (name + ".csr");
  WriteFile(extensions,
            "basicConstraints = CA:FALSE\n"
            "keyUsage = critical, digitalSignature, keyEncipherment\n"
            "extendedKeyUsage = serverAuth\n"
            "subjectKeyIdentifier = hash\n"
            "authorityKeyIdentifier = keyid\n"
            "subjectAltName = " +
                alt_names + "\n");
  if (fs::exists(key)) {
    Openssl(openssl, {"req", "-new", "-key", key.string(), "-subj", "/CN=" + name, "-out",
                      request.string()});
  } else {
    Openssl(openssl, {"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key.string(),
                      "-subj", "/CN=" + name, "-out", request.string()});
  }
  Openssl(openssl, {"x509", "-req", "-in", request.string(), "-CA", (folder / "ca.pem").string(),
                    "-CAkey", (folder / "ca.key").string(), "-set_serial", std::to_string(serial),
                    "-days", std::to_string(days), "-sha256", "-extfile", extensions.string(),
                    "-out", (folder / (name + ".crt")).string()});
  // What the server sends: its certificate, then the authority's.
  WriteFile(folder / (name + ".pem"),
            ReadFile(folder / (name + ".crt")) + ReadFile(folder / "ca.pem"));
}

// The pin of a key: SHA-256 of its DER SubjectPublicKeyInfo, in base64.
std::string PinOf(const std::string& openssl, const fs::path& folder, const std::string& key) {
  const fs::path der = folder / (key + ".spki");
  const fs::path digest = folder / (key + ".sha256");
  const fs::path text = folder / (key + ".pin");
  Openssl(openssl, {"pkey", "-in", (folder / (key + ".key")).string(), "-pubout", "-outform", "DER",
                    "-out", der.string()});
  Openssl(openssl, {"dgst", "-sha256", "-binary", "-out", digest.string(), der.string()});
  Openssl(openssl, {"base64", "-A", "-in", digest.string(), "-out", text.string()});
  return "sha256//" + Trimmed(ReadFile(text));
}

// A self-signed authority: name.pem and name.key.
void MakeAuthority(const std::string& openssl, const fs::path& folder, const std::string& name) {
  const fs::path config = folder / (name + ".cnf");
  WriteFile(config,
            "[req]\n"
            "distinguished_name = dn\n"
            "prompt = no\n"
            "x509_extensions = ca\n"
            "[dn]\n"
            "CN = ZEPR Test " +
                name +
                "\n"
                "[ca]\n"
                "basicConstraints = critical, CA:TRUE\n"
                "keyUsage = critical, keyCertSign, cRLSign\n"
                "subjectKeyIdentifier = hash\n");
  Openssl(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                    "-config", config.string(), "-keyout", (folder / (name + ".key")).string(),
                    "-out", (folder / (name + ".pem")).string()});
}

}  // namespace

TestAuthority MakeTestAuthority(const fs::path& folder) {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) throw std::runtime_error("openssl is not installed");
  fs::create_directories(folder);
  MakeAuthority(openssl, folder, "ca");
  MakeAuthority(openssl, folder, "other-ca");
  // Wine's name check looks at the DNS names only, libcurl's at the address for an address.
  Issue(openssl, folder, "server", "IP:127.0.0.1, DNS:127.0.0.1", 2, "server");
  Issue(openssl, folder, "misnamed", "DNS:zepr.invalid", 3, "misnamed");
  Issue(openssl, folder, "expired", "IP:127.0.0.1, DNS:127.0.0.1", 4, "server", -1);
  Issue(openssl, folder, "misaddressed", "IP:127.0.0.2", 5, "server");
  return {.ca = folder / "ca.pem",
          .other_ca = folder / "other-ca.pem",
          .server = folder / "server.pem",
          .server_key = folder / "server.key",
          .misnamed = folder / "misnamed.pem",
          .misnamed_key = folder / "misnamed.key",
          .expired = folder / "expired.pem",
          .misaddressed = folder / "misaddressed.pem",
          .pin = PinOf(openssl, folder, "server"),
          .other_pin = PinOf(openssl, folder, "ca")};
}

AdministratorCa MakeAdministratorCa(const fs::path& folder, const std::string& key) {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) throw std::runtime_error("openssl is not installed");
  fs::create_directories(folder);
  const std::vector<std::string> new_key =
      key == "ec" ? std::vector<std::string>{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"}
                  : std::vector<std::string>{"-newkey", "rsa:2048"};
  const auto in = [&](const std::string& name) { return (folder / name).string(); };
  std::vector<std::string> ca = {"req", "-x509"};
  ca.insert(ca.end(), new_key.begin(), new_key.end());
  ca.insert(ca.end(), {"-nodes", "-keyout", in("ca.key"), "-out", in("ca.pem"), "-days", "2",
                       "-subj", "/CN=Firma CA", "-addext", "basicConstraints=critical,CA:TRUE",
                       "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
  Openssl(openssl, ca);
  std::vector<std::string> request = {"req", "-new"};
  request.insert(request.end(), new_key.begin(), new_key.end());
  request.insert(request.end(), {"-nodes", "-keyout", in("server.key"), "-out", in("server.csr"),
                                 "-subj", "/CN=localhost"});
  Openssl(openssl, request);
  WriteFile(folder / "server.ext",
            "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
            "extendedKeyUsage=serverAuth\n");
  Openssl(openssl, {"x509", "-req", "-in", in("server.csr"), "-CA", in("ca.pem"), "-CAkey",
                    in("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", in("server.ext"),
                    "-out", in("server.crt")});
  WriteFile(folder / "server.pem", ReadFile(folder / "server.crt") + ReadFile(folder / "ca.pem"));
  return {.ca = folder / "ca.pem",
          .server = folder / "server.pem",
          .server_key = folder / "server.key"};
}

}  // namespace zepr::testing
