#include "config/settings.h"

#include "config/ini_file.h"
#include "config/ini_scripter.h"
#include "core/encoding.h"
#include "core/text.h"

namespace zepr {
namespace {

bool HasMarker(const std::string& utf8_value, std::string_view cp1250_marker) {
  return AsciiUpper(utf8_value).find(Cp1250ToUtf8(cp1250_marker)) != std::string::npos;
}

}  // namespace

bool UcitajIni(const std::string& exe_folder, const std::string& app_section, TConfig& rConfig) {
  const std::string path = FindFileAnyCase(exe_folder, "UPDATE.INI");
  const IniFile ini = path.empty() ? IniFile() : IniFile::Load(path);
  auto read = [&](const char* key) { return ini.ReadString(app_section, key, ""); };

  rConfig.Korisnik = read("KORISNIK");
  rConfig.Ip = ParseInt32(ini.ReadString(app_section, "IP", "0")).value_or(0);
  rConfig.Server = read("SERVER");
  rConfig.Username = read("USERNAME");
  rConfig.Password = read("PASSWORD");
  rConfig.StartDir = read("START_DIR");
  rConfig.NazivPrograma = read("NAZIV_PROGRAMA");
  rConfig.Cfg = read("CFG");
  rConfig.Crypt = read("CRYPT");
  rConfig.Passive = read("PASSIVE") == "D";
  rConfig.Port = ParseInt32(ini.ReadString(app_section, "PORT", "0")).value_or(0);

  if (rConfig.Crypt == "D") {
    TIniScripter scripter;
    scripter.Init();
    std::string raw = ReadIniValue(exe_folder, "Update.ini", app_section, "PASSWORD", "");
    if (HasMarker(raw, TIniScripter::kEncipherMarker)) {
      scripter.Clear();
      scripter.LoadFromFile(path);
    }
    scripter.LoadFromFile(path);
    raw = ReadIniValue(exe_folder, "Update.ini", app_section, "PASSWORD", "");
    if (HasMarker(raw, TIniScripter::kDecipherMarker)) {
      // Take the value of this section's own line, not simply the first of the file.
      if (auto line = IniKeyLine(scripter.Lines(), app_section, "PASSWORD")) {
        for (size_t k = 0; k < scripter.ValueCount(); ++k) {
          if (scripter.ValueLine(k) == *line) {
            rConfig.Password = Cp1250ToUtf8(scripter.GetValue(k));
            break;
          }
        }
      }
    }
  }
  return !rConfig.Server.empty() && !rConfig.Username.empty();
}

}  // namespace zepr
