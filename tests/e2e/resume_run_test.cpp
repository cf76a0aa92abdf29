// Downloads that survive a bad line, with the real updater of both builds: a body cut midway is
// continued within the run, and a run killed midway is continued by the next one, from the
// bytes it kept beside the executable.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/encoding.h"
#include "e2e/e2e_sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::AppSandbox;
using testing::Build;
using testing::BuildZip;
using testing::DownloadSite;
using testing::HasLine;
using testing::kClient;
using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kResumeFolder = "ZEPRUpdateNastavak";
// The block a read of the Windows program waits to fill.
constexpr uint64_t kWineBlock = 256 * 1024;

// Bytes that do not compress, so the archive is as long as its contents.
std::string Noise(size_t size, uint32_t seed = 12345) {
  std::string bytes(size, '\0');
  uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

class ResumeRun : public ::testing::TestWithParam<Build> {
 protected:
  void SetUp() override {
    if (GetParam() == Build::kWindows) {
      const std::string why = testing::WindowsRunsUnavailable();
      if (!why.empty()) GTEST_SKIP() << why;
    }
  }

  // The archive of the customer's folder: the application, a text file and 3 MB of data.
  std::string Archive(const AppSandbox& box) const {
    return BuildZip({{"Install.Ini", ""},
                     testing::AppEntry(box.app() + ".exe", GetParam()),
                     {"Citaj.txt", "nova verzija"},
                     {"Podaci.bin", Noise(3'000'000)}});
  }
};

size_t Count(const Strings& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Type 3 with a body cut at 90 %: the rest is asked for with a range after the pause, the
// archive is installed, and no byte crosses the line twice.
TEST_P(ResumeRun, BodyCutMidwayIsContinuedWithinTheRun) {
  AppSandbox box(GetParam());
  DownloadSite site;
  testing::WriteUpdateIni(box, site);
  const std::string archive = Archive(box);
  site.Put(kClient, "Update.zip", archive);
  site.Misbehave(R"({"KLIJENT/DEMO/Update.zip": {"cut": )" +
                 std::to_string(archive.size() * 9 / 10) + R"(, "times": 1}})");

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  EXPECT_TRUE(HasLine(run.output,
                      "status: Veza je prekinuta, nastavljam skidanje Update.zip za "
                      "2 s (pokušaj 2 od 4)"))
      << run.output;
  EXPECT_TRUE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
  const Strings requests = site.Requests();
  const Strings ranges = site.Ranges();
  ASSERT_EQ(Count(requests, "KLIJENT/DEMO/UPDATE.ZIP"), 2u) << run.output;
  const auto second = std::find(requests.begin() + 1, requests.end(), "KLIJENT/DEMO/UPDATE.ZIP");
  EXPECT_EQ(ranges[static_cast<size_t>(second - requests.begin())],
            "bytes=" + std::to_string(archive.size() * 9 / 10) + "-");
  // UpdateSpec.zip is not there; what was sent is the archive once.
  EXPECT_EQ(site.Sent(), archive.size());
  EXPECT_FALSE(fs::exists(box.path() / kResumeFolder));
}

// A run killed while the server holds the rest back keeps what arrived beside the executable;
// the next run (which empties Update\ first) asks only for the rest, and installs the archive.
TEST_P(ResumeRun, RunKilledMidwayIsContinuedByTheNextRun) {
  AppSandbox box(GetParam());
  DownloadSite site;
  testing::WriteUpdateIni(box, site);
  const std::string archive = Archive(box);
  const size_t cut = archive.size() * 6 / 10;
  site.Put(kClient, "Update.zip", archive);
  site.Misbehave(R"({"KLIJENT/DEMO/Update.zip": {"cut": )" + std::to_string(cut) +
                 R"(, "stall": 100}})");
  uint64_t held = 0;
  {
    setenv("ZEPR_HEADLESS", "1", 1);
    unsetenv("DISPLAY");
    testing::RunningProgram updater(
        testing::Launch(GetParam(), box.updater(),
                        {testing::kTitle, testing::kSection, box.app(), kClient, "3", "x"}));
    // Killed once the bytes before the stall are on the disk: all of them, or under Wine all
    // but the block its read was filling, which waits for the block to fill.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    uint64_t seen = 0;
    int steady = 0;
    while (steady < 20 && std::chrono::steady_clock::now() < deadline) {
      uint64_t size = 0;
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(box.path() / kResumeFolder, ec)) {
        if (entry.path().extension() == ".part") size = entry.file_size(ec);
      }
      steady = size == seen && size + kWineBlock > cut ? steady + 1 : 0;
      seen = size;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(steady, 20) << "the bytes before the stall did not arrive: " << seen;
    held = seen;
  }
  EXPECT_FALSE(fs::exists(box.path() / "Citaj.txt"));
  site.Misbehave("{}");
  const uint64_t sent_before = site.Sent();

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  EXPECT_EQ(ReadFile(box.path() / "Podaci.bin"), Noise(3'000'000));
  // The last request for the archive asked for the rest only.
  const Strings requests = site.Requests();
  const auto last = std::find(requests.rbegin(), requests.rend(), "KLIJENT/DEMO/UPDATE.ZIP");
  ASSERT_NE(last, requests.rend());
  EXPECT_EQ(site.Ranges()[static_cast<size_t>(requests.rend() - last) - 1],
            "bytes=" + std::to_string(held) + "-");
  EXPECT_EQ(site.Sent() - sent_before, archive.size() - held);
  EXPECT_FALSE(fs::exists(box.path() / kResumeFolder));
}

void Age(const fs::path& path, int days) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
}

// The first run is cut at half of one version; the server of the second ignores If-Range and
// has another version of the same length now, whose rest it sends: the second run installs the
// new version whole. Meanwhile the resume folder is a link to someone else's folder, then holds
// someone else's old file and a link at the name of its record's temporary: nothing is followed
// or removed that the runs did not make. (Under Wine a link to a folder cannot be removed as a
// link, so the Windows program only meets the old file.)
TEST_P(ResumeRun, OneVersionWholeAndOnlyItsOwnFilesTouched) {
  AppSandbox box(GetParam());
  DownloadSite site;
  testing::WriteUpdateIni(box, site);
  const auto archive = [&](uint32_t seed) {
    return BuildZip({{"Install.Ini", ""},
                     testing::AppEntry(box.app() + ".exe", GetParam()),
                     {"a.dll", Noise(1'000'000, seed)},
                     {"b.dll", Noise(1'000'000, seed + 1)}});
  };
  const std::string v1 = archive(1);
  const std::string v2 = archive(7);
  ASSERT_EQ(v1.size(), v2.size());
  site.Put(kClient, "Update.zip", v1);
  site.Put(kClient, "Update2.zip", v2);
  const bool links = GetParam() == Build::kLinux;
  testing::TempDir elsewhere;
  const fs::path folder = box.path() / kResumeFolder;
  const fs::path document = (links ? elsewhere.path() : folder) / "Dokument.doc";
  WriteFile(document, "moj dokument");
  Age(document, 30);
  if (links) fs::create_directory_symlink(elsewhere.path(), folder);
  site.Misbehave(R"({"KLIJENT/DEMO/Update.zip": {"cut": )" + std::to_string(v1.size() / 2) + "}}");

  const auto cut = box.Run(kClient, "3", {"x"});

  EXPECT_NE(cut.exit_code, 0) << cut.output;
  EXPECT_EQ(ReadFile(document), "moj dokument");
  EXPECT_FALSE(fs::is_symlink(folder));
  EXPECT_EQ(testing::ListFolder(elsewhere.path()), links ? Strings{"Dokument.doc"} : Strings{});
  fs::path part;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".part") part = entry.path();
  }
  ASSERT_FALSE(part.empty()) << cut.output;
  const fs::path victim = elsewhere.path() / "Zrtva.txt";
  WriteFile(victim, "ne diraj");
  if (links) {
    WriteFile(folder / "Dokument.doc", "moj dokument");
    Age(folder / "Dokument.doc", 30);
    fs::create_symlink(victim, part.string() + ".info.new");
  }
  site.Misbehave(R"({"KLIJENT/DEMO/Update.zip": {"then": "Update2.zip", "rangeonly": 1}})");

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(ReadFile(box.path() / "a.dll") == Noise(1'000'000, 7));
  EXPECT_TRUE(ReadFile(box.path() / "b.dll") == Noise(1'000'000, 8));
  Strings ranges;
  const Strings requests = site.Requests();
  for (size_t i = 0; i < requests.size(); ++i) {
    if (requests[i] == "KLIJENT/DEMO/UPDATE.ZIP") ranges.push_back(site.Ranges()[i]);
  }
  ASSERT_GE(ranges.size(), 2u);
  EXPECT_EQ(ranges[ranges.size() - 2].rfind("bytes=", 0), 0u);
  EXPECT_EQ(ranges.back(), "-");
  EXPECT_EQ(testing::ListFolder(folder), Strings{"Dokument.doc"});
  EXPECT_EQ(ReadFile(folder / "Dokument.doc"), "moj dokument");
  EXPECT_EQ(ReadFile(victim), "ne diraj");
}

// FTP: a retrieval cut once is continued with REST within the run; a refused login is not
// tried again.
TEST_P(ResumeRun, FtpRetrievalIsContinuedAndARefusedLoginIsNot) {
  AppSandbox box(GetParam());
  testing::TempDir root;
  const fs::path remote = root.path() / "azuriranja" / "KLIJENT" / testing::kSection;
  const std::string archive = Archive(box);
  const size_t cut = archive.size() * 9 / 10;
  WriteFile(remote / "lista.ini", "[UPDATE]\r\n1=Update.zip\r\n");
  WriteFile(remote / "Update.zip", archive);
  testing::FtpServer server(root.path(), "zepr", "tajna",
                            {"--cut", "Update.zip:" + std::to_string(cut) + ":1"});
  const auto ini = [&](const std::string& password) {
    return Utf8ToCp1250("[DEMO]\r\nSERVER=127.0.0.1\r\nPORT=" + std::to_string(server.port()) +
                        "\r\nUSERNAME=zepr\r\nPASSWORD=" + password +
                        "\r\nSTART_DIR=/azuriranja/\r\nKORISNIK=klijent\r\nCFG=lista.ini\r\n"
                        "PASSIVE=D\r\n");
  };
  // The common folder would be tried next (type 3); the customer's own is "_SVI" here.
  WriteFile(box.path() / "UPDATE.INI", ini("kriva"));
  const auto refused = box.Run("_SVI", "1", {"x"});
  EXPECT_EQ(refused.exit_code, 2) << refused.output;
  EXPECT_EQ(Count(server.Commands(), "USER zepr"), 1u) << refused.output;

  WriteFile(box.path() / "UPDATE.INI", ini("tajna"));
  const auto run = box.Run(kClient, "1", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  EXPECT_TRUE(HasLine(run.output,
                      "status: Veza je prekinuta, nastavljam skidanje Update.zip za "
                      "2 s (pokušaj 2 od 4)"))
      << run.output;
  EXPECT_EQ(Count(server.Commands(), "REST " + std::to_string(cut)), 1u) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Builds, ResumeRun, ::testing::Values(Build::kLinux, Build::kWindows),
                         [](const auto& info) {
                           return info.param == Build::kLinux ? "Linux" : "Windows";
                         });

}  // namespace
}  // namespace zepr
