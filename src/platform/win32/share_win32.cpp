#include <windows.h>
// After windows.h:
#include <winnetwk.h>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace zepr::platform {
namespace {

// "\\server\share" of a UNC folder; "" for any other folder.
std::wstring ShareOf(const std::wstring& folder) {
  auto is_separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (folder.size() < 3 || !is_separator(folder[0]) || !is_separator(folder[1])) return {};
  const size_t server_end = folder.find_first_of(L"\\/", 2);
  if (server_end == std::wstring::npos || server_end == 2) return {};
  const size_t share_end = folder.find_first_of(L"\\/", server_end + 1);
  const std::wstring share = folder.substr(0, share_end);
  if (share.size() <= server_end + 1) return {};
  std::wstring unc = L"\\\\" + share.substr(2);
  for (wchar_t& c : unc) {
    if (c == L'/') c = L'\\';
  }
  return unc;
}

}  // namespace

// The system asks for credentials only where the share needs them and the logged-on user's
// do not serve.
void ConnectShare(const std::string& folder) {
  std::wstring share = ShareOf(Utf8ToWide(folder));
  if (share.empty()) return;
  NETRESOURCEW resource{};
  resource.dwType = RESOURCETYPE_DISK;
  resource.lpRemoteName = share.data();
  WNetUseConnectionW(nullptr, &resource, nullptr, nullptr, CONNECT_INTERACTIVE, nullptr, nullptr,
                     nullptr);
}

}  // namespace zepr::platform
