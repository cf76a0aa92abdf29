#pragma once

#include <cstdint>
#include <string>

namespace zepr {

// The FTP settings of one program, from its section of UPDATE.INI. Strings are UTF-8.
struct TConfig {
  int32_t Ip = 0;  // read, never used
  std::string Korisnik;
  std::string Rezerva;        // no key fills it
  std::string NazivPrograma;  // read, never used
  std::string Cfg;
  std::string Server;
  std::string Username;
  std::string Password;
  std::string StartDir;
  std::string Crypt;
  bool Passive = false;
  int32_t Port = 0;  // 0: the FTP client's default port
};

// Fills rConfig from section app_section of the settings file in exe_folder (the one
// SettingsFilePath chooses, whatever the letter case of its name); true when Server and
// Username are both set. A missing file gives false and is not created.
//
// With CRYPT=D a password between encipher markers is enciphered in the file first, and the
// password becomes the deciphered value of this section's own PASSWORD line, so programs that
// share the file each get their own password. Each read enciphers at most two further values
// waiting in the file. A password still between encipher markers (it waits behind others, or
// the file may not or could not be written back, which then stays as it was) is used without
// its markers.
//
// Raises UpdateError when the file cannot be read or an enciphered value is damaged.
bool UcitajIni(const std::string& exe_folder, const std::string& app_section, TConfig& rConfig);

// [SQL] DRIVER of the settings file in exe_folder: the ODBC driver for the database connection
// ("ODBC Driver 18 for SQL Server", "FreeTDS", or a driver library's path); "" when not set,
// and then the SQL session chooses.
std::string SqlDriverSetting(const std::string& exe_folder);

// [HTTP] of the settings file in exe_folder; "" for what is not set.
struct HttpSettings {
  // HOST: host[:port], http://host[:port] or https://host[:port].
  std::string host;
  // CA: the PEM file of a private certificate authority; a relative name is taken beside the
  // executable, so the result names the file wherever the program was started from.
  std::string ca_file;
  // PIN: sha256//BASE64[;sha256//BASE64], as written.
  std::string pin;
};
HttpSettings ReadHttpSettings(const std::string& exe_folder);

}  // namespace zepr
