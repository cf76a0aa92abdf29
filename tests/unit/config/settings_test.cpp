#include "config/settings.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <optional>
#include <tuple>

#include "config/cp1250_text.h"
#include "config/enigma.h"
#include "config/ini_file.h"
#include "config/ini_scripter.h"
#include "core/encoding.h"
#include "core/errors.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

const std::string kEnc(TIniScripter::kEncipherMarker);
const std::string kDec(TIniScripter::kDecipherMarker);

std::string Stored(const std::string& plain) {
  TEnigma e;
  e.Add(plain);
  e.Encipher();
  return kDec + e[0] + kDec;
}
std::string Marked(const std::string& plain) { return kEnc + plain + kEnc; }

auto Fields(const TConfig& c) {
  return std::tie(c.Ip, c.Korisnik, c.Rezerva, c.NazivPrograma, c.Cfg, c.Server, c.Username,
                  c.Password, c.StartDir, c.Crypt, c.Passive, c.Port);
}

TEST(UcitajIni, ReadsTheProgramsSection) {
  struct Case {
    const char* name;
    std::string file;
    bool result;
    TConfig expected;
  };
  const Case cases[] = {
      {"every key",
       "[Druga]\nSERVER=other\n[ZEPR]\nIP=10\nKORISNIK=Kupac\nNAZIV_PROGRAMA=Zepr \x8A"
       "ef\nCFG=lista.ini\nSERVER=ftp.example\nUSERNAME=user\nPASSWORD=\"p a\x9A\"\n"
       "START_DIR=/upd/\nCRYPT=N\nPASSIVE=D\nPORT=2121\n",
       true,
       {10, "Kupac", "",
        "Zepr \xC5\xA0"
        "ef",
        "lista.ini", "ftp.example", "user", "p a\xC5\xA1", "/upd/", "N", true, 2121}},
      {"only server and user",
       "[zepr]\nserver=s\nusername=u\n",
       true,
       {0, "", "", "", "", "s", "u", "", "", "", false, 0}},
      {"lower-case d and bad numbers",
       "[ZEPR]\nSERVER=s\nUSERNAME=u\nPASSIVE=d\nPORT=abc\nIP=x\n",
       true,
       {0, "", "", "", "", "s", "u", "", "", "", false, 0}},
      {"no user",
       "[ZEPR]\nSERVER=s\nUSERNAME=\n",
       false,
       {0, "", "", "", "", "s", "", "", "", "", false, 0}},
      {"no section", "[Druga]\nSERVER=s\nUSERNAME=u\n", false, {}},
      {"markers without CRYPT are part of the password",
       "[ZEPR]\nSERVER=s\nUSERNAME=u\nPASSWORD=" + Stored("abc") + "\n",
       true,
       {0, "", "", "", "", "s", "u", Cp1250ToUtf8(Stored("abc")), "", "", false, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir.path() / "update.ini", c.file);
    TConfig config;
    config.Port = 99;  // every field is overwritten
    EXPECT_EQ(UcitajIni(dir.folder(), "ZEPR", config), c.result);
    EXPECT_EQ(Fields(config), Fields(c.expected));
    EXPECT_EQ(ReadFile(dir.path() / "update.ini"), c.file);  // nothing written
  }
}

TEST(UcitajIni, MissingFileGivesFalseAndCreatesNothing) {
  TempDir dir;
  TConfig config;
  EXPECT_FALSE(UcitajIni(dir.folder(), "ZEPR", config));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(UcitajIni, MarkedPasswordIsEncipheredOnDiskAndPlainInTheRecord) {
  TempDir dir;
  const auto path = dir.path() / "UPDATE.INI";
  WriteFile(path,
            "[ZEPR]\nSERVER=s\nUSERNAME=u\nCRYPT=D\nPASSWORD=" + kEnc + "ta\x9Ana" + kEnc + "\n");
  const std::string on_disk =
      "[ZEPR]\r\nSERVER=s\r\nUSERNAME=u\r\nCRYPT=D\r\nPASSWORD=" + Stored("ta\x9Ana") + "\r\n";
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE(call);
    TConfig config;
    EXPECT_TRUE(UcitajIni(dir.folder(), "ZEPR", config));
    EXPECT_EQ(config.Password, "ta\xC5\xA1na");
    EXPECT_EQ(ReadFile(path), on_disk);
  }
}

TEST(UcitajIni, EachSectionGetsItsOwnEncipheredPassword) {
  TempDir dir;
  WriteFile(dir.path() / "Update.ini",
            "[PRVI]\r\nSERVER=s\r\nUSERNAME=u\r\nCRYPT=D\r\nPASSWORD=" + Stored("one") +
                "\r\n[DRUGI]\r\nSERVER=s\r\nUSERNAME=u\r\nCRYPT=D\r\n"
                "PASSWORD=" +
                Stored("two") + "\r\n");
  for (auto [section, password] : {std::pair{"PRVI", "one"}, std::pair{"drugi", "two"}}) {
    TConfig config;
    EXPECT_TRUE(UcitajIni(dir.folder(), section, config));
    EXPECT_EQ(config.Password, password) << section;
  }
}

TEST(UcitajIni, ValuesWaitingToBeEncipheredNeverReachTheServerWithTheirMarkers) {
  const std::string head = "[ZEPR]\nSERVER=s\nUSERNAME=u\nCRYPT=D\n";
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      // Enciphered first, then read while the other values still wait.
      {"own password first", head + "PASSWORD=" + Marked("abc") + "\nA=" + Marked("1") +
                                 "\nB=" + Marked("2") + "\nC=" + Marked("3") + "\n"},
      // Still waiting behind two others on the first read: used without its markers.
      {"own password behind others",
       head + "A=" + Marked("1") + "\nB=" + Marked("2") + "\nPASSWORD=" + Marked("abc") + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir.path() / "UPDATE.INI", c.file);
    for (int call = 1; call <= 4; ++call) {
      SCOPED_TRACE(call);
      TConfig config;
      EXPECT_TRUE(UcitajIni(dir.folder(), "ZEPR", config));
      EXPECT_EQ(config.Password, "abc");
    }
    EXPECT_EQ(ReadFile(dir.path() / "UPDATE.INI").find(kEnc), std::string::npos);
  }
}

const std::string kMarkedFile =
    "[ZEPR]\nSERVER=s\nUSERNAME=u\nCRYPT=D\nPASSWORD=" + Marked("abc") + "\n";
const std::string kEncipheredFile =
    "[ZEPR]\r\nSERVER=s\r\nUSERNAME=u\r\nCRYPT=D\r\nPASSWORD=" + Stored("abc") + "\r\n";

// Each call must give the plain password, whatever could be written.
void ExpectPlainPasswordTwice(const std::string& folder) {
  for (int call = 1; call <= 2; ++call) {
    TConfig config;
    EXPECT_TRUE(UcitajIni(folder, "ZEPR", config));
    EXPECT_EQ(config.Password, "abc") << "call " << call;
  }
}

#ifdef _WIN32
// The read-only attribute is all Windows has of the POSIX cases below (owners, modes, links,
// folders closed to new files).
TEST(UcitajIni, ReadOnlyFileIsLeftAlone) {
  TempDir dir;
  const fs::path path = dir.path() / "UPDATE.INI";
  WriteFile(path, kMarkedFile);
  fs::permissions(path, fs::perms(0444));
  ExpectPlainPasswordTwice(dir.folder());
  EXPECT_EQ(ReadFile(path), kMarkedFile);
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(testing::ListFolder(dir.path()), std::vector<std::string>{"UPDATE.INI"});
}
#else
// Forbids new entries in a folder while it lives: immutable for root, whom permissions do not
// stop; without write permission for anybody else.
class LockedFolder {
 public:
  explicit LockedFolder(const fs::path& folder) : folder_(folder) {
    if (geteuid() == 0) {
      immutable_ = SetImmutable(true);
    } else {
      std::error_code ec;
      fs::permissions(folder_, fs::perms::owner_write, fs::perm_options::remove, ec);
    }
    const fs::path probe = folder_ / "probe";
    locked_ = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) < 0;
    if (!locked_) fs::remove(probe);
  }
  ~LockedFolder() {
    if (immutable_) SetImmutable(false);
    std::error_code ec;
    fs::permissions(folder_, fs::perms::owner_write, fs::perm_options::add, ec);
  }
  LockedFolder(const LockedFolder&) = delete;
  LockedFolder& operator=(const LockedFolder&) = delete;
  bool locked() const { return locked_; }

 private:
  bool SetImmutable(bool on) {
    const int fd = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return done;
  }

  fs::path folder_;
  bool immutable_ = false;
  bool locked_ = false;
};

struct stat Stat(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(UcitajIni, WriteBackFollowsALinkAndKeepsModeAndOwner) {
  TempDir dir;
  const fs::path target = dir.path() / "shared" / "zepr.ini";
  const fs::path link = dir.path() / "app" / "UPDATE.INI";
  WriteFile(target, kMarkedFile);
  fs::create_directory(link.parent_path());
  fs::create_symlink("../shared/zepr.ini", link);
  fs::permissions(target, fs::perms(0640));
  // Only root can give the file to someone else; the owner is then kept by the write-back.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(target.c_str(), 4242, 4343), 0);
  }
  const struct stat before = Stat(target);

  ExpectPlainPasswordTwice(dir.path().string() + "/app/");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "../shared/zepr.ini");
  EXPECT_EQ(ReadFile(target), kEncipheredFile);
  const struct stat after = Stat(target);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(testing::ListFolder(target.parent_path()), std::vector<std::string>{"zepr.ini"});
  EXPECT_EQ(testing::ListFolder(link.parent_path()), std::vector<std::string>{"UPDATE.INI"});
}

TEST(UcitajIni, FileThatMayNotBeReplacedIsRewrittenInPlaceOrLeftAlone) {
  const struct {
    const char* name;
    bool folder_locked;
    fs::perms mode;
    bool enciphered;
  } cases[] = {
      // Nobody may write it, so root may not either.
      {"read-only file, writable folder", false, fs::perms(0444), false},
      {"writable file, folder without new files", true, fs::perms(0640), true},
      {"read-only file, folder without new files", true, fs::perms(0444), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path path = dir.path() / "UPDATE.INI";
    WriteFile(path, kMarkedFile);
    fs::permissions(path, c.mode);
    const struct stat before = Stat(path);
    {
      std::optional<LockedFolder> lock;
      if (c.folder_locked) {
        lock.emplace(dir.path());
        if (!lock->locked()) GTEST_SKIP() << "this process cannot lock a folder against new files";
      }
      ExpectPlainPasswordTwice(dir.folder());
    }
    EXPECT_EQ(ReadFile(path), c.enciphered ? kEncipheredFile : kMarkedFile);
    const struct stat after = Stat(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(testing::ListFolder(dir.path()), std::vector<std::string>{"UPDATE.INI"});
  }
}

TEST(UcitajIni, FileTheProcessMayNotWriteIsLeftAlone) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file that has a write permission";
  TempDir dir;
  const fs::path path = dir.path() / "UPDATE.INI";
  WriteFile(path, kMarkedFile);
  fs::permissions(path, fs::perms(0464));  // the group may write it, its owner may not
  ExpectPlainPasswordTwice(dir.folder());
  EXPECT_EQ(ReadFile(path), kMarkedFile);
  EXPECT_EQ(testing::ListFolder(dir.path()), std::vector<std::string>{"UPDATE.INI"});
}
#endif

TEST(UcitajIni, Utf8FileIsEncipheredAndStaysUtf8) {
  const std::string bom = "\xEF\xBB\xBF";
  const std::string enc = "<@ENIGMA\xC5\xA0IFRIRAJ@>";
  const std::string comment = "; \xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87 \xE2\x98\x83";  // not CP1250
  auto file = [&](const std::string& first, const std::string& second) {
    return "[PRVI]\r\nSERVER=s\r\nUSERNAME=u\r\nCRYPT=D\r\nPASSWORD=" + first +
           "\r\n[DRUGI]\r\nSERVER=s\r\nUSERNAME=u\r\nCRYPT=D\r\nPASSWORD=" + second + "\r\n" +
           comment + "\r\n";
  };
  TempDir dir;
  const fs::path path = dir.path() / "UPDATE.INI";
  // The second password enciphers to a byte CP1250 leaves undefined.
  WriteFile(path, bom + file(enc + "tajna \xC5\xA1" + enc, enc + "ftp-pass" + enc));
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE(call);
    for (auto [section, password] :
         {std::pair{"PRVI", "tajna \xC5\xA1"}, std::pair{"DRUGI", "ftp-pass"}}) {
      TConfig config;
      EXPECT_TRUE(UcitajIni(dir.folder(), section, config));
      EXPECT_EQ(config.Password, password) << section;
    }
  }
  EXPECT_EQ(ReadFile(path), bom + file(Cp1250BytesToText(Stored("tajna \x9A")),
                                       Cp1250BytesToText(Stored("ftp-pass"))));
}

TEST(UcitajIni, OfSeveralSpellingsOneFileIsReadAndWritten) {
  if (!testing::kCaseSensitiveNames) {
    GTEST_SKIP() << "names that differ only in letter case are one file on Windows";
  }
  const struct {
    const char* chosen;
    const char* other;
  } cases[] = {
      {"UPDATE.INI", "Update.ini"},
      {"Update.ini", "update.ini"},  // no exact name: the first in name order
  };
  auto file = [](const std::string& server, const std::string& password) {
    return "[ZEPR]\nSERVER=" + server + "\nUSERNAME=u\nCRYPT=D\nPASSWORD=" + password + "\n";
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chosen);
    TempDir dir;
    WriteFile(dir.path() / c.chosen, file("chosen", Marked("one")));
    const std::string other = file("other", Marked("two"));
    WriteFile(dir.path() / c.other, other);
    for (int call = 1; call <= 2; ++call) {
      SCOPED_TRACE(call);
      TConfig config;
      EXPECT_TRUE(UcitajIni(dir.folder(), "ZEPR", config));
      EXPECT_EQ(config.Server, "chosen");
      EXPECT_EQ(config.Password, "one");
    }
    EXPECT_EQ(
        ReadFile(dir.path() / c.chosen),
        "[ZEPR]\r\nSERVER=chosen\r\nUSERNAME=u\r\nCRYPT=D\r\nPASSWORD=" + Stored("one") + "\r\n");
    EXPECT_EQ(ReadFile(dir.path() / c.other), other);
    for (const char* spelling : {"UPDATE.INI", "Update.ini", "update.ini"}) {
      EXPECT_EQ(ReadIniValue(dir.folder(), spelling, "ZEPR", "SERVER", ""), "chosen") << spelling;
    }
  }
}

TEST(UcitajIni, DamagedEncipheredPasswordIsRaised) {
  TempDir dir;
  WriteFile(dir.path() / "UPDATE.INI",
            "[ZEPR]\nSERVER=s\nUSERNAME=u\nCRYPT=D\nPASSWORD=" + kDec + "abcde" + kDec + "\n");
  TConfig config;
  EXPECT_THROW(UcitajIni(dir.folder(), "ZEPR", config), UpdateError);
}

}  // namespace
}  // namespace zepr
