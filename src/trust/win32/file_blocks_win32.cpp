#include <windows.h>

#include <vector>

#include "platform/win32/wide.h"
#include "trust/file_blocks.h"

namespace zepr::trust {

namespace {

constexpr DWORD kBlockBytes = 1 << 18;

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

ReadOutcome ReadBlocks(const std::string& path,
                       const std::function<bool(const uint8_t*, size_t)>& consume,
                       std::string& error) {
  // Nobody writes the file while it is checked.
  const Handle file(CreateFileW(platform::FileSystemPath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    error = platform::SystemErrorText(code);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ReadOutcome::kMissing
                                                                        : ReadOutcome::kFailed;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    error = platform::SystemErrorText(ERROR_INVALID_PARAMETER);
    return ReadOutcome::kFailed;
  }
  std::vector<uint8_t> block(kBlockBytes);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.get(), block.data(), kBlockBytes, &n, nullptr)) {
      error = platform::SystemErrorText(GetLastError());
      return ReadOutcome::kFailed;
    }
    if (n == 0 || !consume(block.data(), n)) return ReadOutcome::kDone;
  }
}

}  // namespace zepr::trust
