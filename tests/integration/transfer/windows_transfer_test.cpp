// Runs the WinINet transfer tests under Wine against local peers started here: the Windows
// program cannot start the Python peers itself, so it learns their ports and folders from the
// environment. Skips when the Windows build or Wine is missing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/encoding.h"
#include "ftp_cases.h"
#include "support/peer_process.h"
#include "support/sandbox.h"
#include "test_authority.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

constexpr const char* kProgram = "wininet_transfer_test.exe";

// The folder as Wine's Z: drive shows it.
std::string WinePath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

std::vector<std::string> FtpServer(const fs::path& folder, const std::string& user,
                                   const std::string& password,
                                   std::vector<std::string> extra = {}) {
  fs::create_directories(folder / "served");
  std::vector<std::string> argv = {zepr::testing::SystemPython(),
                                   zepr::testing::SupportFile("ftp_server.py"),
                                   "--root",
                                   (folder / "served").string(),
                                   "--user",
                                   user,
                                   "--password",
                                   password,
                                   "--log",
                                   (folder / "commands.log").string(),
                                   "--time-limit",
                                   "300"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

// A port that takes connections and never says a word, like a server that hangs before its
// greeting. The system completes the connections; nobody accepts them.
class SilentListener {
 public:
  SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "no silent listener";
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// A Croatian locale for Wine, compiled into folder, so the Windows program runs with the ANSI
// code page of the machines it is made for (1250); empty when the system cannot build one.
std::vector<std::string> CroatianLocale(const fs::path& folder) {
  const std::string localedef = zepr::testing::FindProgram("localedef");
  if (localedef.empty() || !fs::exists("/usr/share/i18n/locales/hr_HR")) return {};
  fs::create_directories(folder);
  const auto built = zepr::testing::RunProgram(
      {localedef, "-i", "hr_HR", "-f", "UTF-8", (folder / "hr_HR.UTF-8").string()});
  if (!fs::exists(folder / "hr_HR.UTF-8" / "LC_CTYPE")) return {};
  return {"LOCPATH=" + folder.string(), "LC_ALL=hr_HR.UTF-8"};
}

TEST(WindowsTransfer, WininetBackEndsPassAgainstTheLocalPeers) {
  const char* build_dir = std::getenv("ZEPR_WINDOWS_BUILD_DIR");
  if (build_dir == nullptr || *build_dir == '\0') {
    GTEST_SKIP() << "ZEPR_WINDOWS_BUILD_DIR does not name the Windows build";
  }
  const fs::path program = zepr::testing::FindWindowsProgram(build_dir, kProgram);
  if (program.empty()) GTEST_SKIP() << "no " << kProgram << " under " << build_dir;
  const std::string wine = zepr::testing::FindProgram("wine");
  if (wine.empty()) GTEST_SKIP() << "wine is not installed";

  TempDir peers;
  const fs::path http = peers.path() / "http";
  fs::create_directories(http / "served");
  auto http_endpoint = [&](const std::vector<std::string>& tls) {
    std::vector<std::string> argv = {zepr::testing::SystemPython(),
                                     zepr::testing::SupportFile("http_endpoint.py"),
                                     "--root",
                                     (http / "served").string(),
                                     "--log",
                                     (http / "requests.log").string(),
                                     "--control",
                                     (http / "control.json").string(),
                                     "--time-limit",
                                     "300"};
    argv.insert(argv.end(), tls.begin(), tls.end());
    // The plain endpoint alone counts what it sends; the others would write over its count.
    if (tls.empty()) argv.insert(argv.end(), {"--sent", (http / "sent").string()});
    return argv;
  };
  PeerProcess endpoint(http_endpoint({}));
  // The same folder over https: certificates of a private authority (for the address, expired,
  // for another name, for another address) and of an administrator's (EC and RSA keys).
  const zepr::testing::TestAuthority authority =
      zepr::testing::MakeTestAuthority(peers.path() / "pki");
  const zepr::testing::AdministratorCa administrator_ec =
      zepr::testing::MakeAdministratorCa(peers.path() / "ec", "ec");
  const zepr::testing::AdministratorCa administrator_rsa =
      zepr::testing::MakeAdministratorCa(peers.path() / "rsa", "rsa");
  auto https_endpoint = [&](const fs::path& chain, const fs::path& key) {
    return http_endpoint({"--tls-cert", chain.string(), "--tls-key", key.string()});
  };
  PeerProcess https(https_endpoint(authority.server, authority.server_key));
  PeerProcess expired(https_endpoint(authority.expired, authority.server_key));
  PeerProcess misnamed(https_endpoint(authority.misnamed, authority.misnamed_key));
  PeerProcess misaddressed(https_endpoint(authority.misaddressed, authority.server_key));
  PeerProcess https_ec(https_endpoint(administrator_ec.server, administrator_ec.server_key));
  PeerProcess https_rsa(https_endpoint(administrator_rsa.server, administrator_rsa.server_key));
  PeerProcess ftp(
      FtpServer(peers.path() / "ftp", "korisnik", "tajna", testing::kFailedRetrievalServer));
  const std::string croatian_password = "šđčćž ŠĐČĆŽ";
  PeerProcess ftp_cp1250(FtpServer(peers.path() / "ftp1250", "korisnik", croatian_password));
  // Names on the server's disk are the CP1250 bytes, which the Windows side cannot write.
  zepr::testing::WriteFile(peers.path() / "ftp1250" / "served" / Utf8ToCp1250("ČAKOVEC") / "APP" /
                               Utf8ToCp1250("Šifre čćž.zip"),
                           "zip");
  // Silent in places, for the cases that wait on it; one that stalls a transfer silences the
  // whole server for a while, so it has no other users.
  PeerProcess ftp_mute(
      FtpServer(peers.path() / "ftpmute", "korisnik", "tajna",
                {"--mute", "TIHO", "--mute", "Tiho.zip", "--pause", "Stall.zip:100000:60"}));
  SilentListener silent;
  const int closed_port = [] { return SilentListener().port(); }();
  // The breaks of every retrieval that is continued, each case on a file of its own.
  std::vector<std::string> breaks;
  for (const auto& c : testing::CutRetrievalCases()) {
    breaks.insert(breaks.end(), c.server.begin(), c.server.end());
  }
  PeerProcess ftp_resume(FtpServer(peers.path() / "ftpresume", "korisnik", "tajna", breaks));

  const char* prefix = std::getenv("WINEPREFIX");
  const fs::path wine_prefix =
      prefix != nullptr && *prefix != '\0' ? fs::path(prefix) : fs::path(build_dir) / "wineprefix";
  const auto prepared = zepr::testing::RunProgram(
      {(zepr::testing::SourceDir() / "scripts" / "wine-prefix").string(), wine_prefix.string()});
  ASSERT_EQ(prepared.exit_code, 0) << prepared.output;

  std::vector<std::string> env = CroatianLocale(peers.path() / "locale");
  if (env.empty()) std::printf("no Croatian locale for Wine: the CP1250 case will skip\n");
  // The filter of this program is not the Windows program's.
  const char* filter = std::getenv("ZEPR_WINDOWS_GTEST_FILTER");
  env.push_back(std::string("GTEST_FILTER=") + (filter != nullptr ? filter : ""));
  env.insert(env.end(), {"WINEPREFIX=" + wine_prefix.string(),
                         "WINEDEBUG=-all",
                         "WINEDLLOVERRIDES=mscoree,mshtml=",
                         "DISPLAY=",
                         "ZEPR_HTTP_PORT=" + std::to_string(endpoint.port()),
                         "ZEPR_HTTP_ROOT=" + WinePath(http),
                         "ZEPR_HTTPS_PORT=" + std::to_string(https.port()),
                         "ZEPR_HTTPS_EXPIRED_PORT=" + std::to_string(expired.port()),
                         "ZEPR_HTTPS_MISNAMED_PORT=" + std::to_string(misnamed.port()),
                         "ZEPR_HTTPS_MISADDRESSED_PORT=" + std::to_string(misaddressed.port()),
                         "ZEPR_HTTPS_EC_PORT=" + std::to_string(https_ec.port()),
                         "ZEPR_HTTPS_RSA_PORT=" + std::to_string(https_rsa.port()),
                         "ZEPR_HTTPS_CA=" + WinePath(authority.ca),
                         "ZEPR_HTTPS_OTHER_CA=" + WinePath(authority.other_ca),
                         "ZEPR_HTTPS_EC_CA=" + WinePath(administrator_ec.ca),
                         "ZEPR_HTTPS_RSA_CA=" + WinePath(administrator_rsa.ca),
                         "ZEPR_HTTPS_KEY=" + WinePath(authority.server_key),
                         "ZEPR_HTTPS_PIN=" + authority.pin,
                         "ZEPR_HTTPS_OTHER_PIN=" + authority.other_pin,
                         "ZEPR_FTP_PORT=" + std::to_string(ftp.port()),
                         "ZEPR_FTP_ROOT=" + WinePath(peers.path() / "ftp"),
                         "ZEPR_FTP_USER=korisnik",
                         "ZEPR_FTP_PASSWORD=tajna",
                         "ZEPR_FTP_CP1250_PORT=" + std::to_string(ftp_cp1250.port()),
                         "ZEPR_FTP_CP1250_ROOT=" + WinePath(peers.path() / "ftp1250"),
                         "ZEPR_FTP_CP1250_USER=korisnik",
                         "ZEPR_FTP_CP1250_PASSWORD=" + croatian_password,
                         "ZEPR_FTP_MUTE_PORT=" + std::to_string(ftp_mute.port()),
                         "ZEPR_FTP_MUTE_ROOT=" + WinePath(peers.path() / "ftpmute"),
                         "ZEPR_FTP_MUTE_USER=korisnik",
                         "ZEPR_FTP_MUTE_PASSWORD=tajna",
                         "ZEPR_FTP_SILENT_PORT=" + std::to_string(silent.port()),
                         "ZEPR_FTP_CLOSED_PORT=" + std::to_string(closed_port),
                         "ZEPR_FTP_RESUME_PORT=" + std::to_string(ftp_resume.port()),
                         "ZEPR_FTP_RESUME_ROOT=" + WinePath(peers.path() / "ftpresume"),
                         "ZEPR_FTP_RESUME_USER=korisnik",
                         "ZEPR_FTP_RESUME_PASSWORD=tajna"});
  const auto result = zepr::testing::RunProgram({wine, program.string()}, env);
  // The whole output only on failure: its lines about skipped cases (the benchmark's) would
  // make CTest count this test as skipped.
  EXPECT_EQ(result.exit_code, 0) << result.output;
  // A case that missed a peer of this side skips quietly over there.
  EXPECT_EQ(result.output.find("run through windows_transfer_test"), std::string::npos)
      << result.output;
}

}  // namespace
}  // namespace zepr
