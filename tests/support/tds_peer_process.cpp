#include "support/tds_peer_process.h"

#include <fstream>

#include "support/sandbox.h"

namespace zepr::testing {

TdsPeer::TdsPeer(const std::filesystem::path& folder, const std::string& control_json)
    : folder_(folder) {
  std::filesystem::create_directories(folder_ / "data");
  WriteFile(folder_ / "control.json", control_json);
  process_ = std::make_unique<PeerProcess>(std::vector<std::string>{
      SystemPython(), SupportFile("tds_peer/tds_peer.py"), "--data", (folder_ / "data").string(),
      "--control", (folder_ / "control.json").string(), "--log", (folder_ / "batches.log").string(),
      "--time-limit", "300"});
}

std::string TdsPeer::server() const { return "127.0.0.1," + std::to_string(port()); }

void TdsPeer::SetControl(const std::string& control_json) {
  // Written beside and renamed, so the peer never reads half a file.
  WriteFile(folder_ / "control.json.new", control_json);
  std::filesystem::rename(folder_ / "control.json.new", folder_ / "control.json");
}

std::vector<LoggedBatch> TdsPeer::Batches() const {
  std::vector<LoggedBatch> batches;
  std::ifstream log(folder_ / "batches.log", std::ios::binary);
  std::string line;
  while (std::getline(log, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    LoggedBatch batch{line.substr(0, tab), {}};
    for (size_t i = tab + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        char c = line[++i];
        batch.sql += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
      } else {
        batch.sql += line[i];
      }
    }
    batches.push_back(std::move(batch));
  }
  return batches;
}

std::vector<std::string> TdsPeer::BatchesContaining(const std::string& text) const {
  std::vector<std::string> found;
  for (auto& b : Batches()) {
    if (b.sql.find(text) != std::string::npos) found.push_back(b.sql);
  }
  return found;
}

}  // namespace zepr::testing
