#include "config/settings.h"

#include <filesystem>
#include <optional>

#include "config/ini_file.h"
#include "config/ini_scripter.h"
#include "core/encoding.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"

namespace zepr {
namespace {

bool HasMarker(const std::string& utf8_value, std::string_view cp1250_marker) {
  return AsciiUpper(utf8_value).find(Cp1250ToUtf8(cp1250_marker)) != std::string::npos;
}

// The text between the first two encipher markers of a value, as the scripter would take it.
std::optional<std::string> EncipherMarked(const std::string& utf8_value) {
  const std::string marker = Cp1250ToUtf8(TIniScripter::kEncipherMarker);
  const std::string upper = AsciiUpper(utf8_value);
  const size_t open = upper.find(marker);
  if (open == std::string::npos) return std::nullopt;
  const size_t start = open + marker.size();
  const size_t close = upper.find(marker, start);
  if (close == std::string::npos) return std::nullopt;
  return utf8_value.substr(start, close - start);
}

}  // namespace

bool UcitajIni(const std::string& exe_folder, const std::string& app_section, TConfig& rConfig) {
  const std::string path = SettingsFilePath(exe_folder);
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
    try {
      if (HasMarker(rConfig.Password, TIniScripter::kEncipherMarker)) {
        scripter.Clear();
        scripter.LoadFromFile(path);
      }
      scripter.LoadFromFile(path);
    } catch (const WriteBackError&) {
      // The file keeps its plain value; a later run that may write it enciphers it.
      scripter.Clear();
    }
    // The last load enciphered or failed: values still waiting never keep this section's own
    // enciphered password from being read.
    if (scripter.ValueCount() == 0) scripter.DecipherFile(path);
    std::optional<std::string> deciphered;
    const std::string raw = IniFile::Load(path).ReadString(app_section, "PASSWORD", "");
    if (HasMarker(raw, TIniScripter::kDecipherMarker)) {
      // Take the value of this section's own line, not simply the first of the file.
      if (auto line = IniKeyLine(scripter.Lines(), scripter.IsUtf8(), app_section, "PASSWORD")) {
        for (size_t k = 0; k < scripter.ValueCount(); ++k) {
          if (scripter.ValueLine(k) == *line) {
            deciphered = Cp1250ToUtf8(scripter.GetValue(k));
            break;
          }
        }
      }
    }
    if (deciphered) {
      rConfig.Password = *deciphered;
    } else if (auto plain = EncipherMarked(rConfig.Password)) {
      rConfig.Password = *plain;  // not enciphered (yet): the markers are no part of it
    }
  }
  runlog::AddSecret(rConfig.Password);
  return !rConfig.Server.empty() && !rConfig.Username.empty();
}

std::string SqlDriverSetting(const std::string& exe_folder) {
  return ReadIniValue(exe_folder, "UPDATE.INI", "SQL", "DRIVER", "");
}

HttpSettings ReadHttpSettings(const std::string& exe_folder) {
  const std::string path = SettingsFilePath(exe_folder);
  const IniFile ini = path.empty() ? IniFile() : IniFile::Load(path);
  HttpSettings settings;
  settings.host = ini.ReadString("HTTP", "HOST", "");
  settings.pin = ini.ReadString("HTTP", "PIN", "");
  settings.ca_file = ini.ReadString("HTTP", "CA", "");
  // A drive or a root of its own ("C:\ca.pem", "\\server\ca.pem", "/etc/ca.pem") is kept.
  const std::filesystem::path ca = PathFromUtf8(settings.ca_file);
  if (!ca.empty() && !ca.has_root_name() && !ca.has_root_directory()) {
    settings.ca_file = Utf8FromPath(PathFromUtf8(exe_folder) / ca);
  }
  return settings;
}

}  // namespace zepr
