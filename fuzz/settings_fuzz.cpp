// UPDATE.INI read as the settings: any file gives a consistent result or the documented
// error, and a read leaves nothing behind but the file itself, in its own encoding.
#include "config/ini_file.h"
#include "config/settings.h"
#include "core/encoding.h"
#include "core/errors.h"
#include "fuzz_support.h"

namespace {

void CheckConfig(const zepr::TConfig& c, bool complete) {
  FUZZ_CHECK(complete == (!c.Server.empty() && !c.Username.empty()));
  for (const std::string* s : {&c.Korisnik, &c.NazivPrograma, &c.Cfg, &c.Server, &c.Username,
                               &c.Password, &c.StartDir, &c.Crypt}) {
    FUZZ_CHECK(zepr::IsValidUtf8(*s));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr;
  namespace fs = std::filesystem;
  const std::string bytes = fuzz::AsString(data, size);
  const fs::path& folder = fuzz::Scratch().Fresh();
  fuzz::WriteFile(folder / "Update.ini", bytes);
  const std::string exe_folder = folder.string() + "/";

  std::vector<std::string> sections{"PROGRAMCODE"};
  for (const auto& name : IniSekcije((folder / "Update.ini").string())) {
    if (sections.size() == 3) break;
    sections.push_back(name);
  }
  // Each read enciphers a few waiting values; a few reads in turn reach the deciphering ones.
  for (int read = 0; read < 3; ++read) {
    for (const auto& section : sections) {
      TConfig config;
      try {
        CheckConfig(config, UcitajIni(exe_folder, section, config));
      } catch (const UpdateError&) {
        // A damaged enciphered value.
      }
      std::vector<std::string> names;
      for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
      }
      FUZZ_CHECK(names == std::vector<std::string>{"Update.ini"});
      FUZZ_CHECK(fuzz::ReadFile(folder / "Update.ini").starts_with("\xEF\xBB\xBF") ==
                 bytes.starts_with("\xEF\xBB\xBF"));
    }
  }
  return 0;
}
