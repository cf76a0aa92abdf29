#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "core/encoding.h"
#include "core/errors.h"
#include "core/text.h"
#include "transfer/ftp_session.h"
#include "transfer/transfer_shared.h"

namespace zepr {
namespace {

using transfer::kDestinationExists;
using transfer::kLoginFailedTitle;
using transfer::kNoFileName;
using transfer::kNotConnected;
using transfer::kRefreshMs;
constexpr long kBufferSize = 512 * 1024;
// How long the goodbye waits for the server's answer before the connection is simply closed.
constexpr long kQuitWaitS = 2;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct UrlCleanup {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

// Percent-encodes every byte but the unreserved ones and "/", so that names reach the server
// byte for byte and nothing in them ("?", "#", ";type=") is read as URL syntax.
std::string EncodePath(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

// "ftp://host:port"; empty with the parser's complaint in error when the host is unusable.
std::string BaseUrl(const std::string& host, int port, std::string& error) {
  std::unique_ptr<CURLU, UrlCleanup> url(curl_url());
  if (!url) {
    error = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
    return {};
  }
  std::string bracketed = host;
  if (host.find(':') != std::string::npos && host.front() != '[') bracketed = "[" + host + "]";
  const int used_port = port > 0 ? port : FtpSession::kDefaultPort;
  CURLUcode rc = curl_url_set(url.get(), CURLUPART_SCHEME, "ftp", 0);
  if (rc == CURLUE_OK) rc = curl_url_set(url.get(), CURLUPART_HOST, bracketed.c_str(), 0);
  if (rc == CURLUE_OK) {
    rc = curl_url_set(url.get(), CURLUPART_PORT, std::to_string(used_port).c_str(), 0);
  }
  char* raw = nullptr;
  if (rc == CURLUE_OK) rc = curl_url_get(url.get(), CURLUPART_URL, &raw, 0);
  std::unique_ptr<char, CurlFree> text(raw);
  if (rc != CURLUE_OK) {
    error = curl_url_strerror(rc);
    return {};
  }
  std::string base = text.get();
  if (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

// The URL path of a folder, ending in "/". libcurl's paths start at the login folder; an
// absolute folder keeps its leading "/" escaped so the server sees it.
std::string FolderPath(const std::string& current, const std::string& folder) {
  const std::string bytes = Utf8ToCp1250(folder);
  if (bytes.empty()) return current;
  std::string path =
      bytes.front() == '/' ? "/%2F" + EncodePath(bytes.substr(1)) : current + EncodePath(bytes);
  if (path.back() != '/') path += '/';
  return path;
}

struct Transfer {
  transfer::FtpRetrieval* retrieval = nullptr;
  // What the reply opening the transfer announced of the rest (-1: nothing), after held bytes.
  const int64_t* announced = nullptr;
  uint64_t held = 0;
  uint64_t bytes = 0;  // of this attempt
  bool begun = false;

  static size_t OnWrite(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (transfer == nullptr) return length;
    // A file announced longer than its limit is not read at all.
    if (transfer->bytes == 0 && *transfer->announced >= 0 &&
        !transfer->retrieval->Announced(static_cast<int64_t>(transfer->held) +
                                        *transfer->announced)) {
      return 0;
    }
    if (!transfer->retrieval->Body(data, length)) return 0;
    transfer->bytes += length;
    return length;
  }
};

struct Handles {
  // The multi handle owns the connection cache, so it outlives the easy handle.
  std::unique_ptr<CURLM, MultiCleanup> multi{curl_multi_init()};
  std::unique_ptr<CURL, EasyCleanup> easy{curl_easy_init()};
  char error[CURL_ERROR_SIZE] = {};

  // Server replies as they arrive, for the error texts.
  std::string partial_line;
  std::vector<std::string> reply_lines;
  std::string open_code;  // code of a reply whose lines are still coming
  int last_code = 0;
  std::string last_text;
  bool replied = false;         // a reply came during the current request
  bool logged_in = false;       // the login was accepted during the current request
  int64_t announced_size = -1;  // what the reply opening the transfer said, if anything

  void StartRequest() {
    error[0] = '\0';
    replied = false;
    logged_in = false;
    announced_size = -1;
  }

  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) return 0;
    try {
      static_cast<Handles*>(user)->AddReplyBytes(std::string_view(data, size));
    } catch (...) {
      // Losing an error text must not break the transfer.
    }
    return 0;
  }

  void AddReplyBytes(std::string_view bytes) {
    for (char c : bytes) {
      if (c != '\n') {
        // Replies are 7-bit text.
        if (c != '\r') partial_line += static_cast<char>(c & 0x7F);
        continue;
      }
      AddReplyLine(partial_line);
      partial_line.clear();
    }
  }

  void AddReplyLine(const std::string& line) {
    const bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                       std::isdigit(static_cast<unsigned char>(line[1])) &&
                       std::isdigit(static_cast<unsigned char>(line[2])) &&
                       (line.size() == 3 || line[3] == ' ' || line[3] == '-');
    const std::string code = coded ? line.substr(0, 3) : std::string();
    // A reply of several lines ends only at its own code followed by a blank.
    const bool own_code = coded && (open_code.empty() || code == open_code);
    const bool final_line = own_code && (line.size() == 3 || line[3] == ' ');
    if (own_code && open_code.empty() && !final_line) open_code = code;
    reply_lines.push_back(own_code ? line.substr(line.size() > 3 ? 4 : 3) : line);
    if (!final_line) return;
    last_code = ParseDecimal<int>(code).value_or(0);
    last_text.clear();
    for (const auto& text : reply_lines) {
      if (!last_text.empty()) last_text += '\r';
      last_text += text;
    }
    reply_lines.clear();
    open_code.clear();
    replied = true;
    if (last_code == 230) logged_in = true;
    if (last_code == 125 || last_code == 150) announced_size = transfer::AnnouncedSize(last_text);
  }
};

}  // namespace

struct FtpSession::Impl {
  Impl(MainWindow& window, const long& stall_limit_ms, const std::string& resume_folder)
      : window_(window),
        stall_limit_ms_(stall_limit_ms),
        resume_folder_(resume_folder),
        throttle_(window.clock()) {}

  bool Connect(const FtpSettings& settings);
  void ChangeDir(const std::string& folder);
  int64_t Size(const std::string& name);
  void Retrieve(const std::string& name, const std::string& local_path, uint64_t size_limit);
  void Close();

  // Runs one request on the session's handle, keeping the window alive; the libcurl result.
  int Perform(const std::string& path, Transfer* transfer);
  void Pump(Transfer* transfer);
  std::string FailureText(int result) const;
  void ReleaseHandles();
  void IdFTP1AfterGet();

  // What SIZE and MDTM say of a file in the current folder now.
  transfer::FileVersion Version(const std::string& path);
  // The figures of a transfer: the bytes of the file held.
  int64_t Shown(const Transfer& transfer) const;

  MainWindow& window_;
  const long& stall_limit_ms_;
  const std::string& resume_folder_;
  transfer::RefreshThrottle throttle_;
  std::unique_ptr<Handles> handles_;
  std::string base_url_;
  std::string identity_;     // "ftp://user@host:port", naming the server's files for resuming
  std::string folder_path_;  // URL path of the current folder, ending in "/"
  bool connected_ = false;
  // The last file whose size was asked, that size (the expected length of its transfer) and
  // its modification time.
  std::string sized_path_;
  int64_t sized_ = -1;
  std::string sized_modified_;
  // The transfer under way and how much of the file was held when it began.
  uint64_t held_before_ = 0;
};

FtpSession::FtpSession(MainWindow& window)
    : impl_(std::make_unique<Impl>(window, stall_limit_ms_, resume_folder_)) {
  GlobalInit();
}

FtpSession::~FtpSession() { Close(); }

bool FtpSession::Connect(const FtpSettings& settings) { return impl_->Connect(settings); }
void FtpSession::ChangeDir(const std::string& folder) { impl_->ChangeDir(folder); }
int64_t FtpSession::Size(const std::string& name) { return impl_->Size(name); }
void FtpSession::Retrieve(const std::string& name, const std::string& local_path,
                          uint64_t size_limit) {
  impl_->Retrieve(name, local_path, size_limit);
}
bool FtpSession::IsConnected() const { return impl_->connected_; }
void FtpSession::Close() { impl_->Close(); }

bool FtpSession::Impl::Connect(const FtpSettings& settings) {
  Close();
  const std::string user = Utf8ToCp1250(settings.user);
  const std::string password = Utf8ToCp1250(settings.password);
  // A line break would end the command early and let the rest pass as a command of its own.
  if (transfer::HasLineBreakOrNul(user) || transfer::HasLineBreakOrNul(password)) {
    window_.ShowPoruka(kLoginFailedTitle, transfer::kInvalidLoginCharacter);
    return false;
  }
  std::string error;
  base_url_ = BaseUrl(settings.host, settings.port, error);
  if (base_url_.empty()) {
    window_.ShowPoruka(kLoginFailedTitle, error);
    return false;
  }
  identity_ = base_url_;
  identity_.insert(identity_.find("//") + 2, EncodePath(user) + "@");
  handles_ = std::make_unique<Handles>();
  if (!handles_->multi || !handles_->easy) {
    handles_.reset();
    window_.ShowPoruka(kLoginFailedTitle, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
    return false;
  }
  CURL* easy = handles_->easy.get();
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handles_->error);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);  // feeds the reply texts to OnDebug
  curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, Handles::OnDebug);
  curl_easy_setopt(easy, CURLOPT_DEBUGDATA, handles_.get());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
  // Otherwise every RETR is preceded by a SIZE of libcurl's own, and a server that refuses
  // SIZE (or lacks the file) fails the retrieval with the SIZE reply before RETR is sent.
  // The expected length for the window comes from Size or the reply opening the transfer.
  curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
  curl_easy_setopt(easy, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(easy, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(easy, CURLOPT_FTPPORT, settings.passive ? nullptr : "-");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Transfer::OnWrite);

  const std::string path = FolderPath("/", settings.remote_folder);
  const int result = Perform(path, nullptr);
  if (result == CURLE_OK) {
    connected_ = true;
    folder_path_ = path;
    return true;
  }
  if (handles_->logged_in) {
    // The login stands; only the folder is missing, which the run handles as an error.
    connected_ = true;
    folder_path_ = "/";
    throw UpdateError(FailureText(result));
  }
  window_.ShowPoruka(kLoginFailedTitle, FailureText(result));
  ReleaseHandles();
  return false;
}

void FtpSession::Impl::ChangeDir(const std::string& folder) {
  if (!connected_) throw UpdateError(kNotConnected);
  const std::string path = FolderPath(folder_path_, folder);
  const int result = Perform(path, nullptr);
  if (result != CURLE_OK) throw UpdateError(FailureText(result));
  folder_path_ = path;
}

int64_t FtpSession::Impl::Size(const std::string& name) {
  sized_path_.clear();
  if (!connected_ || name.empty() || name.back() == '/') return -1;
  const std::string path = folder_path_ + EncodePath(Utf8ToCp1250(name));
  const transfer::FileVersion version = Version(path);
  if (version.total < 0) return -1;
  sized_path_ = path;
  sized_ = version.total;
  sized_modified_ = version.modified;
  return sized_;
}

transfer::FileVersion FtpSession::Impl::Version(const std::string& path) {
  transfer::FileVersion version;
  CURL* easy = handles_->easy.get();
  // MDTM goes with the SIZE of the same request; a server without it answers the size alone.
  curl_easy_setopt(easy, CURLOPT_FILETIME, 1L);
  const int result = Perform(path, nullptr);
  curl_easy_setopt(easy, CURLOPT_FILETIME, 0L);
  if (result != CURLE_OK) return version;
  curl_off_t size = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) == CURLE_OK) {
    version.total = size >= 0 ? static_cast<int64_t>(size) : -1;
  }
  curl_off_t modified = -1;
  if (curl_easy_getinfo(easy, CURLINFO_FILETIME_T, &modified) == CURLE_OK && modified >= 0) {
    version.modified = std::to_string(modified);
  }
  return version;
}

int64_t FtpSession::Impl::Shown(const Transfer& transfer) const {
  return static_cast<int64_t>(held_before_ + transfer.bytes);
}

void FtpSession::Impl::Retrieve(const std::string& name, const std::string& local_path,
                                uint64_t size_limit) {
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(local_path, ec))) {
    throw UpdateError(kDestinationExists);
  }
  if (!connected_) throw UpdateError(kNotConnected);
  // A path without a file name would fetch the folder's listing instead.
  if (name.empty() || name.back() == '/') throw UpdateError(kNoFileName);
  const std::string path = folder_path_ + EncodePath(Utf8ToCp1250(name));
  transfer::FileVersion version;
  if (path == sized_path_) version = {"", sized_modified_, sized_};
  sized_path_.clear();
  transfer::FtpRetrieval retrieval(window_, resume_folder_, identity_ + path, local_path, name,
                                   static_cast<unsigned long>(::getpid()), version, size_limit);
  if (retrieval.too_long()) throw UpdateError(retrieval.RefuseTooLong());
  if (retrieval.file_error()) {
    throw UpdateError("Cannot create file \"" + local_path + "\". " +
                      retrieval.file_error().message());
  }
  CURL* easy = handles_->easy.get();
  while (true) {
    Transfer transfer;
    transfer.retrieval = &retrieval;
    transfer.announced = &handles_->announced_size;
    held_before_ = retrieval.held();
    transfer.held = held_before_;
    // The statistics block is emptied again however the attempt ends.
    struct WorkEnd {
      MainWindow& window;
      Transfer& transfer;
      ~WorkEnd() {
        if (transfer.begun) window.IdFTP1WorkEnd();
      }
    } work_end{window_, transfer};
    // libcurl sends no REST while it ignores the length; a continued file has shown its SIZE.
    curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(held_before_));
    curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, held_before_ == 0 ? 1L : 0L);
    const int result = Perform(path, &transfer);
    curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
    curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    if (result == CURLE_OK && !transfer.begun) {
      transfer.begun = true;
      window_.IdFTP1WorkBegin(0);
    }
    if (transfer.begun) window_.IdFTP1Work(Shown(transfer));
    if (retrieval.too_long()) throw UpdateError(retrieval.RefuseTooLong());
    if (retrieval.file_error()) {
      throw UpdateError("Cannot write file \"" + local_path + "\". " +
                        retrieval.file_error().message());
    }
    std::string failure;
    if (result != CURLE_OK) {
      failure = FailureText(result);
    } else {
      // libcurl no longer compares the length itself: a file cut short is not the file.
      int64_t expected = retrieval.total();
      if (expected < 0 && handles_->announced_size >= 0) {
        expected = static_cast<int64_t>(held_before_) + handles_->announced_size;
      }
      if (expected >= 0 && static_cast<int64_t>(retrieval.held()) != expected) {
        failure = "Transfer closed with " + std::to_string(retrieval.held()) + " of " +
                  std::to_string(expected) + " bytes received.";
      }
    }
    if (failure.empty()) {
      // Someone may have put a file there while the transfer ran; it is not ours to replace.
      if (std::filesystem::exists(std::filesystem::symlink_status(local_path, ec))) {
        throw UpdateError(kDestinationExists);
      }
      if (!retrieval.Commit()) throw UpdateError(retrieval.file_error().message());
      IdFTP1AfterGet();
      return;
    }
    if (!retrieval.AnotherAttempt(failure)) throw UpdateError(failure);
    // The rest only of the very file begun: the server must still show its size and time.
    retrieval.Recheck(Version(path));
  }
}

void FtpSession::Impl::Close() {
  connected_ = false;
  folder_path_.clear();
  sized_path_.clear();
  ReleaseHandles();
}

void FtpSession::Impl::ReleaseHandles() {
  if (!handles_) return;
  // libcurl sends QUIT when the multi handle empties its connection cache, and waits for the
  // answer as long as the handle added last allowed: the stall limit. A server that never
  // answers QUIT must not hold the end of the run that long, so the handle is added once more
  // with a short wait before everything is let go.
  CURL* easy = handles_->easy.get();
  curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, kQuitWaitS);
  if (curl_multi_add_handle(handles_->multi.get(), easy) == CURLM_OK) {
    curl_multi_remove_handle(handles_->multi.get(), easy);
  }
  handles_.reset();
}

int FtpSession::Impl::Perform(const std::string& path, Transfer* transfer) {
  CURL* easy = handles_->easy.get();
  CURLM* multi = handles_->multi.get();
  const std::string url = base_url_ + path;
  const long stall_s = std::max(1L, (stall_limit_ms_ + 999) / 1000);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOBODY, transfer == nullptr ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer);
  curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, stall_s);
  curl_easy_setopt(easy, CURLOPT_ACCEPTTIMEOUT_MS, stall_limit_ms_);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stall_s);
  handles_->StartRequest();

  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  struct Detach {
    CURLM* multi;
    CURL* easy;
    ~Detach() { curl_multi_remove_handle(multi, easy); }
  } detach{multi, easy};

  int running = 1;
  while (true) {
    CURLMcode mc = curl_multi_perform(multi, &running);
    if (mc == CURLM_OK) {
      Pump(transfer);
      if (running == 0) break;
      mc = curl_multi_poll(multi, nullptr, 0, kRefreshMs, nullptr);
    }
    if (mc != CURLM_OK) {
      std::snprintf(handles_->error, sizeof handles_->error, "%s", curl_multi_strerror(mc));
      return CURLE_RECV_ERROR;
    }
  }
  int result = CURLE_OK;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
      result = message->data.result;
    }
  }
  return result;
}

// Keeps the window alive at most every kRefreshMs; during a transfer that is the statistics
// handler, which processes the window's messages itself.
void FtpSession::Impl::Pump(Transfer* transfer) {
  if (transfer != nullptr && transfer->bytes > 0 && !transfer->begun) {
    transfer->begun = true;
    int64_t expected = transfer->retrieval->total();
    if (expected < 0 && handles_->announced_size >= 0) {
      expected = static_cast<int64_t>(held_before_) + handles_->announced_size;
    }
    window_.IdFTP1WorkBegin(expected > 0 ? expected : 0);
  }
  if (!throttle_.Due()) return;
  if (transfer != nullptr && transfer->begun) {
    window_.IdFTP1Work(Shown(*transfer));
  } else {
    window_.ProcessMessages();
  }
}

// The server's own words when its last reply was a refusal, else what went wrong on the way.
std::string FtpSession::Impl::FailureText(int result) const {
  if (handles_->replied && handles_->last_code >= 400) return handles_->last_text;
  if (handles_->error[0] != '\0') return handles_->error;
  return curl_easy_strerror(static_cast<CURLcode>(result));
}

void FtpSession::Impl::IdFTP1AfterGet() { window_.SetProgress(0); }

}  // namespace zepr
