#include "install/install_script.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "config/ini_file.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"
#include "install/file_copy.h"
#include "install/folder_tree.h"
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

// A normal path's folder ("" for a bare name) and name; nullopt where the path library decides
// (a root, a drive and what is right below it, a name "." or "..").
std::optional<std::pair<std::string, std::string>> Split(const std::string& normal) {
  const size_t slash = normal.rfind('/');
  std::string name = normal.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t colon = normal.find(':');
  if (name.empty() || name == "." || name == ".." ||
      (colon != std::string::npos && (colon != 1 || slash == std::string::npos || slash <= 2))) {
    return std::nullopt;
  }
  std::string folder =
      slash == std::string::npos ? "" : normal.substr(0, std::max<size_t>(slash, 1));
  return std::pair(std::move(folder), std::move(name));
}

// ParentFolder(path), without the path library where the normal form needs none.
std::string ParentOf(const std::string& path) {
  const std::string normal = NormalPath(path);
  const auto split = Split(normal);
  if (!split) return ParentFolder(path);
  return split->first.empty() ? "." : split->first;
}

// IsWithin for paths in normal form.
bool Within(const std::string& normal, const std::string& root) {
  return normal.size() > root.size() && normal.starts_with(root) && normal[root.size()] == '/';
}

bool IsReadOnly(const std::string& path) {
  std::error_code ec;
  const auto status = fs::status(PathFromUtf8(path), ec);
  return !ec && fs::exists(status) &&
         (status.permissions() & fs::perms::owner_write) == fs::perms::none;
}

constexpr const char* kLeavesFolderText = "putanja vodi izvan mape aplikacije";

// What the folders an install touches hold, each read from the disk once and kept current with
// the install's own changes: the files come from Windows, where letter case does not tell names
// apart, and looking for another spelling of each new name in a large folder would cost a
// listing of that folder per file.
class FolderIndex {
 public:
  using Kind = platform::FolderEntry::Kind;

  // What stands at path; nullopt when nothing. An error when its folder cannot be listed.
  std::optional<Kind> Find(const std::string& path, std::error_code& error) {
    std::string folder, name;
    if (!FolderAndName(path, folder, name)) {
      const fs::path root = PathFromUtf8(NormalPath(path));
      return fs::is_directory(root, error) ? std::optional(Kind::kFolder) : std::nullopt;
    }
    const Listing* listing = Of(folder, error);
    if (listing == nullptr) return std::nullopt;
    const auto found = listing->names.find(name);
    if (found == listing->names.end()) return std::nullopt;
    return found->second;
  }

  // base + relative, each part of relative that exists in another spelling spelled as it
  // exists (the first in name order); parts that exist in no spelling stay as written, and so
  // does the rest after them. Empty with error when a folder cannot be listed.
  std::string OnDisk(const std::string& base, const std::string& relative, std::error_code& error) {
    std::string path = base;
    bool exists = true;
    for (size_t start = 0; start <= relative.size();) {
      size_t end = relative.find('/', start);
      if (end == std::string::npos) end = relative.size();
      std::string part = relative.substr(start, end - start);
      if (exists && !part.empty() && part != "." && part != "..") {
        const Listing* listing = Of(path.empty() ? "." : path, error);
        if (listing == nullptr) return {};
        if (!listing->names.contains(part)) {
          const auto spelling = listing->spellings.find(FoldedName(part));
          if (spelling == listing->spellings.end()) {
            exists = false;
          } else {
            part = spelling->second;
          }
        }
      }
      path += part;
      if (end < relative.size()) path += '/';
      start = end + 1;
    }
    return path;
  }

  // A name the install is about to make.
  void Add(const std::string& path, Kind kind) {
    std::string folder, name;
    std::error_code error;
    if (!FolderAndName(path, folder, name)) return;
    if (Listing* listing = Of(folder, error)) listing->Add(name, kind);
  }

 private:
  struct Listing {
    std::unordered_map<std::string, Kind> names;
    std::unordered_map<std::u32string, std::string> spellings;
    void Add(const std::string& name, Kind kind) {
      names.emplace(name, kind);
      auto [at, added] = spellings.emplace(FoldedName(name), name);
      if (!added && PathFromUtf8(name) < PathFromUtf8(at->second)) at->second = name;
    }
  };

  // The folder that holds path and its name there; false for a root (or a path ending in "..").
  static bool FolderAndName(const std::string& path, std::string& folder, std::string& name) {
    const std::string normal = NormalPath(path);
    if (auto split = Split(normal)) {
      folder = std::move(split->first);
      name = std::move(split->second);
      return true;
    }
    const fs::path parsed = PathFromUtf8(normal);
    if (!parsed.has_relative_path() || parsed.filename() == "..") return false;
    folder = Utf8FromPath(parsed.parent_path());
    name = Utf8FromPath(parsed.filename());
    return true;
  }

  // A folder that does not exist lists nothing; one that cannot be listed gives nullptr.
  Listing* Of(const std::string& folder, std::error_code& error) {
    const std::string key = NormalPath(folder);
    if (auto found = folders_.find(key); found != folders_.end()) return &found->second;
    std::vector<platform::FolderEntry> entries;
    error = platform::ListFolder(key, entries);
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
      error.clear();
      entries.clear();
    }
    if (error) return nullptr;
    Listing& listing = folders_[key];
    for (const auto& entry : entries) listing.Add(entry.name, entry.kind);
    return &listing;
  }

  std::unordered_map<std::string, Listing> folders_;
};

// The changes of one InstallDato, each journaled before it is made, so that a failure, or the
// next start after a crash, puts the application folder back as it was.
//
// Flushing the journal to disk once per file would cost more than copying most files, so files
// go in batches: the records of a batch (each naming its target, its backup and the temporary
// file beside the target) are written with one fdatasync, and only then are the batch's folders
// made and its files copied and moved into place, the old file into the backup folder first. A
// record whose change never happened is harmless to undo: no backup of that name exists, no new
// file, folder or temporary stands at that name. The new files reach the disk once, at the end,
// before the journal goes.
class Transaction {
 public:
  Transaction(InstallJournal& journal, std::string exe_folder,
              const std::function<void(size_t)>& after_file)
      : journal_(journal),
        exe_folder_(std::move(exe_folder)),
        app_(NormalPath(exe_folder_)),
        own_journal_(NormalPath(journal.path())),
        own_backups_(NormalPath(journal.backup_folder())),
        own_leftovers_(NormalPath(journal.leftover_folder())),
        after_file_(after_file) {}

  // base + relative as the disk spells it (see FolderIndex::OnDisk); empty when the install
  // failed.
  std::string Resolve(const std::string& base, const std::string& relative) {
    std::error_code error;
    std::string path = index_.OnDisk(base, relative, error);
    if (error) Fail(base + relative, error);
    return path;
  }

  // A folder of the script as written: absolute (from the root, on Windows also with a drive or
  // a server), or relative to the application's folder (where the updater is normally started,
  // so both readings agree).
  std::string AsWritten(const std::string& path) {
    const fs::path written = PathFromUtf8(path);
    if (!written.has_root_directory()) return Resolve(exe_folder_, path);
    const std::string root = Utf8FromPath(written.root_path());
    return Resolve(root, path.substr(std::min(root.size(), path.size())));
  }

  // Installs source at target. Script copies replace read-only files; the mirror leaves them.
  // A source that is not a file is passed over. Only a target of the script's absolute forms
  // (may_leave) lies outside the application folder. False when the install failed (see
  // failure()).
  bool Copy(const std::string& source, const std::string& target, bool script, bool may_leave) {
    if (target.empty() || !failure_.ok) return false;
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(PathFromUtf8(source), ec))) return true;
    const std::string normal = NormalPath(target);
    if (!may_leave && !Within(normal, app_)) return Fail(target, kLeavesFolderText);
    if (IsOwn(normal)) return true;

    const std::string parent = ParentOf(target);
    std::optional<Kind> folder = index_.Find(parent, ec);
    if (ec) return Fail(target, ec);
    if (folder == Kind::kLink) {
      folder = fs::is_directory(PathFromUtf8(parent), ec) ? Kind::kFolder : Kind::kOther;
    }
    // A script copy into a folder this installation does not have was always passed over:
    // scripts create their folders in DIR_ sections, and nothing here was about to change.
    if (!folder && script) return true;
    if (!folder) return Fail(target, std::make_error_code(std::errc::no_such_file_or_directory));
    if (*folder != Kind::kFolder) {
      return Fail(target, std::make_error_code(std::errc::not_a_directory));
    }
    const std::optional<Kind> existing = index_.Find(target, ec);
    if (ec) return Fail(target, ec);
    if (existing == Kind::kFolder) {
      return Fail(target, std::make_error_code(std::errc::is_a_directory));
    }
    if (existing && !script && IsReadOnly(target)) return true;

    // Written a second time (script copy, then mirror): the first record keeps the original.
    const bool first = touched_.insert(normal).second;
    Planned file{source, target, TemporaryBeside(target), "", existing.has_value()};
    if (first) {
      if (existing) file.backup = "b" + std::to_string(++backups_);
      journal_.Add({existing ? JournalRecord::Kind::kReplaced : JournalRecord::Kind::kNewFile,
                    target, file.backup, file.temporary});
    }
    index_.Add(target, Kind::kFile);
    batch_.push_back(std::move(file));
    return batch_.size() < kBatchFiles || Flush();
  }

  // Creates the folder unless something exists there; one level at a time, so a folder whose
  // parent is missing is passed over (the copies that need it fail). The folder is made with
  // the batch, once its record is on disk: then an interrupted install never leaves it behind.
  bool CreateFolder(const std::string& folder, bool may_leave) {
    if (folder.empty() || !failure_.ok) return false;
    const std::string normal = NormalPath(folder);
    if (!may_leave && !Within(normal, app_)) return Fail(folder, kLeavesFolderText);
    std::error_code ec;
    if (IsOwn(normal) || index_.Find(folder, ec) || ec || !index_.Find(ParentOf(folder), ec)) {
      return true;
    }
    journal_.Add({JournalRecord::Kind::kFolder, folder, "", ""});
    folders_.push_back(folder);
    index_.Add(folder, Kind::kFolder);
    return true;
  }

  // Makes the batch's changes.
  bool Flush() {
    if (!failure_.ok) return false;
    if (auto error = journal_.Flush()) {
      return Fail(batch_.empty() ? journal_.path() : batch_.front().target, error);
    }
    for (const auto& folder : folders_) {
      std::error_code ec;
      fs::create_directory(PathFromUtf8(folder), ec);
      runlog::Write("napravljena mapa: " + folder);
    }
    folders_.clear();
    for (const auto& file : batch_) {
      const std::string replaced = file.replaces ? file.target : "";
      std::error_code error = platform::CopyFileAs(file.source, file.temporary, replaced, false);
      // A failed copy leaves nothing at the temporary's name: what stands there was left by an
      // install killed midway.
      if (error && !platform::RemoveFile(file.temporary)) {
        error = platform::CopyFileAs(file.source, file.temporary, replaced, false);
      }
      if (error) return Fail(file.target, error);
      if (!file.backup.empty()) {
        const std::string backup = journal_.BackupPath(file.backup);
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
      runlog::Write((file.replaces ? "zamijenjena datoteka: " : "dodana datoteka: ") + file.target);
      ++installed_;
      ++(file.replaces ? replaced_ : added_);
      if (after_file_) after_file_(installed_);
    }
    batch_.clear();
    return true;
  }

  bool Fail(const std::string& file, const std::error_code& error) {
    return Fail(file, error.message());
  }
  bool Fail(const std::string& file, const std::string& reason) {
    if (failure_.ok) {
      failure_ = {false, file, reason};
      runlog::Write("instalacija nije uspjela: " + file + ": " + reason);
    }
    return false;
  }

  const InstallResult& failure() const { return failure_; }
  void CountInstalled() const {
    runlog::Count(runlog::Tally::kFilesReplaced, replaced_);
    runlog::Count(runlog::Tally::kFilesAdded, added_);
  }

 private:
  using Kind = FolderIndex::Kind;

  // Bounds the journal records written ahead of their changes.
  static constexpr size_t kBatchFiles = 256;

  struct Planned {
    std::string source;
    std::string target;
    std::string temporary;
    std::string backup;  // where the old file goes; empty when it is already kept
    bool replaces;       // something stood at target when the copy was planned
  };

  // The install's own journal, backups and leftovers are never a target.
  bool IsOwn(const std::string& normal) const {
    return normal == own_journal_ || normal == own_backups_ || Within(normal, own_backups_) ||
           normal == own_leftovers_ || Within(normal, own_leftovers_);
  }

  InstallJournal& journal_;
  const std::string exe_folder_;
  const std::string app_, own_journal_, own_backups_, own_leftovers_;  // normal forms
  const std::function<void(size_t)>& after_file_;
  FolderIndex index_;
  std::vector<Planned> batch_;
  std::vector<std::string> folders_;  // made with the batch
  std::unordered_set<std::string> touched_;
  size_t backups_ = 0;
  size_t installed_ = 0;
  uint64_t replaced_ = 0;
  uint64_t added_ = 0;
  InstallResult failure_;
};

// Installs every file of the tree whose name has a dot at the same place under exe_folder.
// Existing read-only files are left as they are.
bool MirrorTree(const std::string& exe_folder, const std::string& tree, Transaction& install) {
  const std::string root = exe_folder + tree + "/";
  std::error_code error;
  const auto entries = CollectFolderTree("*.*", exe_folder + tree, &error);
  // A tree read in part would install in part.
  if (error) return install.Fail(exe_folder + tree, error);
  for (const auto& entry : entries) {
    if (!entry.starts_with(root)) continue;
    const std::string target = install.Resolve(exe_folder, entry.substr(root.size()));
    if (entry.ends_with('/')) {
      if (!install.CreateFolder(target, false)) return false;
      continue;
    }
    if (EqualsAsciiNoCase(Utf8FromPath(PathFromUtf8(entry).filename()), kInstallScriptName)) {
      continue;
    }
    if (!install.Copy(entry, target, false, false)) return false;
  }
  return true;
}

// A tree unpacked from "UPDATE.ZIP" is the tree "Update" all the same.
bool Mirror(const std::string& exe_folder, const std::string& tree, Transaction& install) {
  std::vector<platform::FolderEntry> entries;
  const std::error_code error = platform::ListFolder(exe_folder + "Update", entries);
  if (error && error != std::errc::no_such_file_or_directory) {
    return install.Fail(exe_folder + "Update", error);
  }
  std::vector<std::string> spellings;
  for (const auto& entry : entries) {
    if (entry.kind == platform::FolderEntry::Kind::kFolder && NamesEqualNoCase(entry.name, tree)) {
      spellings.push_back(entry.name);
    }
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
        const bool written = length == 0;
        if (!install.CreateFolder(
                written ? install.AsWritten(folder) : install.Resolve(exe_folder, folder),
                written)) {
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
          const std::string target = install.Resolve(
              exe_folder, under.empty() ? file : under + file.substr(0, file.find('#')));
          if (!install.Copy(install.Resolve(unpack_folder + "/", file), target, true, false)) {
            return false;
          }
        }
      } else {
        const std::string folder = install.AsWritten(rest);
        if (!values.empty() && !install.CreateFolder(folder, true)) return false;
        for (const auto& value : values) {
          const std::string file = Separators(value);
          const std::string target =
              folder.ends_with('/') ? install.Resolve(folder, file) : folder + file;
          if (!install.Copy(install.Resolve(unpack_folder + "/", file), target, true, true)) {
            return false;
          }
        }
      }
    }
  }
  return true;
}

// Undoes what an interrupted install left. A backup that could not be put back stays, with the
// journal that tells where it belongs.
RecoveryResult Recover(InstallJournal& journal) {
  // The journal is removed when an install completes, before its backups: backups without
  // records are those of a completed install.
  if (journal.records().empty() && journal.doubt().empty()) {
    journal.Finish();
    return {};
  }
  RecoveryResult result;
  result.found = true;
  const UndoResult undo = journal.Undo();
  result.complete = undo.complete && journal.doubt().empty();
  result.reason = journal.doubt().empty() ? undo.reason : journal.doubt();
  std::error_code error;
  if (!undo.backups_kept) error = journal.Finish();
  if (undo.backups_kept || error) {
    journal.Keep();
    result.complete = false;
    result.kept_in = journal.backup_folder();
    if (result.reason.empty()) result.reason = error.message();
  }
  return result;
}

// The journal of a new install, after undoing one that was interrupted; nullptr with the
// failure set when there can be none.
std::unique_ptr<InstallJournal> BeginJournal(const std::string& update_folder,
                                             InstallResult& failure) {
  for (;;) {
    std::error_code error;
    auto journal = InstallJournal::Take(update_folder, true, error);
    if (journal && !journal->HasWork()) {
      error = journal->Begin();
      if (!error) return journal;
    }
    if (error) {
      failure = {false, update_folder + InstallJournal::kJournalName, error.message()};
      return nullptr;
    }
    const RecoveryResult earlier = Recover(*journal);
    if (!earlier.kept_in.empty()) {
      failure = {false, journal->path(),
                 std::string(kEarlierInstallNotUndoneText) + ": " + earlier.reason,
                 earlier.kept_in};
      return nullptr;
    }
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
  InstallResult result;
  auto journal = BeginJournal(update_folder, result);
  if (!journal) return result;

  Transaction install(*journal, exe_folder, after_file);
  if (after_file) after_file(0);
  bool ok = true;
  for (const auto& name : archive_names) {
    const std::string stem = Separators(UnpackFolderName(name));
    const std::string unpack_folder = install.Resolve(exe_folder, "Update/" + stem);
    ok = !unpack_folder.empty() && RunScript(exe_folder, unpack_folder, processes, install) &&
         Mirror(exe_folder, "Update", install) && Mirror(exe_folder, "UpdateSpec", install);
    if (!ok) break;
  }
  ok = ok && install.Flush();
  if (!ok) result = install.failure();
  if (ok) {
    // A commit the disk may not keep is no commit: the old files go back instead.
    if (auto error = journal->Finish()) {
      ok = false;
      result = {false, journal->path(), error.message()};
    }
  }
  // Only files that stay count; a rolled-back install leaves none.
  if (ok) install.CountInstalled();
  if (!ok) {
    const UndoResult undo = journal->Undo();
    std::error_code error;
    if (!undo.backups_kept) error = journal->Finish();
    if (undo.backups_kept || error) {
      journal->Keep();
      result.kept_in = journal->backup_folder();
    }
    runlog::Write(result.kept_in.empty()
                      ? "instalacija poništena, vraćene su prijašnje datoteke"
                      : "instalacija nije poništena do kraja, prijašnje datoteke su u " +
                            result.kept_in + ": " + undo.reason);
  }
  journal.reset();
  if (made_update_folder) platform::RemoveEmptyFolder(update_folder);
  return result;
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

bool InterruptedInstallLeft(const std::string& exe_folder) {
  const std::string update_folder = WithSeparator(exe_folder) + "Update/";
  std::error_code journal_missing, backups_missing;
  platform::KindOf(update_folder + InstallJournal::kJournalName, journal_missing);
  platform::KindOf(update_folder + InstallJournal::kBackupName, backups_missing);
  return !journal_missing || !backups_missing;
}

RecoveryResult RecoverInterruptedInstall(const std::string& exe_folder_in) {
  if (!InterruptedInstallLeft(exe_folder_in)) return {};
  const std::string update_folder = WithSeparator(exe_folder_in) + "Update/";
  std::error_code error;
  auto journal = InstallJournal::Take(update_folder, false, error);
  if (error)
    return {true, false, "", update_folder + InstallJournal::kJournalName + ": " + error.message()};
  // Held by another updater: that install is running now, not interrupted.
  if (!journal) return {};
  return Recover(*journal);
}

void RemoveInstallLeftovers(const std::string& exe_folder) {
  // Nothing in it is needed, so no lock is taken: an install that sets a file aside meanwhile
  // may find the folder gone, and the file stays in its backup folder for the next one.
  platform::RemoveTree(WithSeparator(exe_folder) + "Update/" + InstallJournal::kLeftoverName);
}

}  // namespace zepr
