#include "install/install_script.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string_view>

#include "config/ini_file.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"
#include "install/folder_tree.h"
#include "install/install_journal.h"
#include "install/install_recovery.h"
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

// Installs every file of the tree whose name has a dot at the same place under exe_folder.
// Existing read-only files are left as they are.
bool MirrorTree(const std::string& exe_folder, const std::string& tree,
                InstallTransaction& install) {
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
bool Mirror(const std::string& exe_folder, const std::string& tree, InstallTransaction& install) {
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
               Processes& processes, InstallTransaction& install) {
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
    const RecoveryResult earlier = RecoverFromJournal(*journal);
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
                          Processes& processes) {
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

  InstallTransaction install(*journal, exe_folder);
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

}  // namespace zepr
