#include "install/install_script.h"

#include <algorithm>
#include <filesystem>

#include "config/ini_file.h"
#include "core/text.h"
#include "install/files.h"

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

std::string OnDisk(const std::string& base, const std::string& relative);

// A folder of the script as written: absolute, or relative to the application's folder
// (where the updater is normally started, so both readings agree).
std::string AsWritten(const std::string& exe_folder, const std::string& path) {
  return path.starts_with('/') ? OnDisk("/", path.substr(1)) : OnDisk(exe_folder, path);
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
    if (exists && !part.empty() && !fs::exists(fs::path(path) / part, ec)) {
      exists = false;
      for (fs::directory_iterator it(path.empty() ? "." : path, ec), stop; !ec && it != stop;
           it.increment(ec)) {
        std::string name = it->path().filename().string();
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

void CreateFolder(const std::string& path) {
  std::error_code ec;
  fs::create_directory(path, ec);
}

// Script copies replace read-only targets too.
void ScriptCopy(const std::string& source, const std::string& target) {
  MakeWritable(target);
  CopyFileReplacing(source, target);
}

bool IsReadOnly(const std::string& path) {
  std::error_code ec;
  const auto status = fs::status(path, ec);
  return !ec && fs::exists(status) &&
         (status.permissions() & fs::perms::owner_write) == fs::perms::none;
}

// Installs every file of the tree whose name has a dot at the same place under exe_folder.
// Existing read-only files are left as they are.
void MirrorTree(const std::string& exe_folder, const std::string& tree) {
  const std::string root = exe_folder + tree + "/";
  for (const auto& entry : CollectFolderTree("*.*", exe_folder + tree)) {
    if (!entry.starts_with(root)) continue;
    const std::string target = OnDisk(exe_folder, entry.substr(root.size()));
    if (entry.ends_with('/')) {
      CreateFolder(target);
      continue;
    }
    if (EqualsAsciiNoCase(fs::path(entry).filename().string(), kInstallScriptName)) continue;
    if (IsReadOnly(target)) continue;
    CopyFileReplacing(entry, target);
  }
}

// A tree unpacked from "UPDATE.ZIP" is the tree "Update" all the same.
void Mirror(const std::string& exe_folder, const std::string& tree) {
  std::vector<std::string> spellings;
  std::error_code ec;
  for (fs::directory_iterator it(exe_folder + "Update", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code type_ec;
    if (NamesEqualNoCase(name, tree) && it->is_directory(type_ec)) spellings.push_back(name);
  }
  std::sort(spellings.begin(), spellings.end());
  for (const auto& spelling : spellings) MirrorTree(exe_folder, "Update/" + spelling);
}

void RunScript(const std::string& exe_folder, const std::string& unpack_folder,
               Processes& processes) {
  const std::string script = unpack_folder + "/" + kInstallScriptName;
  for (const auto& section : IniSekcije(script)) {
    const std::string_view prefix = std::string_view(section).substr(0, 4);
    const std::string rest = section.size() > 4 ? Separators(section.substr(4)) : "";
    if (prefix == "KILL") {
      for (const auto& program : IniSekcijaLista("KILL", script)) processes.StopProgram(program);
    } else if (prefix == "DIR_") {
      const size_t length = CharacterCount(rest);
      if (length > 1) continue;
      for (const auto& value : IniSekcijaLista(section, script)) {
        const std::string folder = Separators(value);
        CreateFolder(length == 0 ? AsWritten(exe_folder, folder) : OnDisk(exe_folder, folder));
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
          const std::string target =
              OnDisk(exe_folder, under.empty() ? file : under + file.substr(0, file.find('#')));
          ScriptCopy(OnDisk(unpack_folder + "/", file), target);
        }
      } else {
        const std::string folder = AsWritten(exe_folder, rest);
        if (!values.empty()) CreateFolder(folder);
        for (const auto& value : values) {
          const std::string file = Separators(value);
          ScriptCopy(OnDisk(unpack_folder + "/", file),
                     folder.ends_with('/') ? OnDisk(folder, file) : folder + file);
        }
      }
    }
  }
}

}  // namespace

InstallResult InstallDato(const std::vector<std::string>& archive_names,
                          const std::string& exe_folder_in, const std::string& app_exe_name,
                          Processes& processes,
                          const std::function<void(size_t)>& /*after_file*/) {
  std::string exe_folder = exe_folder_in;
  if (!exe_folder.ends_with('/')) exe_folder += '/';

  processes.StopProgram(app_exe_name + ".EXE");
  processes.StopProgram(app_exe_name + ".exe");

  for (const auto& name : archive_names) {
    const std::string stem = name.size() > 4 ? Separators(name.substr(0, name.size() - 4)) : "";
    RunScript(exe_folder, OnDisk(exe_folder, "Update/" + stem), processes);
    Mirror(exe_folder, "Update");
    Mirror(exe_folder, "UpdateSpec");
  }
  return {};
}

void RecoverInterruptedInstall(const std::string& /*exe_folder*/) {}

}  // namespace zepr
