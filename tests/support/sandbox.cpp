#include "support/sandbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace zepr::testing {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zepr-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> ListFolder(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::filesystem::path BuildDir() {
  const char* v = std::getenv("ZEPR_BUILD_DIR");
  return v ? std::filesystem::path(v) : std::filesystem::current_path();
}

std::filesystem::path SourceDir() {
  const char* v = std::getenv("ZEPR_SOURCE_DIR");
  return v ? std::filesystem::path(v) : std::filesystem::current_path();
}

ProcessResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env_changes,
                         const std::filesystem::path& cwd) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    env[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
  }
  for (const auto& change : env_changes) {
    auto eq = change.find('=');
    std::string name = change.substr(0, eq);
    std::string value = change.substr(eq + 1);
    if (value.empty()) {
      env.erase(name);
    } else {
      env[name] = value;
    }
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::string dir = cwd.string();
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  ProcessResult result;
  if (rc != 0) {
    close(pipe_fds[0]);
    result.output = "spawn failed";
    return result;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) result.output.append(buf, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string FindProgram(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string rest = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(':', start);
    if (end == std::string::npos) end = rest.size();
    const std::string dir = rest.substr(start, end - start);
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
      return dir + "/" + program;
    }
    start = end + 1;
  }
  return "";
}

std::vector<std::pair<std::string, std::string>> Tree(const std::filesystem::path& folder) {
  std::vector<std::pair<std::string, std::string>> entries;
  namespace fs = std::filesystem;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const auto status = fs::symlink_status(entry.path());
    const std::string name = fs::relative(entry.path(), folder).generic_string();
    const std::string mode = "mode " + std::to_string(static_cast<int>(status.permissions()));
    if (fs::is_directory(status)) {
      entries.emplace_back(name + "/", mode);
    } else {
      const std::string bytes = ReadFile(entry.path());
      entries.emplace_back(name, mode + ", " + std::to_string(bytes.size()) + " bytes, digest " +
                                     std::to_string(std::hash<std::string>{}(bytes)));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace zepr::testing
