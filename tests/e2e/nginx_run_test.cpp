// Debian's nginx as the download endpoint, with the configuration of examples/nginx rewritten
// for a tree and loopback ports of the test: the real updater installs through it over HTTP and
// HTTPS, and no request reaches a file outside the tree.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "e2e/e2e_sandbox.h"
#include "integration/transfer/test_authority.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::AppSandbox;
using testing::Build;
using testing::BuildZip;
using testing::kClient;
using testing::kSection;
using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kOutsideSecret = "tajna izvan stabla";

// Replaces the one occurrence of from; a configuration that no longer has it stops the test.
void ReplaceOnce(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) {
    throw std::runtime_error("examples/nginx/zepr-update.conf: not once: " + from);
  }
  text.replace(at, from.size(), to);
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// nginx in the foreground, a child of the test: it gets SIGTERM when the test ends in any way,
// and coreutils' timeout ends it after five minutes at the latest.
class Nginx {
 public:
  // http_extra: more directives for the http block (a rate limit); key: the keys of the
  // administrator's authority and server certificate ("ec" or "rsa").
  explicit Nginx(const std::string& http_extra = "", const std::string& key = "ec")
      : authority_(testing::MakeAdministratorCa(dir_.path() / "ca", key)) {
    const fs::path root = fs::canonical(dir_.path());
    tree_ = root / "tree";
    fs::create_directories(tree_);
    port_ = testing::UnusedPort();
    tls_port_ = testing::UnusedPort();

    std::string site = ReadFile(testing::SourceDir() / "examples" / "nginx" / "zepr-update.conf");
    ReplaceOnce(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(port_) + ";");
    ReplaceOnce(site, "listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(tls_port_) + " ssl;");
    ReplaceOnce(site, "/srv/zepr-update;", tree_.string() + ";");
    ReplaceOnce(site, "/etc/nginx/zepr-update/server.pem", authority_.server.string());
    ReplaceOnce(site, "/etc/nginx/zepr-update/server.key", authority_.server_key.string());
    WriteFile(root / "zepr-update.conf", site);

    const std::string r = root.string();
    // Run as root, nginx hands its requests to a worker of another user, who could not read the
    // tree; the owner of the test serves them instead.
    const passwd* user = getpwuid(geteuid());
    const std::string user_line =
        geteuid() == 0 && user != nullptr ? std::string("user ") + user->pw_name + ";\n" : "";
    WriteFile(root / "nginx.conf",
              "load_module /usr/lib/nginx/modules/ngx_http_perl_module.so;\n"
              "daemon off;\n" +
                  user_line + "worker_processes 1;\npid " + r + "/nginx.pid;\nerror_log " + r +
                  "/error.log;\nevents { worker_connections 64; }\nhttp {\n" + http_extra +
                  "  log_format zepr '$scheme $status $arg_file';\n  access_log " + r +
                  "/access.log zepr;\n  client_body_temp_path " + r + "/body;\n  proxy_temp_path " +
                  r + "/proxy;\n  fastcgi_temp_path " + r + "/fastcgi;\n  uwsgi_temp_path " + r +
                  "/uwsgi;\n  scgi_temp_path " + r + "/scgi;\n  include " + r +
                  "/zepr-update.conf;\n}\n");

    const std::string nginx = fs::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx";
    const Strings argv{testing::FindProgram("timeout"),
                       "300",
                       nginx,
                       "-p",
                       r + "/",
                       "-c",
                       r + "/nginx.conf",
                       "-e",
                       r + "/error.log"};
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string output = r + "/output.txt";
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      execv(args[0], args.data());
      _exit(127);
    }
    for (int i = 0; i < 1000 && !(Accepts(port_) && Accepts(tls_port_)); ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("nginx ended: " + ReadFile(output) + ReadFile(root / "error.log"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Nginx() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  const fs::path& tree() const { return tree_; }
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string https_host() const { return "https://127.0.0.1:" + std::to_string(tls_port_); }
  const testing::AdministratorCa& authority() const { return authority_; }
  // Every request served: scheme, status, the file= value as sent.
  Strings Served() const {
    Strings lines;
    std::string all = ReadFile(dir_.path() / "access.log");
    for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(all.substr(start, end - start));
    }
    return lines;
  }

 private:
  testing::TempDir dir_;
  testing::AdministratorCa authority_;
  fs::path tree_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
};

struct Response {
  int status = 0;
  std::string body;
};

// One GET with the target exactly as written: no client tidies up the path or the query.
Response Get(int port, const std::string& target, const std::string& range = "") {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    throw std::runtime_error("no connection to nginx");
  }
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                              (range.empty() ? "" : "Range: bytes=" + range + "\r\n") + "\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    close(fd);
    throw std::runtime_error("request not sent");
  }
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, size_t(n));
  close(fd);
  Response response;
  if (reply.starts_with("HTTP/1.1 ") && reply.size() >= 12) {
    response.status = std::stoi(reply.substr(9, 3));
  }
  const size_t body = reply.find("\r\n\r\n");
  if (body != std::string::npos) response.body = reply.substr(body + 4);
  return response;
}

std::string Update(const std::string& client_file) {
  return "/download/_UPDATE/update.php?file=" + client_file;
}

bool SkipWindows(Build build) {
  return build == Build::kWindows && !testing::WindowsRunsUnavailable().empty();
}

struct PlainCase {
  const char* name;
  Build build;
  // Where the publisher put the archive, in the spelling of the upload.
  const char* client_folder;
  const char* section_folder;
  const char* file;
};

void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.name; }

class NginxPlainRun : public ::testing::TestWithParam<PlainCase> {};

// Letter case does not matter between what the updater asks for and what was uploaded, and the
// folder common to all customers serves whoever has no folder of its own.
TEST_P(NginxPlainRun, InstallsTheUpdate) {
  const PlainCase& c = GetParam();
  if (SkipWindows(c.build)) GTEST_SKIP() << testing::WindowsRunsUnavailable();
  Nginx nginx;
  AppSandbox box(c.build);
  WriteFile(box.path() / "UPDATE.INI", "[HTTP]\r\nHOST=" + nginx.host() + "\r\n");
  WriteFile(box.path() / "Citaj.txt", "stara verzija");
  WriteFile(nginx.tree() / c.client_folder / c.section_folder / c.file,
            BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova verzija"}}));

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  const Strings served = nginx.Served();
  const std::string from = std::string(c.client_folder) == "_SVI" ? "_SVI" : kClient;
  EXPECT_NE(
      std::find(served.begin(), served.end(), "http 200 " + from + "/" + kSection + "/UPDATE.ZIP"),
      served.end())
      << ::testing::PrintToString(served);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NginxPlainRun,
    ::testing::Values(PlainCase{"ClientFolder", Build::kLinux, kClient, kSection, "Update.zip"},
                      PlainCase{"CommonFolder", Build::kLinux, "_SVI", kSection, "UPDATE.ZIP"},
                      PlainCase{"LowerCaseUploadUnderWine", Build::kWindows, "klijent", "demo",
                                "update.zip"}),
    [](const auto& info) { return std::string(info.param.name); });

struct SignedCase {
  const char* name;
  Build build;
  // The administrator's authority and server certificate, made by the first openssl commands
  // found, with these keys.
  const char* key;
  bool ca_beside;  // CA= names the file beside the executable, else by its full path
};

void PrintTo(const SignedCase& c, std::ostream* os) { *os << c.name; }

class NginxSignedRun : public ::testing::TestWithParam<SignedCase> {};

// HTTPS with a private CA and a signature from the same tree: both arrive through nginx and the
// update installs.
TEST_P(NginxSignedRun, InstallsOverHttps) {
  const SignedCase& c = GetParam();
  if (SkipWindows(c.build)) GTEST_SKIP() << testing::WindowsRunsUnavailable();
  Nginx nginx("", c.key);
  testing::Publisher publisher;
  AppSandbox box(c.build);
  fs::copy_file(nginx.authority().ca, box.path() / "ca.pem");
  std::string ca = c.ca_beside ? "ca.pem" : (box.path() / "ca.pem").string();
  if (!c.ca_beside && c.build == Build::kWindows) {
    // The same file as Wine's Z: drive shows it.
    ca = "Z:" + ca;
    std::replace(ca.begin(), ca.end(), '/', '\\');
  }
  WriteFile(box.path() / "UPDATE.INI", "[HTTP]\r\nHOST=" + nginx.https_host() + "\r\nCA=" + ca +
                                           "\r\n[SIGN]\r\nKEY=" + publisher.PublicKey() + "\r\n");
  WriteFile(box.path() / "Citaj.txt", "stara verzija");
  const std::string archive = BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova verzija"}});
  const fs::path folder = nginx.tree() / kClient / kSection;
  WriteFile(folder / "Update.zip", archive);
  WriteFile(folder / "Update.zip.minisig", publisher.Sign(archive, "Update.zip"));

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  const Strings served = nginx.Served();
  for (const std::string name : {"UPDATE.ZIP", "UPDATE.ZIP.minisig"}) {
    EXPECT_NE(std::find(served.begin(), served.end(),
                        std::string("https 200 ") + kClient + "/" + kSection + "/" + name),
              served.end())
        << name << ": " << ::testing::PrintToString(served);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NginxSignedRun,
    ::testing::Values(SignedCase{"LinuxRsaCaByFullPath", Build::kLinux, "rsa", false},
                      SignedCase{"WindowsUnderWineEcCaBeside", Build::kWindows, "ec", true}),
    [](const auto& info) { return std::string(info.param.name); });

// A run killed midway through a slow download keeps what arrived; the next run asks nginx for
// the rest only, which nginx answers with a range of the same file (its strong ETag), and the
// archive installs whole.
TEST(NginxResumedRun, KilledRunIsContinuedByTheNext) {
  Nginx nginx("  limit_rate 256k;\n");
  AppSandbox box;
  WriteFile(box.path() / "UPDATE.INI", "[HTTP]\r\nHOST=" + nginx.host() + "\r\n");
  std::string noise(1'500'000, '\0');
  uint32_t state = 7;
  for (auto& byte : noise) byte = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  WriteFile(nginx.tree() / kClient / kSection / "Update.zip",
            BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova verzija"}, {"Podaci.bin", noise}}));
  {
    setenv("ZEPR_HEADLESS", "1", 1);
    testing::RunningProgram updater(testing::Launch(
        Build::kLinux, box.updater(), {testing::kTitle, kSection, box.app(), kClient, "3", "x"}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    uintmax_t held = 0;
    while (held < 300'000 && std::chrono::steady_clock::now() < deadline) {
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(box.path() / "ZEPRUpdateNastavak", ec)) {
        if (entry.path().extension() == ".part") held = entry.file_size(ec);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GE(held, 300'000u) << "the download did not begin";
  }  // killed here

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  EXPECT_EQ(ReadFile(box.path() / "Podaci.bin"), noise);
  const Strings served = nginx.Served();
  EXPECT_NE(std::find(served.begin(), served.end(),
                      std::string("http 206 ") + kClient + "/" + kSection + "/UPDATE.ZIP"),
            served.end())
      << ::testing::PrintToString(served);
}

// A tree with a file beside it, a link to that file and a link to the folder above the tree.
class NginxRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(nginx_.tree().parent_path() / "outside.txt", kOutsideSecret);
    WriteFile(nginx_.tree() / kClient / kSection / "Update.zip", "0123456789");
    fs::create_symlink(nginx_.tree().parent_path() / "outside.txt",
                       nginx_.tree() / kClient / kSection / "Veza.zip");
    fs::create_directory_symlink(nginx_.tree().parent_path(), nginx_.tree() / kClient / "VANI");
  }
  Nginx nginx_;
};

TEST_F(NginxRequests, ServesNamesOfTheTreeInAnyCaseAndRanges) {
  struct Case {
    std::string target;
    std::string range;
    int status;
    std::string body;
  };
  for (const Case& c : std::vector<Case>{
           {Update("KLIJENT/DEMO/Update.zip"), "", 200, "0123456789"},
           {Update("klijent/Demo/UPDATE.ZIP"), "", 200, "0123456789"},
           {Update("KLIJENT/DEMO/UPDATE.ZIP"), "4-", 206, "456789"},
           {Update("KLIJENT/DEMO/UPDATE.ZIP"), "2-5", 206, "2345"},
       }) {
    SCOPED_TRACE(c.target + " " + c.range);
    const Response response = Get(nginx_.port(), c.target, c.range);
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.body, c.body);
  }
}

TEST_F(NginxRequests, NothingOutsideTheTreeAndNoUnsafeName) {
  const std::string outside = (nginx_.tree().parent_path() / "outside.txt").string();
  for (const std::string& target : Strings{
           Update("../outside.txt"),
           Update("KLIJENT/../../outside.txt"),
           Update("KLIJENT/DEMO/../../../outside.txt"),
           Update("/etc/passwd"),
           Update(outside),
           Update("KLIJENT%2F..%2F..%2Foutside.txt"),
           Update("KLIJENT/DEMO/..%2F..%2F..%2Foutside.txt"),
           Update("KLIJENT/DEMO/..%5C..%5C..%5Coutside.txt"),
           Update("%2E%2E/%2E%2E/outside.txt"),
           Update("KLIJENT%2FDEMO%2FUpdate.zip"),
           Update("KLIJENT\\DEMO\\Update.zip"),
           Update("..\\..\\outside.txt"),
           Update("KLIJENT/DEMO/Update.zip%00.txt"),
           Update("KLIJENT/DEMO/Veza.zip"),
           Update("KLIJENT/VANI/outside.txt"),
           Update("KLIJENT/DEMO"),
           Update("KLIJENT//DEMO/Update.zip"),
           Update(""),
           "/download/_UPDATE/update.php/../../outside.txt",
           "/outside.txt",
           "/KLIJENT/DEMO/Update.zip",
       }) {
    SCOPED_TRACE(target);
    const Response response = Get(nginx_.port(), target);
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body.find(kOutsideSecret), std::string::npos);
    EXPECT_EQ(response.body.find("root:"), std::string::npos);
  }
}

}  // namespace
}  // namespace zepr
