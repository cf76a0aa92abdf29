#pragma once

#include <map>
#include <optional>
#include <string>

#include "app/run_ports.h"
#include "core/clock.h"
#include "core/run_params.h"
#include "trust/trust.h"

namespace zepr {

// The workstation's trusted keys ([SIGN] of UPDATE.INI and the built-in ones) and the signed
// times kept beside the executable. Read when first asked, once the run's parameters are known.
// The clock's date is the workstation's, against which a signature may not be far ahead.
class SignedFiles : public Signatures {
 public:
  SignedFiles(const RunParams& run, Clock& clock) : run_(run), clock_(clock) {}

  bool Required() override;
  std::string KeyError() override;
  std::string Refusal(const std::string& path, const std::string& published_name) override;
  void RecordInstalled(const std::string& path) override;

 private:
  const trust::TrustedKeys& Keys();
  trust::TimestampStore Store() const;

  const RunParams& run_;
  Clock& clock_;
  std::optional<trust::TrustedKeys> keys_;
  // What each accepted file was signed for, by its path, until its install completes.
  std::map<std::string, trust::TrustedComment> accepted_;
};

}  // namespace zepr
