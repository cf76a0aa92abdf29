// A trusted key as UPDATE.INI or the build gives it: a text read as a key stands for exactly one
// key line, and loading it as a setting agrees with reading it.
#include "core/text.h"
#include "fuzz_support.h"
#include "trust/trust.h"
#include "trust_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr;
  const std::string text = fuzz::AsString(data, size);
  trust::Refusal why;
  const auto key = trust::ParsePublicKey(text, &why);
  const auto loaded = trust::LoadTrustedKeys({"", text, ""}, {});
  if (!key) {
    FUZZ_CHECK(why.reason == std::string(trust::reason::kBadConfiguredKey) && !why.detail.empty());
    // A blank setting is no key; any other that is not a key fails the run.
    FUZZ_CHECK(loaded.keys.empty());
    FUZZ_CHECK(loaded.error.has_value() == !Trim(text).empty());
    return 0;
  }
  // The one canonical line, read alone and as a minisign.pub, gives the same key back.
  const std::string line = fuzz::KeyLine(*key);
  FUZZ_CHECK(line.size() == 56 && line.starts_with("RW"));
  FUZZ_CHECK(text.find(line) != std::string::npos);
  for (const std::string& again : {line, "untrusted comment: minisign public key " +
                                             trust::KeyIdText(key->id) + "\n" + line}) {
    const auto reread = trust::ParsePublicKey(again);
    FUZZ_CHECK(reread && reread->id == key->id && reread->key == key->key);
  }
  FUZZ_CHECK(!loaded.error && loaded.keys.size() == 1 && loaded.keys[0].key == key->key);
  return 0;
}
