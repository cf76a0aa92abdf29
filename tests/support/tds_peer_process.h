#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/peer_process.h"

namespace zepr::testing {

// One batch as the TDS peer received it.
struct LoggedBatch {
  std::string database;
  std::string sql;
};

// The TDS peer (tests/support/tds_peer/tds_peer.py) with its data, control file and batch
// log in a folder of the test. The control JSON is described at the top of the peer.
class TdsPeer {
 public:
  TdsPeer(const std::filesystem::path& folder, const std::string& control_json);

  int port() const { return process_->port(); }
  // The server item of a connection list: "127.0.0.1,<port>".
  std::string server() const;
  // Replaces the control file; the peer reads it again at the next batch or login.
  void SetControl(const std::string& control_json);
  std::vector<LoggedBatch> Batches() const;
  // The batches that contain the text, in order.
  std::vector<std::string> BatchesContaining(const std::string& text) const;

 private:
  std::filesystem::path folder_;
  std::unique_ptr<PeerProcess> process_;
};

}  // namespace zepr::testing
