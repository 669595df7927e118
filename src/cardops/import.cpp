// Bringing voice recordings home (import.h).
#include "import.h"


#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

#include "platform.h"
#include "sha256.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRecordName = ".zk27-imports";

bool Digits(const std::string& s, std::size_t from, std::size_t n) {
  if (s.size() < from + n) return false;
  for (std::size_t i = from; i < from + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

std::string ImportToday() {
  const std::time_t now = std::time(nullptr);
  const std::tm local = platform::LocalTime(now);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

void DateImportedFile(const std::string& path, const std::string& day) {
  std::tm local{};
  local.tm_year = std::stoi(day.substr(0, 4)) - 1900;
  local.tm_mon = std::stoi(day.substr(5, 2)) - 1;
  local.tm_mday = std::stoi(day.substr(8, 2));
  local.tm_hour = 12;  // noon: the same day in every zone the file travels to
  local.tm_isdst = -1;
  platform::SetFileTime(path, std::mktime(&local));
}

namespace {

std::string Recordings(int n) { return std::to_string(n) + (n == 1 ? " recording" : " recordings"); }

}  // namespace

namespace {

// A whole line of the record: five fields, a hash of 64 hex digits first.
bool WholeRecordLine(const std::string& line) {
  if (std::count(line.begin(), line.end(), '\t') != 4 || line.find('\t') != 64) return false;
  return std::all_of(line.begin(), line.begin() + 64,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::vector<std::string> ReadImportRecord(const std::string& folder) {
  std::vector<std::string> hashes;
  std::ifstream in(platform::PathOf(folder) / kRecordName);
  std::string line;
  // A line cut by a crash or a full disk (no newline, or fewer fields) names
  // nothing proven.
  while (std::getline(in, line))
    if (!in.eof() && WholeRecordLine(line)) hashes.push_back(line.substr(0, 64));
  return hashes;
}

bool AppendImportRecord(const std::string& folder, const std::string& sha256, const std::string& cardName,
                        std::uint32_t size, const std::string& where, const std::string& when) {
  const std::string path = platform::TextOf(platform::PathOf(folder) / kRecordName);
  const int fd = platform::OpenFile(path, platform::kAppend);
  if (fd < 0) return false;
  platform::FileState st;
  char last = '\n';
  const bool known =
      platform::StateOf(fd, &st) && (st.size == 0 || platform::ReadAt(fd, &last, 1, st.size - 1) == 1);
  // A line an earlier run was cut in keeps to itself: the new one starts on
  // a line of its own.
  std::string line = last == '\n' ? std::string() : std::string("\n");
  line += sha256 + '\t' + cardName + '\t' + std::to_string(size) + '\t' + where + '\t' + when + '\n';
  bool whole = known && platform::WriteAll(fd, line.data(), line.size());
  // Half a line is taken back, so that what follows is not glued to it.
  if (!whole && known && !platform::SetFileSize(fd, st.size)) whole = false;
  const bool synced = platform::FlushFile(fd);
  return platform::CloseFile(fd) && whole && synced;
}

std::string ImportDay(const std::string& cardName, const std::string& today) {
  // yymmddNNN.voc
  if (Digits(cardName, 0, 9) && cardName.size() >= 9) {
    const int month = std::stoi(cardName.substr(2, 2));
    const int day = std::stoi(cardName.substr(4, 2));
    if (month >= 1 && month <= 12 && day >= 1 && day <= 31)
      return "20" + cardName.substr(0, 2) + "-" + cardName.substr(2, 2) + "-" + cardName.substr(4, 2);
  }
  return today;
}

std::string FreeNameIn(const std::string& dir, const std::string& name) {
  std::error_code ec;
  if (!fs::exists(platform::PathOf(dir) / platform::PathOf(name), ec)) return name;
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string kind = dot == std::string::npos ? std::string() : name.substr(dot);
  for (int n = 2;; ++n) {
    const std::string candidate = stem + "-" + std::to_string(n) + kind;
    if (!fs::exists(platform::PathOf(dir) / platform::PathOf(candidate), ec)) return candidate;
  }
}

std::string ImportSummaryLine(const ImportReport& report) {
  std::string line = Recordings(report.imported) + " imported (" + HumanSize(report.importedBytes) + ")";
  if (report.freed > 0) line += ", " + std::to_string(report.freed) + " freed from the card (" + HumanSize(report.freedBytes) + ")";
  return line;
}

std::vector<ImportCandidate> ListVoiceRecordings() {
  std::vector<ImportCandidate> found;
  // The card list's order: by FileId, the order they were recorded in.
  for (std::int32_t r = CardFileCount; r >= 1; --r) {
    if (!IsVoiceFileId(CardFileTable[r].FileId)) continue;
    ImportCandidate c;
    c.ref = CardFileRefOf(r);
    c.cardName = CardFileTable[r].Name;
    c.size = CardFileSize(CardFileTable[r]);
    found.push_back(c);
  }
  return found;
}

// ---- the settings ---------------------------------------------------------------

namespace {

std::string Trimmed(const std::string& s) {
  const std::size_t from = s.find_first_not_of(" \t\r");
  if (from == std::string::npos) return {};
  return s.substr(from, s.find_last_not_of(" \t\r") - from + 1);
}

bool YesNo(const std::string& value, bool* out) {
  if (value == "yes") *out = true;
  else if (value == "no") *out = false;
  else return false;
  return true;
}

// One "key = value" line into `options`; the fault it has, if any.
ImportSettingsFault TakeSetting(const std::string& key, const std::string& value, ImportOptions* options) {
  if (key == "folder") {
    if (value.empty()) return ImportSettingsFault::kBadValue;
    options->folder = value.rfind("~/", 0) == 0 ? platform::HomeFolder() + value.substr(1) : value;
  } else if (key == "format") {
    if (value == "wav") options->format = VoiceOutput::Format::kWav;
    else if (value == "flac") options->format = VoiceOutput::Format::kFlac;
    else if (value == "ogg") options->format = VoiceOutput::Format::kOgg;
    else return ImportSettingsFault::kBadValue;
  } else if (key == "free") {
    if (!YesNo(value, &options->free)) return ImportSettingsFault::kBadValue;
  } else if (key == "keep-voc") {
    if (!YesNo(value, &options->keepVoc)) return ImportSettingsFault::kBadValue;
  } else {
    return ImportSettingsFault::kUnknownKey;
  }
  return ImportSettingsFault::kNone;
}

}  // namespace

std::string ImportSettingsPath() {
  // The folder the import on plug-in takes it from too; none (no home
  // folder) reads as no settings.
  const std::string base = platform::ConfigFolder();
  return base.empty() ? std::string() : base + "/zk27/import.conf";
}

namespace {

const char* FormatWord(VoiceOutput::Format format) {
  switch (format) {
    case VoiceOutput::Format::kFlac: return "flac";
    case VoiceOutput::Format::kOgg: return "ogg";
    case VoiceOutput::Format::kWav: break;
  }
  return "wav";
}

// The settings' lines as WriteImportSettings leaves them: `values` (key,
// value) in the place of their lines, the rest as said there.
std::string SettingsText(std::istream& in, const std::vector<std::pair<std::string, std::string>>& values) {
  std::string out;
  std::vector<bool> written(values.size(), false);
  for (std::string line; std::getline(in, line);) {
    const std::string text = Trimmed(line);
    if (text.empty() || text[0] == '#') {
      out += line + "\n";
      continue;
    }
    const std::string key = Trimmed(text.substr(0, text.find('=')));
    for (std::size_t i = 0; i < values.size(); ++i)
      if (values[i].first == key && !written[i] && text.find('=') != std::string::npos) {
        out += key + " = " + values[i].second + "\n";
        written[i] = true;
      }
  }
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!written[i]) out += values[i].first + " = " + values[i].second + "\n";
  return out;
}

}  // namespace

bool WriteImportSettings(const std::string& path, const ImportOptions& options) {
  const std::string& folder = options.folder;
  if (folder.empty() || Trimmed(folder) != folder || folder.find_first_of("\r\n") != std::string::npos)
    return false;
  // The home folder said as "~/", as a person writes it.
  const std::string home = platform::HomeFolder();
  const bool underHome = !home.empty() && home != "/" && folder.rfind(home + "/", 0) == 0;
  const std::vector<std::pair<std::string, std::string>> values = {
      {"folder", underHome ? "~" + folder.substr(home.size()) : folder},
      {"format", FormatWord(options.format)},
      {"free", options.free ? "yes" : "no"},
      {"keep-voc", options.keepVoc ? "yes" : "no"},
  };
  std::error_code ec;
  fs::create_directories(platform::PathOf(path).parent_path(), ec);
  std::string text;
  {
    // Closed before the rename: Windows renames nothing over an open file.
    std::ifstream in(platform::PathOf(path));
    text = SettingsText(in, values);
  }
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(platform::PathOf(temporary), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      fs::remove(platform::PathOf(temporary), ec);
      return false;
    }
  }
  fs::rename(platform::PathOf(temporary), platform::PathOf(path), ec);
  if (!ec) return true;
  fs::remove(platform::PathOf(temporary), ec);
  return false;
}

bool ReadImportSettings(const std::string& path, ImportOptions* options, ImportSettingsProblem* problem) {
  *problem = {};
  std::error_code ec;
  if (!fs::exists(platform::PathOf(path), ec) && !ec) return true;
  std::ifstream in(platform::PathOf(path));
  if (!in) {
    problem->fault = ImportSettingsFault::kUnreadable;
    return false;
  }
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    const std::string text = Trimmed(line);
    if (text.empty() || text[0] == '#') continue;
    const std::size_t equals = text.find('=');
    problem->line = n;
    if (equals == std::string::npos || Trimmed(text.substr(0, equals)).empty()) {
      problem->fault = ImportSettingsFault::kNotASetting;
      return false;
    }
    problem->key = Trimmed(text.substr(0, equals));
    problem->fault = TakeSetting(problem->key, Trimmed(text.substr(equals + 1)), options);
    if (problem->fault != ImportSettingsFault::kNone) return false;
  }
  if (in.bad()) {
    *problem = {ImportSettingsFault::kUnreadable, 0, {}};
    return false;
  }
  *problem = {};
  return true;
}
