#include "app/signed_files.h"

#include "config/ini_file.h"

namespace zepr {

const trust::TrustedKeys& SignedFiles::Keys() {
  if (!keys_) {
    std::array<std::string, 3> settings;
    for (size_t i = 0; i < settings.size(); ++i) {
      settings[i] = ReadIniValue(run_.ExeFolder, "UPDATE.INI", "SIGN", trust::kKeySettings[i], "");
    }
    keys_ = trust::LoadTrustedKeys(settings);
  }
  return *keys_;
}

trust::TimestampStore SignedFiles::Store() const {
  return trust::TimestampStore(run_.ExeFolder + trust::TimestampStore::kFileName);
}

bool SignedFiles::Required() { return !Keys().keys.empty() || Keys().error.has_value(); }

std::string SignedFiles::KeyError() { return Keys().error ? Keys().error->Text() : ""; }

std::string SignedFiles::Refusal(const std::string& path, const std::string& published_name) {
  accepted_.erase(path);
  if (Keys().error) return Keys().error->Text();
  // Parameter 2 names the program, parameter 4 the client. A file from the common folder is
  // judged for this client too: where it was served proves nothing, the signature does.
  const trust::Verdict verdict = trust::VerifyFile(
      path, path + ".minisig", Keys().keys, {published_name, run_.AppSection, run_.ClientFolder});
  if (!verdict.accepted) return verdict.refusal.Text();
  const int64_t now = clock_.NowMs() / 1000;
  if (const auto refused = Store().Check(verdict.signed_for, now)) return refused->Text();
  accepted_[path] = verdict.signed_for;
  return "";
}

void SignedFiles::RecordInstalled(const std::string& path) {
  const auto it = accepted_.find(path);
  if (it == accepted_.end()) return;
  // What is installed stays installed; a store that cannot be written only leaves the older
  // time in place, and the next install tries again.
  (void)Store().Record(it->second);
  accepted_.erase(it);
}

}  // namespace zepr
