// The keys a workstation trusts: from its own UPDATE.INI and from the build, never from the
// server it updates from.
#include "core/text.h"
#include "trust/trust.h"

namespace zepr::trust {

// The build passes the keys with blanks between them.
std::vector<std::string> BuiltInKeys() {
  std::vector<std::string> keys;
  std::string_view list = ZEPR_SIGN_KEYS;
  while (!list.empty()) {
    const size_t end = list.find_first_of(" ;");
    if (end != 0) keys.emplace_back(list.substr(0, end));
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  }
  return keys;
}

TrustedKeys LoadTrustedKeys(const std::array<std::string, 3>& settings,
                            const std::vector<std::string>& built_in) {
  TrustedKeys result;
  auto add = [&](const std::string& text, const char* reason, std::string name) {
    Refusal why;
    const auto key = ParsePublicKey(text, &why);
    if (!key) {
      // The setting's name and what is wrong with it; never the text, which may be anything.
      result.error = Refusal{reason, name + ": " + why.detail};
      return false;
    }
    result.keys.push_back(*key);
    return true;
  };
  for (size_t i = 0; i < settings.size(); ++i) {
    if (Trim(settings[i]).empty()) continue;
    if (!add(settings[i], reason::kBadConfiguredKey, kKeySettings[i])) break;
  }
  for (size_t i = 0; i < built_in.size() && !result.error; ++i) {
    add(built_in[i], reason::kBadBuiltInKey, "ZEPR_SIGN_KEYS " + std::to_string(i + 1));
  }
  if (result.error) result.keys.clear();
  return result;
}

}  // namespace zepr::trust
