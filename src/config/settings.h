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

// Fills rConfig from section app_section of UPDATE.INI in exe_folder (found whatever the
// letter case of its name); true when Server and Username are both set. A missing file gives
// false and is not created.
//
// With CRYPT=D a password between encipher markers is enciphered in the file first, and the
// password becomes the deciphered value of this section's own PASSWORD line, so programs that
// share the file each get their own password. While the file still holds further values
// waiting to be enciphered (one per read), the password stays as read.
//
// Raises UpdateError when the file cannot be rewritten or an enciphered value is damaged.
bool UcitajIni(const std::string& exe_folder, const std::string& app_section, TConfig& rConfig);

}  // namespace zepr
