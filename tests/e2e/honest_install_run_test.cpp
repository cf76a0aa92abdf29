// Installs that must never leave the application broken or report a failure as success:
// damaged archives, a failed install, file modes, and output nobody reads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "e2e/e2e_sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::AppSandbox;
using testing::HasLine;
using testing::kClient;
using testing::ReadFile;
using testing::WriteFile;
using testing::ZipEntry;

constexpr const char* kMissingText =
    "dialog: Greška!: Neuspješno raspakiravanje ZIP datoteka sa foldera \"Update\\\"\\rPored "
    "aplikacije u folderu \"Update\" mora postojati datoteka \"UPDATE.ZIP\" sa update-om";
constexpr const char* kNewText = "nova verzija uputa";

// As a Windows zipper writes it: no Unix modes, so nothing says the program is executable.
ZipEntry WindowsEntry(const std::string& name, const std::string& data) {
  return {name, data, false, 0};
}

std::string UpdateArchive(const AppSandbox& box) {
  return testing::BuildZip(
      {WindowsEntry(box.app() + ".exe", ReadFile(testing::BuildDir() / "bin" / "Demo.exe")),
       WindowsEntry("Citaj.txt", kNewText)});
}

// Sets the "encrypted" flag of every entry, in the local and the central headers.
std::string Encrypted(std::string zip) {
  for (const auto& [signature, flags_at] :
       {std::pair<std::string, size_t>{"PK\x03\x04", 6}, {"PK\x01\x02", 8}}) {
    for (size_t at = zip.find(signature); at != std::string::npos;
         at = zip.find(signature, at + 4)) {
      zip[at + flags_at] = static_cast<char>(zip[at + flags_at] | 1);
    }
  }
  return zip;
}

// One byte of the stored text changed, so its CRC no longer fits.
std::string FlippedDataByte(std::string zip) {
  zip[zip.find(kNewText)] ^= 0x20;
  return zip;
}

std::string Truncated(std::string zip) { return zip.substr(0, zip.size() / 2); }

// A damaged main archive is not installed: the run takes the path of a missing one and ends
// with the status of a damaged archive. Files of an earlier unpack stay as they were.
TEST(HonestInstall, DamagedArchiveInstallsNothing) {
  const struct {
    const char* name;
    std::string (*damage)(std::string);
  } cases[] = {{"truncated", Truncated},
               {"flipped data byte", FlippedDataByte},
               {"encrypted entry", Encrypted}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AppSandbox box;
    WriteFile(box.path() / "Citaj.txt", "stare upute");
    WriteFile(box.path() / "Update" / "Update" / "Stari.txt", "od prije");
    WriteFile(box.path() / "Update" / "Update.zip", c.damage(UpdateArchive(box)));
    const auto before = testing::Tree(box.path());

    const auto run = box.Run(kClient, "8", {"x", "0"});
    EXPECT_EQ(run.exit_code, 3) << run.output;
    EXPECT_TRUE(HasLine(run.output, "status: Arhiva je oštećena: Update.zip")) << run.output;
    EXPECT_TRUE(HasLine(run.output, kMissingText)) << run.output;
    EXPECT_FALSE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
    EXPECT_EQ(testing::Tree(box.path()), before);
    EXPECT_TRUE(box.Starts().empty());
  }
}

// A damaged special archive is passed over; the main one installs all the same.
TEST(HonestInstall, DamagedSpecialArchiveIsSkipped) {
  AppSandbox box;
  WriteFile(box.path() / "Update" / "Update.zip", UpdateArchive(box));
  WriteFile(box.path() / "Update" / "UpdateSpec.zip",
            Truncated(testing::BuildZip({WindowsEntry("Posebno.txt", "posebno")})));
  const auto run = box.Run(kClient, "8", {"x", "1"});
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), kNewText);
  EXPECT_FALSE(fs::exists(box.path() / "Posebno.txt"));
  EXPECT_TRUE(HasLine(run.output, "status: Arhiva je oštećena: UpdateSpec.zip")) << run.output;
  EXPECT_TRUE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
  EXPECT_EQ(run.exit_code, 3);
}

// A file that cannot be installed (a plain file stands where the archive has a folder) rolls
// the whole install back: every file of the application folder is as it was.
TEST(HonestInstall, FailedInstallLeavesTheApplicationFolderAsItWas) {
  AppSandbox box;
  WriteFile(box.path() / "Citaj.txt", "stare upute");
  WriteFile(box.path() / "Zapisi", "a file, not a folder");
  WriteFile(
      box.path() / "Update" / "Update.zip",
      testing::BuildZip({WindowsEntry(box.app() + ".exe", "new program"),
                         WindowsEntry("Citaj.txt", kNewText), WindowsEntry("Novi.txt", "new file"),
                         WindowsEntry("Zapisi/dnevnik.txt", "x")}));
  auto application_folder = [&] {
    auto tree = testing::Tree(box.path());
    std::erase_if(tree, [](const auto& entry) { return entry.first.starts_with("Update/"); });
    return tree;
  };
  const auto before = application_folder();

  const auto run = box.Run(kClient, "8", {"x", "0"});
  EXPECT_EQ(run.exit_code, 4) << run.output;
  EXPECT_FALSE(
      testing::LinesStartingWith(run.output, "dialog: Greška!: Instalacija nije uspjela").empty())
      << run.output;
  EXPECT_FALSE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
  EXPECT_EQ(application_folder(), before);
  EXPECT_TRUE(box.Starts().empty());
}

// Archives from Windows carry no modes: the replaced program keeps its own, and the restart
// after the update really starts it.
TEST(HonestInstall, UpdatedProgramStaysExecutableAndIsStarted) {
  AppSandbox box;
  fs::permissions(box.app_exe(), fs::perms(0755));
  WriteFile(box.path() / "Update" / "Update.zip", UpdateArchive(box));
  const auto run = box.Run(kClient, "8", {"x", "0"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), kNewText);
  struct stat st {};
  ASSERT_EQ(stat(box.app_exe().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(box.AwaitStarts(1), Strings{""});
}

// A reader that stops after the first line, or no output at all, must not stop the install.
TEST(HonestInstall, OutputNobodyReadsDoesNotStopTheRun) {
  for (const char* shell :
       {"\"$@\" | head -1 >/dev/null; exit \"${PIPESTATUS[0]}\"", "\"$@\" >&- 2>&-"}) {
    SCOPED_TRACE(shell);
    AppSandbox box;
    WriteFile(box.path() / "Update" / "Update.zip", UpdateArchive(box));
    const auto run =
        testing::RunProgram({"/bin/bash", "-c", shell, "run", box.updater().string(),
                             testing::kTitle, testing::kSection, box.app(), kClient, "8", "x", "1"},
                            {"DISPLAY="}, box.path());
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), kNewText);
  }
}

}  // namespace
}  // namespace zepr
