// The release package of the Windows program, made by scripts/release from the Windows build:
// what it holds, its signatures (minisign on the package, Authenticode in the program) and
// sums, and the program in it (and the program linked again from its object files) installing
// an update under Wine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "core/encoding.h"
#include "e2e/e2e_sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::BuildZip;
using testing::ReadFile;
using testing::RunProgram;
using testing::WriteFile;

const std::string kName = std::string("ZEPRUpdate-") + ZEPR_PROJECT_VERSION + "-win64";

void Openssl(const Strings& arguments, const fs::path& folder) {
  Strings argv{testing::FindProgram("openssl")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const auto made = RunProgram(argv, {}, folder);
  ASSERT_EQ(made.exit_code, 0) << made.output;
}

// A throwaway code-signing authority and a publisher's certificate from it, in folder: ca.pem,
// sign.pem with sign.key, and both in sign.p12 under the password in sign.pass.
void MakeCodeSigningCertificate(const fs::path& folder) {
  fs::create_directories(folder);
  Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
           "-days", "2", "-subj", "/CN=Firma Code CA", "-addext",
           "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
          folder);
  Openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "sign.key", "-out", "sign.csr",
           "-subj", "/CN=Firma izdavac"},
          folder);
  WriteFile(folder / "sign.ext",
            "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
            "extendedKeyUsage=codeSigning\n");
  Openssl({"x509", "-req", "-in", "sign.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
           "-CAcreateserial", "-days", "2", "-extfile", "sign.ext", "-out", "sign.pem"},
          folder);
  WriteFile(folder / "sign.pass", "tajna lozinka\n");
  Openssl({"pkcs12", "-export", "-inkey", "sign.key", "-in", "sign.pem", "-certfile", "ca.pem",
           "-out", "sign.p12", "-passout", "file:sign.pass"},
          folder);
}

// osslsigncode's verdict on the Authenticode signature of program, trusting only ca.
testing::ProcessResult VerifyAuthenticode(const fs::path& program, const fs::path& ca) {
  return RunProgram({testing::FindProgram("osslsigncode"), "verify", "-CAfile", ca.string(), "-in",
                     program.string()});
}

// Made once for all tests: the package of the named Windows build, signed with a throwaway key.
class ReleasePackage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = new std::string(testing::WindowsRunsUnavailable());
    if (!skip_->empty()) return;
    dir_ = new testing::TempDir;
    const fs::path keys = dir_->path() / "keys";
    fs::create_directories(keys);
    const auto made =
        RunProgram({testing::FindProgram("minisign"), "-G", "-W", "-p",
                    (keys / "zepr.pub").string(), "-s", (keys / "zepr.key").string()});
    ASSERT_EQ(made.exit_code, 0) << made.output;
    MakeCodeSigningCertificate(certificates());
    const auto released =
        RunProgram({(testing::SourceDir() / "scripts" / "release").string(), "-k",
                    (keys / "zepr.key").string(), "--cert", (certificates() / "sign.p12").string(),
                    "--cert-pass", (certificates() / "sign.pass").string(), "-o", out().string(),
                    std::getenv("ZEPR_WINDOWS_BUILD_DIR")});
    ASSERT_EQ(released.exit_code, 0) << released.output;
    ASSERT_NE(released.output.find("signed with Authenticode"), std::string::npos)
        << released.output;
    const auto unpacked =
        RunProgram({testing::FindProgram("unzip"), "-q", (out() / (kName + ".zip")).string(), "-d",
                    (dir_->path() / "unpacked").string()});
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.output;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!skip_->empty()) GTEST_SKIP() << *skip_;
    ASSERT_TRUE(fs::exists(package())) << "the package was not made";
  }

  static fs::path out() { return dir_->path() / "out"; }
  static fs::path package() { return dir_->path() / "unpacked" / kName; }
  static fs::path public_key() { return dir_->path() / "keys" / "zepr.pub"; }
  static fs::path certificates() { return dir_->path() / "certificates"; }

  // Files of the package outside the relink kit's object files and libraries, which follow the
  // build's own libraries.
  static Strings Listing() {
    Strings files;
    for (const auto& entry : fs::recursive_directory_iterator(package())) {
      const std::string name = fs::relative(entry.path(), package()).generic_string();
      if (entry.is_regular_file() && !name.starts_with("relink/lib/") &&
          !name.starts_with("relink/objects/") && !name.starts_with("docs/")) {
        files.push_back(name);
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  static std::string* skip_;
  static testing::TempDir* dir_;
};

std::string* ReleasePackage::skip_ = nullptr;
testing::TempDir* ReleasePackage::dir_ = nullptr;

TEST_F(ReleasePackage, HoldsTheProgramItsSettingsTheLicencesAndARelinkKit) {
  EXPECT_EQ(Listing(), (Strings{"LICENSES/GPL-2.txt", "LICENSES/GPL-3.txt", "LICENSES/LGPL-2.1.txt",
                                "LICENSES/README.txt", "LICENSES/gcc-runtime-libstdc++-libgcc.txt",
                                "LICENSES/libgcrypt.txt", "LICENSES/libgpg-error.txt",
                                "LICENSES/mingw-w64-runtime.txt", "LICENSES/zlib.txt", "README.md",
                                "UPDATE.INI.example", "ZEPRUpdate.exe", "relink/relink.sh"}));
  EXPECT_TRUE(fs::exists(package() / "relink" / "objects" / "main.cpp.obj"));
  EXPECT_TRUE(fs::exists(package() / "relink" / "lib" / "libzepr_core.a"));
  const std::string readme = ReadFile(package() / "README.md");
  EXPECT_EQ(readme, ReadFile(testing::SourceDir() / "README.md"));
  // Every picture the README shows is in the package beside it.
  const std::string link = "](docs/";
  size_t pictures = 0;
  for (size_t at = readme.find(link); at != std::string::npos; at = readme.find(link, at + 1)) {
    const std::string name = readme.substr(at + 2, readme.find(')', at) - at - 2);
    EXPECT_TRUE(fs::is_regular_file(package() / name)) << name;
    ++pictures;
  }
  EXPECT_GT(pictures, 0u);
}

TEST_F(ReleasePackage, IsSignedAndSummed) {
  const auto verified =
      RunProgram({testing::FindProgram("minisign"), "-V", "-p", public_key().string(), "-m",
                  (out() / (kName + ".zip")).string()});
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  EXPECT_NE(verified.output.find("file:" + kName + ".zip"), std::string::npos) << verified.output;

  const auto summed =
      RunProgram({testing::FindProgram("sha256sum"), "-c", "SHA256SUMS"}, {}, out());
  EXPECT_EQ(summed.exit_code, 0) << summed.output;
  EXPECT_EQ(summed.output, kName + ".zip: OK\n" + kName + ".zip.minisig: OK\n");
}

// The program carries an Authenticode signature that chains to the publisher's authority, and
// that no longer holds once a byte of the program changes.
TEST_F(ReleasePackage, ProgramIsSignedWithAuthenticode) {
  const fs::path program = package() / "ZEPRUpdate.exe";
  const auto verified = VerifyAuthenticode(program, certificates() / "ca.pem");
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  EXPECT_NE(verified.output.find("SHA256"), std::string::npos) << verified.output;
  EXPECT_NE(verified.output.find("Firma izdavac"), std::string::npos) << verified.output;

  const testing::TempDir changed;
  std::string bytes = ReadFile(program);
  bytes[bytes.size() / 2] ^= 1;
  WriteFile(changed.path() / "ZEPRUpdate.exe", bytes);
  EXPECT_NE(
      VerifyAuthenticode(changed.path() / "ZEPRUpdate.exe", certificates() / "ca.pem").exit_code,
      0);
}

// A PEM certificate with its key signs as the PKCS#12 file does; without a certificate the
// package is made as before, and the script says that its program is not signed.
TEST_F(ReleasePackage, SignsWithAPemPairAndSaysWhenItDoesNot) {
  const struct {
    Strings options;
    bool signed_program;
    const char* said;
  } cases[] = {
      {{"--cert", (certificates() / "sign.pem").string(), "--cert-key",
        (certificates() / "sign.key").string()},
       true,
       "signed with Authenticode"},
      {{}, false, "not signed with Authenticode"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    const testing::TempDir made;
    Strings argv{(testing::SourceDir() / "scripts" / "release").string(), "-o",
                 made.path().string()};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.push_back(std::getenv("ZEPR_WINDOWS_BUILD_DIR"));
    const auto released = RunProgram(argv);
    ASSERT_EQ(released.exit_code, 0) << released.output;
    EXPECT_NE(released.output.find(c.said), std::string::npos) << released.output;
    const auto unpacked =
        RunProgram({testing::FindProgram("unzip"), "-q", (made.path() / (kName + ".zip")).string(),
                    "-d", made.path().string()});
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.output;
    const auto verified =
        VerifyAuthenticode(made.path() / kName / "ZEPRUpdate.exe", certificates() / "ca.pem");
    EXPECT_EQ(verified.exit_code == 0, c.signed_program) << verified.output;
  }
}

// Windows-1250 text in which every setting the program reads is present, and none is active.
TEST_F(ReleasePackage, ExampleSettingsAreAllCommentedOut) {
  const std::string ini = Cp1250ToUtf8(ReadFile(package() / "UPDATE.INI.example"));
  EXPECT_NE(ini.find("<@ENIGMAŠIFRIRAJ@>"), std::string::npos);
  size_t start = 0;
  for (size_t end; (end = ini.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = ini.substr(start, end - start);
    EXPECT_TRUE(line.empty() || line[0] == ';' || line[0] == '[') << line;
  }
  EXPECT_EQ(start, ini.size()) << "a line without CR LF";
  for (const char* setting :
       {"HOST", "CA", "PIN", "KEY", "KEY2", "KEY3", "DRIVER", "SERVER", "PORT", "USERNAME",
        "PASSWORD", "CRYPT", "PASSIVE", "START_DIR", "KORISNIK", "CFG", "IP", "NAZIV_PROGRAMA"}) {
    EXPECT_NE(ini.find(std::string("\r\n;") + setting + "="), std::string::npos) << setting;
  }
  for (const char* section : {"[HTTP]", "[SIGN]", "[SQL]", "[PROGRAMCODE]"}) {
    EXPECT_NE(ini.find(section), std::string::npos) << section;
  }
}

// The program of the package, and the one linked again by the kit from the libraries on this
// machine, each in a folder of its own: a type 8 run installs the archive in Update\ and starts
// the application.
TEST_F(ReleasePackage, ProgramsRunUnderWine) {
  const testing::TempDir relinked;
  const auto linked = RunProgram({"/bin/sh", (package() / "relink" / "relink.sh").string(),
                                  (relinked.path() / "ZEPRUpdate.exe").string()});
  ASSERT_EQ(linked.exit_code, 0) << linked.output;

  for (const fs::path& folder : {package(), relinked.path()}) {
    SCOPED_TRACE(folder);
    const std::string app = "Paket" + std::to_string(getpid());
    fs::copy_file(fs::path(std::getenv("ZEPR_WINDOWS_BUILD_DIR")) / "bin" / "Demo.exe",
                  folder / (app + ".exe"));
    WriteFile(folder / "Update" / "Update.zip",
              BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova verzija"}}));

    const auto run = RunProgram(
        testing::Launch(testing::Build::kWindows, folder / "ZEPRUpdate.exe",
                        {testing::kTitle, testing::kSection, app, testing::kClient, "8", "x", "0"}),
        {"DISPLAY=", "ZEPR_HEADLESS=1"}, folder);

    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(ReadFile(folder / "Citaj.txt"), "nova verzija");
  }
}

}  // namespace
}  // namespace zepr
