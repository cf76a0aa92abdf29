#include "install/install_script.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <unordered_set>

#include "config/ini_file.h"
#include "core/path_text.h"
#include "core/text.h"
#include "install/files.h"
#include "install/install_journal.h"
#include "platform/files.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

// Scripts and names come from Windows, where the backslash separates folders.
std::string Separators(const std::string& text) { return ReplaceAll(text, "\\", "/"); }

size_t CharacterCount(std::string_view utf8) {
  size_t count = 0;
  for (char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// A folder given to the updater ends with a separator or gets one.
std::string WithSeparator(std::string folder) {
  if (!folder.ends_with('/') &&
      !folder.ends_with(static_cast<char>(fs::path::preferred_separator))) {
    folder += '/';
  }
  return folder;
}

// A path's form for comparing: normalised, "/" between the names.
std::string Normal(const std::string& path) {
  const std::u8string text = PathFromUtf8(path).lexically_normal().generic_u8string();
  return std::string(text.begin(), text.end());
}

std::string OnDisk(const std::string& base, const std::string& relative);

// A folder of the script as written: absolute (from the root, on Windows also with a drive or a
// server), or relative to the application's folder (where the updater is normally started, so
// both readings agree).
std::string AsWritten(const std::string& exe_folder, const std::string& path) {
  const fs::path written = PathFromUtf8(path);
  if (!written.has_root_directory()) return OnDisk(exe_folder, path);
  const std::string root = Utf8FromPath(written.root_path());
  return OnDisk(root, path.substr(std::min(root.size(), path.size())));
}

// The files come from Windows, where letter case does not tell names apart: a path that
// exists in another spelling is that path, or an archive would silently install beside the
// application's own files instead of over them. Parts of relative that exist in no spelling
// stay as written.
std::string OnDisk(const std::string& base, const std::string& relative) {
  std::string path = base;
  size_t start = 0;
  bool exists = true;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    std::error_code ec;
    if (exists && !part.empty() && !fs::exists(PathFromUtf8(path) / PathFromUtf8(part), ec)) {
      exists = false;
      for (fs::directory_iterator it(PathFromUtf8(path.empty() ? "." : path), ec), stop;
           !ec && it != stop; it.increment(ec)) {
        std::string name = Utf8FromPath(it->path().filename());
        if (NamesEqualNoCase(name, part) && (exists == false || name < part)) {
          part = std::move(name);
          exists = true;
        }
      }
    }
    path += part;
    if (end < relative.size()) path += '/';
    start = end + 1;
  }
  return path;
}

// The files come from Windows: two names equal without regard to letter case are one file.
// A key that names equal in that sense always share (a few others may share it too).
std::string FoldedKey(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const fs::path p = PathFromUtf8(trimmed);
  std::string key = Normal(Utf8FromPath(p.parent_path()));
  key += '\0';
  for (char c : Utf8FromPath(p.filename())) {
    if (static_cast<unsigned char>(c) < 0x80) key += static_cast<char>(std::tolower(c));
  }
  return key;
}

bool IsReadOnly(const std::string& path) {
  std::error_code ec;
  const auto status = fs::status(PathFromUtf8(path), ec);
  return !ec && fs::exists(status) &&
         (status.permissions() & fs::perms::owner_write) == fs::perms::none;
}

// The changes of one InstallDato, each journaled before it is made, so that a failure, or the
// next start after a crash, puts the application folder back as it was.
//
// Flushing the journal to disk once per file would cost more than copying most files, so files
// go in batches: the records of a batch (each naming its target, its backup and the temporary
// file beside the target) are written with one fdatasync, and only then are the batch's files
// copied and moved into place, the old file into the backup folder first. A record whose
// change never happened is harmless to undo: no backup of that name exists, no new file or
// temporary stands at that name. The new files reach the disk once, at the end, before the
// journal goes.
class Transaction {
 public:
  using Resolve = std::function<std::string()>;

  Transaction(InstallJournal& journal, const std::function<void(size_t)>& after_file)
      : journal_(journal), after_file_(after_file) {}

  // Installs source at the target that resolve names. Script copies replace read-only files;
  // the mirror leaves them. A source that is not a file is passed over. False when the install
  // failed (see failure()).
  bool Copy(const std::string& source, const Resolve& resolve, bool script) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(PathFromUtf8(source), ec))) return true;
    const std::string target = Settled(resolve);
    if (target.empty()) return false;
    if (IsOwn(target) || (!script && IsReadOnly(target))) return true;

    const fs::file_status folder = fs::status(PathFromUtf8(ParentOf(target)), ec);
    if (ec) {
      // A script copy into a folder this installation does not have was always passed over:
      // scripts create their folders in DIR_ sections, and nothing here was about to change.
      if (script && ec == std::errc::no_such_file_or_directory) return true;
      return Fail(target, ec);
    }
    if (!fs::is_directory(folder)) {
      return Fail(target, std::make_error_code(std::errc::not_a_directory));
    }
    const fs::file_status existing = fs::symlink_status(PathFromUtf8(target), ec);
    const bool exists = !ec;
    if (!exists && ec != std::errc::no_such_file_or_directory) return Fail(target, ec);
    if (exists && fs::is_directory(existing)) {
      return Fail(target, std::make_error_code(std::errc::is_a_directory));
    }

    // Written a second time (script copy, then mirror): the first record keeps the original.
    const bool first = touched_.insert(Normal(target)).second;
    Planned file{source, target, TemporaryBeside(target), "", script};
    if (first) {
      if (exists) file.backup = "b" + std::to_string(++backups_);
      journal_.Add({exists ? JournalRecord::Kind::kReplaced : JournalRecord::Kind::kNewFile, target,
                    file.backup, file.temporary});
    }
    batch_.push_back(std::move(file));
    batch_names_.insert(FoldedKey(target));
    return batch_.size() < kBatchFiles || Flush();
  }

  // Creates the folder that resolve names unless something exists there. A folder that cannot
  // be created is passed over: the copies that need it fail. Its record reaches the disk with
  // the batch of the first file put into it, before that file: a crash before then can leave
  // only an empty folder, and waiting for the disk once per folder would cost more than the
  // copies.
  bool CreateFolder(const Resolve& resolve) {
    const std::string folder = Settled(resolve);
    if (folder.empty()) return false;
    std::error_code ec;
    if (IsOwn(folder) || fs::exists(fs::symlink_status(PathFromUtf8(folder), ec))) {
      return failure_.ok;
    }
    journal_.Add({JournalRecord::Kind::kFolder, folder, "", ""});
    fs::create_directory(PathFromUtf8(folder), ec);
    return true;
  }

  // Makes the batch's changes.
  bool Flush() {
    if (!failure_.ok) return false;
    if (auto error = journal_.Flush()) {
      return Fail(batch_.empty() ? journal_.path() : batch_.front().target, error);
    }
    for (const auto& file : batch_) {
      platform::RemoveFile(file.temporary);
      if (auto error = CopyFileAs(file.source, file.temporary, file.target, file.script)) {
        return Fail(file.target, error);
      }
      if (!file.backup.empty()) {
        const std::string backup = journal_.backup_folder() + file.backup;
        // A target on another file system than the backup folder is backed up by a copy.
        if (std::error_code error = platform::Rename(file.target, backup)) {
          if (platform::OnAnotherFileSystem(error)) {
            error = journal_.BackUp(file.target, file.backup);
          }
          if (error) return Fail(file.target, error);
        }
      }
      if (auto error = platform::Rename(file.temporary, file.target)) {
        return Fail(file.target, error);
      }
      if (!Installed()) return false;
    }
    batch_.clear();
    batch_names_.clear();
    return true;
  }

  const InstallResult& failure() const { return failure_; }

 private:
  // Bounds the journal records written ahead of their changes.
  static constexpr size_t kBatchFiles = 256;

  struct Planned {
    std::string source;
    std::string target;
    std::string temporary;
    std::string backup;  // where the old file goes; empty when it is already kept
    bool script;
  };

  static std::string ParentOf(const std::string& path) {
    const std::string parent = Utf8FromPath(PathFromUtf8(path).parent_path());
    return parent.empty() ? "." : parent;
  }

  // The target as the disk will show it once the batch is made: a name of the batch in
  // another letter case is found on disk only after that.
  std::string Settled(const Resolve& resolve) {
    std::string target = resolve();
    if (batch_names_.contains(FoldedKey(target))) {
      if (!Flush()) return {};
      target = resolve();
    }
    return target;
  }

  // The install's own journal and backups are never a target.
  bool IsOwn(const std::string& path) const {
    const std::string normal = Normal(path);
    return normal == Normal(journal_.path()) ||
           (normal + "/").starts_with(Normal(journal_.backup_folder()));
  }

  bool Installed() {
    ++installed_;
    if (after_file_) after_file_(installed_);
    return true;
  }

  bool Fail(const std::string& file, const std::error_code& error) {
    if (failure_.ok) failure_ = {false, file, error.message()};
    return false;
  }

  InstallJournal& journal_;
  const std::function<void(size_t)>& after_file_;
  std::vector<Planned> batch_;
  std::unordered_set<std::string> batch_names_;
  std::unordered_set<std::string> touched_;
  size_t backups_ = 0;
  size_t installed_ = 0;
  InstallResult failure_;
};

// Installs every file of the tree whose name has a dot at the same place under exe_folder.
// Existing read-only files are left as they are.
bool MirrorTree(const std::string& exe_folder, const std::string& tree, Transaction& install) {
  const std::string root = exe_folder + tree + "/";
  for (const auto& entry : CollectFolderTree("*.*", exe_folder + tree)) {
    if (!entry.starts_with(root)) continue;
    const auto target = [&] { return OnDisk(exe_folder, entry.substr(root.size())); };
    if (entry.ends_with('/')) {
      if (!install.CreateFolder(target)) return false;
      continue;
    }
    if (EqualsAsciiNoCase(Utf8FromPath(PathFromUtf8(entry).filename()), kInstallScriptName)) {
      continue;
    }
    if (!install.Copy(entry, target, false)) return false;
  }
  return true;
}

// A tree unpacked from "UPDATE.ZIP" is the tree "Update" all the same.
bool Mirror(const std::string& exe_folder, const std::string& tree, Transaction& install) {
  std::vector<std::string> spellings;
  std::error_code ec;
  for (fs::directory_iterator it(PathFromUtf8(exe_folder + "Update"), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = Utf8FromPath(it->path().filename());
    std::error_code type_ec;
    if (NamesEqualNoCase(name, tree) && it->is_directory(type_ec)) spellings.push_back(name);
  }
  std::sort(spellings.begin(), spellings.end());
  for (const auto& spelling : spellings) {
    if (!MirrorTree(exe_folder, "Update/" + spelling, install)) return false;
  }
  return true;
}

bool RunScript(const std::string& exe_folder, const std::string& unpack_folder,
               Processes& processes, Transaction& install) {
  const std::string script = unpack_folder + "/" + kInstallScriptName;
  for (const auto& section : IniSekcije(script)) {
    const std::string_view prefix = std::string_view(section).substr(0, 4);
    const std::string rest = section.size() > 4 ? Separators(section.substr(4)) : "";
    if (prefix == "KILL") {
      // The copies before it are made before the programs stop, as the script says.
      if (!install.Flush()) return false;
      for (const auto& program : IniSekcijaLista("KILL", script)) processes.StopProgram(program);
    } else if (prefix == "DIR_") {
      const size_t length = CharacterCount(rest);
      if (length > 1) continue;
      for (const auto& value : IniSekcijaLista(section, script)) {
        const std::string folder = Separators(value);
        if (!install.CreateFolder([&] {
              return length == 0 ? AsWritten(exe_folder, folder) : OnDisk(exe_folder, folder);
            })) {
          return false;
        }
      }
    } else if (prefix == "CPY_") {
      // Without a target the section has no meaning; it is skipped.
      if (rest.empty()) continue;
      const auto values = IniSekcijaLista(section, script);
      if (rest.starts_with('.')) {
        const std::string under = rest.substr(1);
        for (const auto& value : values) {
          const std::string file = Separators(value);
          // A variant "Racun.rpt#B" installs as "Racun.rpt".
          const auto target = [&] {
            return OnDisk(exe_folder,
                          under.empty() ? file : under + file.substr(0, file.find('#')));
          };
          if (!install.Copy(OnDisk(unpack_folder + "/", file), target, true)) return false;
        }
      } else {
        const auto folder = [&] { return AsWritten(exe_folder, rest); };
        if (!values.empty() && !install.CreateFolder(folder)) return false;
        for (const auto& value : values) {
          const std::string file = Separators(value);
          const auto target = [&] {
            const std::string at = folder();
            return at.ends_with('/') ? OnDisk(at, file) : at + file;
          };
          if (!install.Copy(OnDisk(unpack_folder + "/", file), target, true)) return false;
        }
      }
    }
  }
  return true;
}

// The journal of a new install, after undoing one that was interrupted.
std::unique_ptr<InstallJournal> BeginJournal(const std::string& update_folder,
                                             std::error_code& error) {
  for (;;) {
    auto journal = InstallJournal::Take(update_folder, true, error);
    if (!journal) return nullptr;
    if (journal->records().empty()) {
      error = journal->Begin();
      return error ? nullptr : std::move(journal);
    }
    journal->Undo();
    journal->Finish();
  }
}

}  // namespace

InstallResult InstallDato(const std::vector<std::string>& archive_names,
                          const std::string& exe_folder_in, const std::string& app_exe_name,
                          Processes& processes, const std::function<void(size_t)>& after_file) {
  const std::string exe_folder = WithSeparator(exe_folder_in);

  processes.StopProgram(app_exe_name + ".EXE");
  processes.StopProgram(app_exe_name + ".exe");
  if (archive_names.empty()) return {};

  const std::string update_folder = exe_folder + "Update/";
  std::error_code made_error;
  const bool made_update_folder = fs::create_directory(PathFromUtf8(update_folder), made_error);
  std::error_code error;
  auto journal = BeginJournal(update_folder, error);
  if (!journal) return {false, update_folder + InstallJournal::kJournalName, error.message()};

  Transaction install(*journal, after_file);
  if (after_file) after_file(0);
  bool ok = true;
  for (const auto& name : archive_names) {
    const std::string stem = Separators(UnpackFolderName(name));
    ok = RunScript(exe_folder, OnDisk(exe_folder, "Update/" + stem), processes, install) &&
         Mirror(exe_folder, "Update", install) && Mirror(exe_folder, "UpdateSpec", install);
    if (!ok) break;
  }
  ok = ok && install.Flush();
  if (!ok) journal->Undo();
  journal->Finish();
  journal.reset();
  if (made_update_folder) platform::RemoveEmptyFolder(update_folder);
  return ok ? InstallResult{} : install.failure();
}

std::string UnpackFolderName(const std::string& archive_name) {
  // Counted in characters, so a name ending in "š.zip" is not cut inside its "š".
  size_t end = archive_name.size();
  for (int dropped = 0; dropped < 4 && end > 0; ++dropped) {
    do {
      --end;
    } while (end > 0 && (static_cast<unsigned char>(archive_name[end]) & 0xC0) == 0x80);
  }
  return archive_name.substr(0, end);
}

void RecoverInterruptedInstall(const std::string& exe_folder_in) {
  const std::string update_folder = WithSeparator(exe_folder_in) + "Update/";
  std::error_code ec;
  if (!fs::exists(PathFromUtf8(update_folder + InstallJournal::kJournalName), ec) &&
      !fs::exists(PathFromUtf8(update_folder + InstallJournal::kBackupName), ec)) {
    return;
  }
  // Held by another updater: that install is running now, not interrupted.
  auto journal = InstallJournal::Take(update_folder, false, ec);
  if (!journal) return;
  journal->Undo();
  journal->Finish();
}

}  // namespace zepr
