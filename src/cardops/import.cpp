// Bringing voice recordings home (import.h).
#include "import.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sha256.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRecordName = ".zk27-imports";
constexpr const char* kWorkName = ".zk27-import-work";

bool Digits(const std::string& s, std::size_t from, std::size_t n) {
  if (s.size() < from + n) return false;
  for (std::size_t i = from; i < from + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

std::string ImportToday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
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
  const timespec times[2] = {{std::mktime(&local), 0}, {std::mktime(&local), 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

namespace {

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

std::string Recordings(int n) { return std::to_string(n) + (n == 1 ? " recording" : " recordings"); }

}  // namespace

std::vector<std::string> ReadImportRecord(const std::string& folder) {
  std::vector<std::string> hashes;
  std::ifstream in(fs::path(folder) / kRecordName);
  std::string line;
  while (std::getline(in, line)) {
    const std::string hash = line.substr(0, line.find('\t'));
    if (hash.size() == 64) hashes.push_back(hash);
  }
  return hashes;
}

bool AppendImportRecord(const std::string& folder, const std::string& sha256, const std::string& cardName,
                        std::uint32_t size, const std::string& where, const std::string& when) {
  const std::string path = (fs::path(folder) / kRecordName).string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string line = sha256 + '\t' + cardName + '\t' + std::to_string(size) + '\t' + where + '\t' + when + '\n';
  const bool whole = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  const bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && whole && synced;
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
  if (!fs::exists(fs::path(dir) / name, ec)) return name;
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string kind = dot == std::string::npos ? std::string() : name.substr(dot);
  for (int n = 2;; ++n) {
    const std::string candidate = stem + "-" + std::to_string(n) + kind;
    if (!fs::exists(fs::path(dir) / candidate, ec)) return candidate;
  }
}

std::string ImportSummaryLine(const ImportReport& report) {
  std::string line = Recordings(report.imported) + " imported (" + Megabytes(report.importedBytes) + ")";
  if (report.freed > 0) line += ", " + std::to_string(report.freed) + " freed from the card (" + Megabytes(report.freedBytes) + ")";
  return line;
}

std::vector<ImportCandidate> ListVoiceRecordings() {
  std::vector<ImportCandidate> found;
  for (std::int32_t r = 1; r <= CardFileCount; ++r) {
    if (!IsVoiceFileId(CardFileTable[r].FileId)) continue;
    ImportCandidate c;
    c.ref = CardFileRefOf(r);
    c.cardName = CardFileTable[r].Name;
    c.size = CardFileSize(CardFileTable[r]);
    found.push_back(c);
  }
  return found;
}
