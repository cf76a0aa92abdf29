#include "install/install_script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "core/run_log.h"
#include "core/text.h"
#include "install/install_journal.h"
#include "install/install_recovery.h"
#include "support/image_in_use.h"
#include "support/journal_bytes.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::JournalBytes;
using testing::ReadFile;
using testing::WriteFile;

class FakeProcesses : public Processes {
 public:
  platform::StartResult StartProgram(const std::vector<std::string>&, bool, bool) override {
    return {true, 0, {}};
  }
  bool IsProgramRunning(const std::string&) override { return false; }
  void StopProgram(const std::string& name) override { stopped.push_back(name); }
  std::vector<std::string> stopped;
};

class InstallDatoTest : public ::testing::Test {
 protected:
  // A file of the unpacked archive tree "Update/<tree>/".
  void Unpacked(const std::string& tree, const std::string& relative, const std::string& bytes) {
    WriteFile(app_ + "Update/" + tree + "/" + relative, bytes);
  }
  // The script as Windows tools write it: CP1250 bytes, CR LF.
  void Script(const std::string& tree, const std::string& text) {
    Unpacked(tree, "Install.Ini", ReplaceAll(text, "\n", "\r\n"));
  }
  // after_file is called with the count of files in place so far, as the run log names each:
  // an exception out of it stops the install there as a kill would.
  InstallResult Install(const std::vector<std::string>& names,
                        const std::function<void(size_t)>& after_file = {}) {
    size_t installed = 0;
    runlog::SetSink([&](std::string_view line) {
      if (after_file &&
          (line.starts_with("zamijenjena datoteka: ") || line.starts_with("dodana datoteka: "))) {
        after_file(++installed);
      }
    });
    const struct Unset {
      ~Unset() { runlog::SetSink({}); }
    } unset;
    return InstallDato(names, app_, "Demo", processes_);
  }
  std::string Installed(const std::string& relative) { return ReadFile(app_ + relative); }
  bool Exists(const std::string& relative) { return fs::exists(app_ + relative); }

  testing::TempDir dir_;
  std::string app_ = dir_.folder() + "app/";
  std::string outside_ = dir_.folder() + "outside/";
  FakeProcesses processes_;
};

TEST_F(InstallDatoTest, StopsTheApplicationEvenForAnEmptyList) {
  Install({});
  EXPECT_EQ(processes_.stopped, (std::vector<std::string>{"Demo.EXE", "Demo.exe"}));
}

TEST(InstallDato, KillSectionsAlwaysActOnTheValuesOfKill) {
  struct Case {
    const char* script;
    std::vector<std::string> stopped_after_the_application;
  };
  const Case cases[] = {
      {"[KILL2]\n1=Never.exe\n[KILL]\n1=Pomocni.exe\n2=Alat.exe\n[KILLER]\n1=Never.exe\n",
       {"Pomocni.exe", "Alat.exe", "Pomocni.exe", "Alat.exe", "Pomocni.exe", "Alat.exe"}},
      // Only the first four characters in exact case make the section act.
      {"[kill]\n1=Lower.exe\n", {}},
      {"[Kill2]\n1=Never.exe\n", {}},
      // Without a section KILL there are no values to act on.
      {"[KILL_X]\n1=Never.exe\n", {}},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    WriteFile(dir.path() / "Update" / "Update" / "Install.Ini", c.script);
    FakeProcesses processes;
    InstallDato({"Update.zip"}, dir.folder(), "Demo", processes);
    std::vector<std::string> expected = {"Demo.EXE", "Demo.exe"};
    expected.insert(expected.end(), c.stopped_after_the_application.begin(),
                    c.stopped_after_the_application.end());
    EXPECT_EQ(processes.stopped, expected) << c.script;
  }
}

TEST_F(InstallDatoTest, DirSectionsByTheLengthOfTheirName) {
  fs::create_directories(app_);
  Script("Update",
         "[DIR_]\n1=" + outside_ +
             "\n2=Relativno\n"
             "[DIR_1]\n1=Izvjestaji\n2=Dva\\Razine\n"
             "[DIR_X]\n1=Izvjestaji\\Mjesecni\n"
             "[DIR_\x8A]\n1=Slovo\n"  // one Croatian letter is one character
             "[DIR_12]\n1=Nikad\n"
             "[Dir_1]\n1=Ignorirano\n");
  Install({"Update.zip"});
  EXPECT_TRUE(fs::is_directory(outside_));
  for (const char* made : {"Relativno", "Izvjestaji", "Izvjestaji/Mjesecni", "Slovo"}) {
    EXPECT_TRUE(fs::is_directory(app_ + made)) << made;
  }
  for (const char* not_made : {"Dva", "Nikad", "Ignorirano"}) {
    EXPECT_FALSE(Exists(not_made)) << not_made;
  }
}

TEST_F(InstallDatoTest, CopySectionsPickTargetsAndVariants) {
  fs::create_directories(app_ + "Sub");
  fs::create_directories(outside_);
  Unpacked("Update", "Racun.rpt#A", "variant A");
  Unpacked("Update", "Racun.rpt#B", "variant B");
  Unpacked("Update", "Plain.rpt", "plain");
  Unpacked("Update", "Lib.dll", "lib");
  Unpacked("Update", "NODOT", "no dot");
  Unpacked("Update", "Modul/Cfg.xml", "cfg");
  // A read-only file of the application is replaced by a script copy.
  WriteFile(app_ + "NODOT", "old");
  fs::permissions(app_ + "NODOT", fs::perms::owner_read);
  Script("Update",
         "[DIR_1]\n1=Izvjestaji\n2=Modul\n"
         "[CPY_.]\n1=Missing.dll\n2=NODOT\n3=Modul\\Cfg.xml\n4=Racun.rpt#A\n"
         "[CPY_.Izvjestaji\\]\n1=Racun.rpt#B\n2=Plain.rpt\n"
         "[CPY_.\\Sub\\]\n1=Lib.dll\n"
         "[CPY_.NoFolder\\]\n1=Lib.dll\n"
         "[CPY_" +
             outside_ +
             "Alati\\]\n1=Racun.rpt#A\n"
             "[CPY_]\n1=Lib.dll\n");
  Install({"Update.zip"});

  EXPECT_EQ(Installed("NODOT"), "no dot");
  // The replaced file's mode stays, read-only included.
  EXPECT_EQ(fs::status(app_ + "NODOT").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(Installed("Modul/Cfg.xml"), "cfg");
  EXPECT_EQ(Installed("Racun.rpt#A"), "variant A");  // "#" cut only in the form with a target
  EXPECT_EQ(Installed("Izvjestaji/Racun.rpt"), "variant B");
  EXPECT_EQ(Installed("Izvjestaji/Plain.rpt"), "plain");
  EXPECT_EQ(Installed("Sub/Lib.dll"), "lib");
  EXPECT_FALSE(Exists("NoFolder"));  // a folder this installation lacks: passed over, as always
  EXPECT_EQ(ReadFile(outside_ + "Alati/Racun.rpt#A"), "variant A");
}

TEST_F(InstallDatoTest, ExampleScript) {
  Unpacked("Update", "Racun.rpt#A", "A");
  Unpacked("Update", "Racun.rpt#B", "B");
  Unpacked("Update", "Pomocni.exe", "helper");
  fs::create_directories(outside_);
  Script("Update",
         "[KILL]\n1=Pomocni.exe\n"
         "[DIR_1]\n1=Izvjestaji\n"
         "[CPY_.Izvjestaji\\]\n1=Racun.rpt#B\n"
         "[CPY_" +
             outside_ + "Alati\\]\n1=Pomocni.exe\n");
  Install({"Update.zip"});
  EXPECT_EQ(processes_.stopped, (std::vector<std::string>{"Demo.EXE", "Demo.exe", "Pomocni.exe"}));
  EXPECT_EQ(Installed("Izvjestaji/Racun.rpt"), "B");
  EXPECT_EQ(ReadFile(outside_ + "Alati/Pomocni.exe"), "helper");
}

TEST_F(InstallDatoTest, MirrorInstallsNamesWithADotBothTreesAfterEveryScript) {
  Unpacked("Update", "Demo.exe", "new exe");
  Unpacked("Update", "README", "not mirrored");
  Unpacked("Update", "sub/install.INI", "not mirrored");
  Unpacked("Update", "sub/deep/x.dll", "x");
  Unpacked("Update", "Rep.v2/r.rpt", "r");
  Unpacked("Update", "Moduli/Update/Update/m.dll", "m");
  Unpacked("Update", "Update/UpdateBaze/0001.sql", "select 1");
  Unpacked("Update", "locked.cfg", "new");
  Unpacked("UpdateSpec", "posebno.dll", "posebno");
  Script("Update", "[DIR_1]\n1=Nothing\n");
  const std::string script = app_ + "Update/Update/Update/UpdateBaze/0001.sql";
  fs::last_write_time(script, fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));
  const auto stamp = fs::last_write_time(script);  // as kept: whole seconds on Windows
  WriteFile(app_ + "locked.cfg", "local");
  fs::permissions(app_ + "locked.cfg", fs::perms::owner_read);

  Install({"Update.zip"});

  EXPECT_EQ(Installed("Demo.exe"), "new exe");
  EXPECT_EQ(Installed("sub/deep/x.dll"), "x");
  EXPECT_EQ(Installed("Rep.v2/r.rpt"), "r");
  // Only the leading working-folder part goes.
  EXPECT_EQ(Installed("Moduli/Update/Update/m.dll"), "m");
  EXPECT_FALSE(Exists("Moduli/m.dll"));
  // Scripts for the database arrive with their own dates.
  EXPECT_EQ(Installed("Update/UpdateBaze/0001.sql"), "select 1");
  EXPECT_EQ(fs::last_write_time(app_ + "Update/UpdateBaze/0001.sql"), stamp);
  EXPECT_EQ(Installed("posebno.dll"), "posebno");
  EXPECT_FALSE(Exists("README"));
  EXPECT_FALSE(Exists("Install.Ini"));
  EXPECT_FALSE(Exists("sub/install.INI"));
  EXPECT_EQ(Installed("locked.cfg"), "local");
  // Nothing half-written or temporary is left beside the installed files.
  for (const auto& entry : fs::directory_iterator(app_)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
  }
}

// Archives and scripts are made on Windows, where names differ in letter case only in
// appearance: what exists in another spelling is replaced, not doubled.
TEST_F(InstallDatoTest, NamesInAnotherLetterCaseAreTheSameFile) {
  WriteFile(app_ + "Demo.exe", "old exe");
  WriteFile(app_ + "Izvjestaji/Racun.rpt", "old report");
  WriteFile(app_ + "Alati/Pomocni.exe", "old helper");
  // Unpacked from "UPDATE.ZIP" of a download list.
  WriteFile(app_ + "Update/UPDATE/DEMO.EXE", "new exe");
  WriteFile(app_ + "Update/UPDATE/SUB/x.dll", "x");
  WriteFile(app_ + "Update/UPDATE/Racun.rpt#B", "new report");
  WriteFile(app_ + "Update/UPDATE/Pomocni.EXE", "new helper");
  WriteFile(app_ + "Update/UPDATE/install.ini",
            "[DIR_1]\r\n1=sub\r\n"
            "[CPY_.IZVJESTAJI\\]\r\n1=racun.RPT#B\r\n"
            "[CPY_" +
                app_ + "ALATI/]\r\n1=pomocni.exe\r\n");
  fs::create_directories(app_ + "Sub");

  Install({"UPDATE.ZIP"});

  const struct {
    const char* path;
    const char* bytes;
  } installed[] = {
      {"Demo.exe", "new exe"},
      {"Sub/x.dll", "x"},
      {"Izvjestaji/Racun.rpt", "new report"},
      {"Alati/Pomocni.exe", "new helper"},
  };
  for (const auto& file : installed) EXPECT_EQ(Installed(file.path), file.bytes) << file.path;
  if (testing::kCaseSensitiveNames) {
    for (const char* doubled : {"DEMO.EXE", "SUB", "sub", "IZVJESTAJI", "ALATI"}) {
      EXPECT_FALSE(Exists(doubled)) << doubled;
    }
  }
  // One entry per name, in whichever spelling the system kept.
  const auto folded = [](const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& name : testing::ListFolder(folder)) names.push_back(AsciiUpper(name));
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(folded(app_),
            (std::vector<std::string>{"ALATI", "DEMO.EXE", "IZVJESTAJI", "POMOCNI.EXE",
                                      "RACUN.RPT#B", "SUB", "UPDATE"}));
  EXPECT_EQ(folded(app_ + "Sub"), std::vector<std::string>{"X.DLL"});
}

TEST_F(InstallDatoTest, MissingTreesAndScriptsInstallNothing) {
  fs::create_directories(app_);
  Install({"Update.zip", "UpdateSpec.zip", "x"});
  EXPECT_EQ(processes_.stopped.size(), 2u);
  EXPECT_EQ(std::distance(fs::directory_iterator(app_), fs::directory_iterator()), 0);
}

TEST(UnpackFolderName, IsTheNameLessItsLastFourCharacters) {
  const std::pair<const char*, const char*> cases[] = {{"Update.zip", "Update"},
                                                       {"Izvještaj.zip", "Izvještaj"},
                                                       {"Baza.čćž", "Baza"},
                                                       {"abcd", ""},
                                                       {"ab", ""},
                                                       {"", ""}};
  for (const auto& [name, folder] : cases) EXPECT_EQ(UnpackFolderName(name), folder) << name;
}

// ---- all or nothing ----------------------------------------------------------------------

struct Killed {};

// An update that replaces files (one of them by the script and the mirror both), adds files
// and folders, over an application with files of its own.
class InstallTransactionTest : public InstallDatoTest {
 protected:
  void SetUp() override {
    WriteFile(app_ + "Demo.exe", "old exe");
    fs::permissions(app_ + "Demo.exe", fs::perms(0755));
    WriteFile(app_ + "Rep/Racun.rpt", "old report");
    WriteFile(app_ + "Local.ini", "kept");
    Unpacked("Update", "Demo.exe", "new exe");
    Unpacked("Update", "Rep/Racun.rpt", "new report");
    Unpacked("Update", "Nova/Deep/x.dll", "x");
    Unpacked("Update", "Nova/y.dll", "y");
    Unpacked("Update", "Racun.rpt#B", "variant B");
    Script("Update", "[DIR_1]\n1=Izvjestaji\n[CPY_.Rep\\]\n1=Racun.rpt#B\n");
    fs::permissions(app_ + "Update/Update/Demo.exe", fs::perms(0644));
  }
  std::string Journal() { return app_ + "Update/" + InstallJournal::kJournalName; }
  std::string Backup() { return app_ + "Update/" + InstallJournal::kBackupName; }
};

TEST_F(InstallTransactionTest, CompletedInstallKeepsModesAndLeavesNoJournalOrBackup) {
  const auto before = testing::Tree(app_ + "Update");
  const InstallResult result = Install({"Update.zip"});
  EXPECT_TRUE(result.ok) << result.file << ": " << result.reason;
  EXPECT_EQ(Installed("Demo.exe"), "new exe");
  if (testing::kPosixModes) {
    EXPECT_EQ(fs::status(app_ + "Demo.exe").permissions(), fs::perms(0755));
  } else {
    EXPECT_NE(fs::status(app_ + "Demo.exe").permissions() & fs::perms::owner_write,
              fs::perms::none);
  }
  EXPECT_EQ(Installed("Rep/Racun.rpt"), "new report");  // the mirror comes after the script
  EXPECT_EQ(Installed("Nova/Deep/x.dll"), "x");
  EXPECT_TRUE(fs::is_directory(app_ + "Izvjestaji"));
  EXPECT_EQ(testing::Tree(app_ + "Update"), before);
}

TEST_F(InstallTransactionTest, FailedInstallLeavesTheApplicationFolderAsItWas) {
  struct Case {
    const char* name;
    std::function<void(const std::string& app)> arrange;
    const char* file;
    const char* reason;
  };
  const Case cases[] = {
      {"a file stands where the mirror needs a folder",
       [](const std::string& app) {
         WriteFile(app + "Update/Update/Zz/b.txt", "b");
         WriteFile(app + "Zz", "a file");
       },
       "Zz/b.txt", "Not a directory"},
      {"a folder stands where the mirror writes a file",
       [](const std::string& app) {
         WriteFile(app + "Update/Update/Zz.cfg", "c");
         fs::create_directories(app + "Zz.cfg");
       },
       "Zz.cfg", "Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(app_);
    SetUp();
    // The stop puts the script's copy in place before the mirror meets the failure.
    Script("Update", "[DIR_1]\n1=Izvjestaji\n[CPY_.Rep\\]\n1=Racun.rpt#B\n[KILL]\n1=Pomocni.exe\n");
    c.arrange(app_);
    const auto before = testing::Tree(app_);
    size_t installed = 0;
    const InstallResult result = Install({"Update.zip"}, [&](size_t n) { installed = n; });
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.file, app_ + c.file);
    EXPECT_EQ(result.reason, c.reason);
    EXPECT_GE(installed, 1u);  // files were replaced before the failure, and put back
    EXPECT_EQ(testing::Tree(app_), before);
  }
}

// A kill at any point (here an exception out of the run log): the next start puts every file
// back, however often it is itself interrupted.
TEST_F(InstallTransactionTest, RecoveryAfterAnInterruptedInstallRestoresTheOldFiles) {
  const auto before = testing::Tree(app_);
  size_t total = 0;
  ASSERT_TRUE(Install({"Update.zip"}, [&](size_t n) { total = n; }).ok);
  ASSERT_EQ(total, 6u);
  for (size_t kill_after : {size_t{0}, size_t{1}, total / 2, total - 1, total}) {
    SCOPED_TRACE(kill_after);
    fs::remove_all(app_);
    SetUp();
    if (kill_after == 0) {
      // Killed with the journal begun and nothing changed yet.
      std::error_code error;
      auto journal = InstallJournal::Take(app_ + "Update/", true, error);
      ASSERT_TRUE(journal) << error.message();
      ASSERT_FALSE(journal->Begin());
    } else {
      EXPECT_THROW(Install({"Update.zip"},
                           [&](size_t n) {
                             if (n == kill_after) throw Killed();
                           }),
                   Killed);
    }
    EXPECT_TRUE(fs::exists(Journal()));
    RecoverInterruptedInstall(app_);
    EXPECT_EQ(testing::Tree(app_), before);
    RecoverInterruptedInstall(app_);
    EXPECT_EQ(testing::Tree(app_), before);
  }
}

TEST_F(InstallTransactionTest, TargetWrittenTwiceKeepsTheOriginalInTheBackup) {
  EXPECT_THROW(Install({"Update.zip"},
                       [&](size_t n) {
                         if (n == 6) throw Killed();  // the last file, before the end
                       }),
               Killed);
  EXPECT_EQ(Installed("Rep/Racun.rpt"), "new report");
  std::vector<std::string> backups;
  for (const auto& entry : fs::directory_iterator(Backup())) backups.push_back(ReadFile(entry));
  std::sort(backups.begin(), backups.end());
  EXPECT_EQ(backups, (std::vector<std::string>{"old exe", "old report"}));
  RecoverInterruptedInstall(app_);
  EXPECT_EQ(Installed("Rep/Racun.rpt"), "old report");
}

// Records written ahead of their changes (a batch flushed, then a kill) undo to nothing.
TEST_F(InstallTransactionTest, RecordsOfChangesNeverMadeAreHarmless) {
  const auto before = testing::Tree(app_);
  {
    std::error_code error;
    auto journal = InstallJournal::Take(app_ + "Update/", true, error);
    ASSERT_TRUE(journal) << error.message();
    ASSERT_FALSE(journal->Begin());
    using Kind = JournalRecord::Kind;
    journal->Add({Kind::kFolder, app_ + "Nova", "", ""});
    journal->Add({Kind::kNewFile, app_ + "Nova/y.dll", "", app_ + "Nova/.y.dll.part1"});
    journal->Add({Kind::kReplaced, app_ + "Demo.exe", "b1", app_ + ".Demo.exe.part1"});
    journal->Add({Kind::kReplaced, app_ + "Local.ini", "b2", app_ + ".Local.ini.part1"});
    ASSERT_FALSE(journal->Flush());
    // Killed with the last file moved to the backup but the new one not yet in its place.
    fs::rename(app_ + "Local.ini", journal->BackupPath("b2"));
  }
  RecoverInterruptedInstall(app_);
  EXPECT_EQ(testing::Tree(app_), before);
}

TEST_F(InstallTransactionTest, RecoveryLeavesAnInstallInProgressAlone) {
  EXPECT_THROW(Install({"Update.zip"},
                       [&](size_t n) {
                         if (n == 1) throw Killed();
                       }),
               Killed);
  const auto interrupted = testing::Tree(app_);
  {
    std::error_code error;
    auto holder = InstallJournal::Take(app_ + "Update/", false, error);
    ASSERT_TRUE(holder);
    RecoverInterruptedInstall(app_);
    EXPECT_EQ(testing::Tree(app_), interrupted);
  }
  RecoverInterruptedInstall(app_);
  EXPECT_EQ(Installed("Demo.exe"), "old exe");
  EXPECT_FALSE(fs::exists(Journal()));
}

// A backup left without its journal (a kill after the journal was removed) is not kept.
TEST_F(InstallTransactionTest, LeftoverBackupIsRemoved) {
  WriteFile(Backup() + "/b1", "stale");
  RecoverInterruptedInstall(app_);
  EXPECT_FALSE(fs::exists(Backup()));
  EXPECT_FALSE(fs::exists(Journal()));
  EXPECT_EQ(Installed("Demo.exe"), "old exe");
}

// Old files still in use when the install ends: the updater that replaces itself, a library that
// a program which was not stopped has loaded. Windows lets them be renamed into the backup folder
// but not removed from there. The install counts all the same, and so does the next one while
// they are still in use; a start finds nothing to undo or to say, and once they are free a later
// start removes them.
TEST_F(InstallTransactionTest, OldFilesStillInUseAreLeftForALaterStart) {
  for (const std::string name : {"ZEPRUpdate.exe", "Lib/Modul.dll"}) {
    fs::create_directories(fs::path(app_ + name).parent_path());
    fs::copy_file(testing::OwnExecutable(), app_ + name);
    Unpacked("Update", name, "new " + name);
  }
  const auto before = testing::Tree(app_ + "Update");
  {
    testing::ImageInUse updater(app_ + "ZEPRUpdate.exe"), library(app_ + "Lib/Modul.dll");
    ASSERT_TRUE(updater.mapped() && library.mapped());
    for (int install = 1; install <= 2; ++install) {
      SCOPED_TRACE(install);
      const InstallResult result = Install({"Update.zip"});
      EXPECT_TRUE(result.ok) << result.file << ": " << result.reason;
      EXPECT_EQ(Installed("ZEPRUpdate.exe"), "new ZEPRUpdate.exe");
      EXPECT_EQ(Installed("Lib/Modul.dll"), "new Lib/Modul.dll");
      EXPECT_FALSE(fs::exists(Journal()));
      EXPECT_FALSE(fs::exists(Backup()));
      EXPECT_FALSE(InterruptedInstallLeft(app_));
      EXPECT_FALSE(RecoverInterruptedInstall(app_).found);
    }
    RemoveInstallLeftovers(app_);
    if (testing::kWindows) {
      EXPECT_NE(testing::Tree(app_ + "Update"), before);
    }
  }
  RemoveInstallLeftovers(app_);
  EXPECT_EQ(testing::Tree(app_ + "Update"), before);
}

// An install that replaces the updater and adds a library, and fails or is killed afterwards,
// with old or new files in use: the old updater still running the install, or the new updater
// and a program that loaded the new library running the next start's undo. Windows renames such
// files but neither removes nor replaces them. Every old file is put back all the same, by the
// install itself or by the next start, and nothing is left to undo; new files in use wait aside
// for a later start.
TEST_F(InstallTransactionTest, FilesInUseDoNotStopAnUndo) {
  const std::string old_updater = ReadFile(testing::OwnExecutable());
  const std::string new_updater = old_updater + "nova verzija";  // runs all the same
  const auto updater = [&] {
    const std::string now = ReadFile(app_ + "ZEPRUpdate.exe");
    return now == old_updater ? "old" : now == new_updater ? "new" : "other";
  };
  const struct {
    const char* name;
    bool killed;
    bool new_in_use;  // else the old updater is
  } cases[] = {
      {"the install fails", false, false},
      {"the install is killed", true, false},
      {"the install is killed, the new files are in use at the next start", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(app_);
    SetUp();
    WriteFile(app_ + "ZEPRUpdate.exe", old_updater);
    Unpacked("Update", "ZEPRUpdate.exe", new_updater);
    Unpacked("Update", "Novi.dll", new_updater);
    // The stop puts the script's copies in place before the mirror fails.
    Script("Update", "[CPY_.]\n1=ZEPRUpdate.exe\n2=Novi.dll\n[KILL]\n1=Pomocni.exe\n");
    Unpacked("Update", "Zz.cfg", "c");
    fs::create_directories(app_ + "Zz.cfg");
    const auto before = testing::Tree(app_);
    std::optional<testing::ImageInUse> running, loaded;
    if (!c.new_in_use) running.emplace(app_ + "ZEPRUpdate.exe");
    size_t installed = 0;
    const auto after_file = [&](size_t n) {
      installed = n;
      if (n == 2 && c.killed) throw Killed();
    };
    if (c.killed) {
      EXPECT_THROW(Install({"Update.zip"}, after_file), Killed);
      EXPECT_EQ(updater(), "new");
      if (c.new_in_use) {
        running.emplace(app_ + "ZEPRUpdate.exe");
        loaded.emplace(app_ + "Novi.dll");
      }
      const RecoveryResult result = RecoverInterruptedInstall(app_);
      EXPECT_TRUE(result.found);
      EXPECT_TRUE(result.complete) << result.reason;
    } else {
      const InstallResult result = Install({"Update.zip"}, after_file);
      EXPECT_FALSE(result.ok);
      EXPECT_EQ(result.kept_in, "");
    }
    EXPECT_GE(installed, 2u);
    EXPECT_TRUE(running->mapped());
    EXPECT_EQ(updater(), "old");
    EXPECT_FALSE(Exists("Novi.dll"));
    EXPECT_FALSE(InterruptedInstallLeft(app_));
    running.reset();
    loaded.reset();
    RemoveInstallLeftovers(app_);
    EXPECT_EQ(testing::Tree(app_), before);
  }
}

// ---- a journal that cannot be trusted ------------------------------------------------------

// Records that name anything outside the application folder, or a backup outside the backup
// folder, are never acted on: the start says so, and nothing outside changes.
TEST_F(InstallTransactionTest, RecordsNamingPathsOutsideAreRefused) {
  using Kind = JournalRecord::Kind;
  WriteFile(outside_ + "victim.txt", "outside");
  WriteFile(outside_ + "other.txt", "other");
  fs::create_directories(outside_ + "Empty");
  WriteFile(Backup() + "/b1", "backup");
  WriteFile(Journal(), JournalBytes({
                           {Kind::kNewFile, outside_ + "victim.txt", "", ""},
                           {Kind::kFolder, outside_ + "Empty", "", ""},
                           {Kind::kReplaced, outside_ + "other.txt", "b1", ""},
                           {Kind::kReplaced, app_ + "Local.ini", "../../../outside/victim.txt", ""},
                           {Kind::kNewFile, app_ + "../outside/victim.txt", "", ""},
                           {Kind::kNewFile, app_ + "Local.ini", "", outside_ + "victim.txt"},
                       }));
  const RecoveryResult result = RecoverInterruptedInstall(app_);
  EXPECT_TRUE(result.found);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.reason,
            "zapis navodi putanju izvan mape aplikacije: " + outside_ + "victim.txt");
  // The backup no trusted record places stays, with the journal, for a later start.
  EXPECT_EQ(result.kept_in, Backup());
  EXPECT_EQ(ReadFile(outside_ + "victim.txt"), "outside");
  EXPECT_EQ(ReadFile(outside_ + "other.txt"), "other");
  EXPECT_TRUE(fs::is_directory(outside_ + "Empty"));
  EXPECT_EQ(Installed("Local.ini"), "kept");
  EXPECT_EQ(ReadFile(Backup() + "/b1"), "backup");
  // An install cannot begin over it.
  const InstallResult install = Install({"Update.zip"});
  EXPECT_FALSE(install.ok);
  EXPECT_EQ(install.file, Journal());
  EXPECT_TRUE(install.reason.starts_with(kEarlierInstallNotUndoneText)) << install.reason;
  EXPECT_EQ(Installed("Demo.exe"), "old exe");
}

// One flipped byte in the middle of the journal: every old file that can be proven is put
// back, the one whose record is damaged stays in the backup folder, and nothing is lost.
TEST_F(InstallTransactionTest, DamagedJournalLosesNoOldFile) {
  std::map<std::string, std::string> old_files;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "Lib/m" + std::to_string(i) + ".dll";
    WriteFile(app_ + name, "old " + std::to_string(i));
    Unpacked("Update", name, "new " + std::to_string(i));
    old_files[name] = "old " + std::to_string(i);
  }
  old_files["Demo.exe"] = "old exe";
  old_files["Rep/Racun.rpt"] = "old report";
  EXPECT_THROW(Install({"Update.zip"},
                       [&](size_t n) {
                         if (n == 30) throw Killed();
                       }),
               Killed);
  std::string journal = ReadFile(Journal());
  journal[journal.size() / 2] ^= 0x20;
  WriteFile(Journal(), journal);

  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "first start" : "second start");
    const RecoveryResult result = RecoverInterruptedInstall(app_);
    EXPECT_TRUE(result.found);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(result.reason, "zapis instalacije je oštećen");
    EXPECT_EQ(result.kept_in, Backup());
    std::multiset<std::string> kept, expected;
    for (const auto& [name, contents] : old_files) {
      expected.insert(contents);
      const std::string now = ReadFile(app_ + name);
      if (now == contents) kept.insert(now);
    }
    for (const auto& entry : fs::directory_iterator(Backup())) kept.insert(ReadFile(entry.path()));
    EXPECT_EQ(kept, expected);
  }
}

// A write cut short by a power loss ends the journal; it is no damage.
TEST_F(InstallTransactionTest, JournalCutShortIsNoDamage) {
  const auto before = testing::Tree(app_);
  EXPECT_THROW(Install({"Update.zip"},
                       [&](size_t n) {
                         if (n == 1) throw Killed();
                       }),
               Killed);
  const std::string journal = ReadFile(Journal());
  WriteFile(Journal(), journal.substr(0, journal.size() - 3));
  const RecoveryResult result = RecoverInterruptedInstall(app_);
  EXPECT_TRUE(result.found);
  EXPECT_TRUE(result.complete) << result.reason;
  EXPECT_EQ(testing::Tree(app_), before);
}

// Whatever stands at the journal's or the backup folder's name is never followed: a link goes,
// what it leads to stays; a file there does not stop the next install.
TEST_F(InstallTransactionTest, LinksAndFilesAtTheJournalsNamesAreRemovedNotFollowed) {
  if (testing::kWindows) GTEST_SKIP() << "links need a privilege on Windows";
  WriteFile(outside_ + "Folder/precious.txt", "precious");
  WriteFile(outside_ + "journal.txt", "not a journal");
  fs::create_directory_symlink(outside_ + "Folder", Backup());
  fs::create_symlink(outside_ + "journal.txt", Journal());
  RecoverInterruptedInstall(app_);
  EXPECT_TRUE(Install({"Update.zip"}).ok);
  EXPECT_EQ(ReadFile(outside_ + "Folder/precious.txt"), "precious");
  EXPECT_EQ(ReadFile(outside_ + "journal.txt"), "not a journal");
  EXPECT_EQ(Installed("Demo.exe"), "new exe");

  WriteFile(Backup(), "a file");
  EXPECT_TRUE(Install({"Update.zip"}).ok);
  EXPECT_FALSE(fs::exists(Backup()));
}

// Relative forms of the script stay inside the application folder.
TEST_F(InstallDatoTest, RelativeScriptPathsThatLeaveTheFolderFailTheInstall) {
  Unpacked("Update", "Lib.dll", "lib");
  WriteFile(app_ + "Demo.exe", "old exe");
  for (const char* script : {"[DIR_1]\n1=..\\outside\n", "[CPY_...\\]\n1=Lib.dll\n",
                             "[CPY_...\\outside\\]\n1=Lib.dll\n"}) {
    SCOPED_TRACE(script);
    Script("Update", script);
    const InstallResult result = Install({"Update.zip"});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reason, "putanja vodi izvan mape aplikacije");
    EXPECT_FALSE(fs::exists(outside_));
    EXPECT_EQ(Installed("Demo.exe"), "old exe");
  }
}

}  // namespace
}  // namespace zepr
