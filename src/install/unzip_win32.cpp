// Windows: our ZIP reader unpacks, files have no modes, and names Windows would take for
// something else (a drive, a stream, a device) are refused.
#include <windows.h>

#include <chrono>

#include "install/unzip_backend.h"

namespace zepr::unzip {
namespace {

std::error_code LastError() { return {static_cast<int>(GetLastError()), std::system_category()}; }

}  // namespace

UnzipResult PlatformUnpack(const std::filesystem::path& archive,
                           const std::filesystem::path& staging) {
  return UnpackWithZipReader(archive, staging);
}

bool NamePartAcceptedHere(std::string_view part) { return WindowsAcceptsNamePart(part); }

std::error_code KeepUnpackedMode(const std::filesystem::path&, uint32_t) { return {}; }

std::error_code SetFolderTime(const std::filesystem::path& folder,
                              std::filesystem::file_time_type time) {
  using namespace std::chrono;
  // FILETIME counts 100 ns steps from 1601; Unix time starts 11644473600 s later.
  const auto since_1970 = duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(
      file_clock::to_sys(time).time_since_epoch());
  const uint64_t ticks = static_cast<uint64_t>(since_1970.count() + 116444736000000000LL);
  const FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  // Only a handle opened for backup reaches a folder.
  const HANDLE handle = CreateFileW(
      folder.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  const bool set = SetFileTime(handle, nullptr, nullptr, &written) != 0;
  const std::error_code error = set ? std::error_code() : LastError();
  CloseHandle(handle);
  return error;
}

}  // namespace zepr::unzip
