#include "config/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "config/enigma.h"
#include "config/ini_scripter.h"
#include "core/encoding.h"
#include "core/errors.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const std::string kEnc(TIniScripter::kEncipherMarker);
const std::string kDec(TIniScripter::kDecipherMarker);

std::string Stored(const std::string& plain) {
  TEnigma e;
  e.Add(plain);
  e.Encipher();
  return kDec + e[0] + kDec;
}

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

TEST(UcitajIni, PasswordWaitsWhileOtherValuesAreStillToBeEnciphered) {
  TempDir dir;
  WriteFile(dir.path() / "UPDATE.INI", "[ZEPR]\nSERVER=s\nUSERNAME=u\nCRYPT=D\nPASSWORD=" + kEnc +
                                           "abc" + kEnc + "\nOTHER=" + kEnc + "x" + kEnc + "\n");
  TConfig config;
  EXPECT_TRUE(UcitajIni(dir.folder(), "ZEPR", config));
  const std::string utf8_enc = "<@ENIGMA\xC5\xA0IFRIRAJ@>";
  EXPECT_EQ(config.Password, utf8_enc + "abc" + utf8_enc);  // as read: no value yet
  EXPECT_TRUE(UcitajIni(dir.folder(), "ZEPR", config));
  EXPECT_EQ(config.Password, "abc");
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
