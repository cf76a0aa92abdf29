#include "app/run_log_file.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "core/connection_text.h"
#include "core/path_text.h"
#include "platform/process.h"

namespace zepr {
namespace {

// "2026-12-11 06:30:15.123"-like local time, with the given separators.
std::string LocalTime(const char* format, bool milliseconds) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  char text[32] = {};
  std::strftime(text, sizeof text, format, std::localtime(&seconds));
  std::string result = text;
  if (milliseconds) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    char part[8];
    std::snprintf(part, sizeof part, ".%03d", static_cast<int>(ms));
    result += part;
  }
  return result;
}

bool IsRunLogName(const std::string& name) {
  return name.size() > 4 && name.ends_with(".log") && name[0] >= '0' && name[0] <= '9';
}

}  // namespace

RunLogFile::RunLogFile(const std::string& exe_folder)
    : transcript_([](const std::string& line) { runlog::Write(line); },
                  WindowTranscript::Style::kLog) {
  const std::string folder = exe_folder + kFolderName;
  if (const std::error_code error = platform::OwnFolder(folder, true)) {
    if (error == std::errc::not_a_directory) {
      std::cerr << "Dnevnik rada se ne piše: " << folder << " nije mapa." << std::endl;
    }
    return;
  }
  std::error_code error;
  const std::string name = LocalTime("%Y-%m-%d_%H-%M-%S", false) + "_" +
                           std::to_string(platform::CurrentProcessId()) + ".log";
  file_ = platform::File::CreateNew(folder + "/" + name, error);
  if (!file_) return;
  path_ = folder + "/" + name;
  PruneRunLogs(folder, name);
  runlog::SetSink([this](std::string_view line) { Append(line); });
}

RunLogFile::~RunLogFile() {
  if (file_) runlog::SetSink(nullptr);
}

void RunLogFile::Append(std::string_view line) {
  std::string text = LocalTime("%Y-%m-%d %H:%M:%S", true) + " [" +
                     std::to_string(platform::CurrentProcessId()) + "] ";
  text += line;
  text += "\r\n";
  // A failed write drops the line; the run does not depend on its log.
  (void)file_.Append(text);
}

std::string ParametersLine(std::string_view version, const std::vector<std::string>& params) {
  std::string line = "ZEPRUpdate " + std::string(version) + ", parametri:";
  for (size_t i = 0; i < params.size(); ++i) {
    line += " " + std::to_string(i + 1) + "=\"" + ConnectionTextForLog(params[i]) + "\"";
  }
  return line;
}

namespace {

const char* Meaning(ExitStatus status) {
  switch (status) {
    case ExitStatus::kCompleted:
      return "završeno";
    case ExitStatus::kFailed:
      return "krivi parametri ili neočekivana greška";
    case ExitStatus::kDownloadFailed:
      return "skidanje nije uspjelo";
    case ExitStatus::kArchiveDamaged:
      return "arhiva je oštećena";
    case ExitStatus::kInstallFailed:
      return "instalacija nije uspjela";
    case ExitStatus::kScriptsFailed:
      return "SQL skripte nisu uspjele";
    case ExitStatus::kDatabaseUnreachable:
      return "baza nije dostupna";
    case ExitStatus::kGroupDatabaseFailed:
      return "nadogradnja neke baze grupe nije uspjela";
    case ExitStatus::kProgramNotStarted:
      return "program nije pokrenut";
    case ExitStatus::kSignatureRefused:
      return "potpis je odbijen";
  }
  return "nepoznato";
}

}  // namespace

std::string SummaryLine(ExitStatus status, const runlog::Tallies& tallies, int64_t elapsed_ms) {
  const int64_t tenths = (std::max<int64_t>(elapsed_ms, 0) + 50) / 100;
  return "kraj: izlazni status " + std::to_string(static_cast<int>(status)) + " (" +
         Meaning(status) + "), zamijenjeno datoteka " + std::to_string(tallies.replaced) +
         ", dodano " + std::to_string(tallies.added) + ", skinuto " +
         std::to_string(tallies.bytes) + " bajtova, SQL skripti " +
         std::to_string(tallies.scripts) + ", trajanje " + std::to_string(tenths / 10) + "," +
         std::to_string(tenths % 10) + " s";
}

void PruneRunLogs(const std::string& folder, const std::string& keep) {
  std::vector<platform::FolderEntry> entries;
  if (platform::ListFolder(folder, entries)) return;
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    if (entry.kind == platform::FolderEntry::Kind::kFile && IsRunLogName(entry.name))
      names.push_back(entry.name);
  }
  std::sort(names.rbegin(), names.rend());  // newest first
  size_t files = 0;
  uintmax_t bytes = 0;
  for (const auto& name : names) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(PathFromUtf8(folder + "/" + name), error);
    ++files;
    bytes += error ? 0 : size;
    if (name != keep && (files > RunLogFile::kMaxFiles || bytes > RunLogFile::kMaxBytes))
      platform::RemoveFile(folder + "/" + name);
  }
}

}  // namespace zepr
