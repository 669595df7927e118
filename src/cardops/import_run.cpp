// The import run (import.h): each recording fetched into DIR's work folder,
// hashed, and matched against DIR's record.
#include <filesystem>
#include <set>

#include "import.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

// Until the read-back comparison of the sound file with the decoder's
// samples is in place, nothing is written into DIR or recorded: an
// unproven copy must never count, and never let the card be freed.
constexpr bool kReadBackCheckBuilt = false;

ImportItem Try(const ImportCandidate& c, const std::string& work, const std::set<std::string>& known,
               const ImportOptions& options, const ProgressFn& progress) {
  ImportItem item;
  item.cardName = c.cardName;
  item.cardBytes = c.size;
  const std::int32_t r = FindCardFile(c.ref);
  std::string pcName;
  item.result = r == 0 ? kOpNotOnCard : FetchCardFileTo(r, work, progress, &pcName);
  if (item.result == kOpStopped) {
    item.outcome = ImportOutcome::kStopped;
    item.reason = "the import was stopped";
    return item;
  }
  if (item.result != kOpOk) {
    item.outcome = ImportOutcome::kFailed;
    item.reason = "it could not be read from the card";
    return item;
  }
  const fs::path fetched = fs::path(work) / pcName;
  const std::string hash = Sha256OfFile(fetched.string());
  std::error_code ec;
  if (hash.empty()) {
    item.outcome = ImportOutcome::kFailed;
    item.reason = "its copy could not be read back";
  } else if (known.count(hash) && !options.again) {
    item.outcome = ImportOutcome::kSkippedKnown;
  } else if (options.dryRun) {
    item.outcome = ImportOutcome::kWouldImport;
  } else if (!kReadBackCheckBuilt) {
    item.outcome = ImportOutcome::kFailed;
    item.reason = "its copy cannot be verified yet; nothing was kept";
  }
  fs::remove(fetched, ec);
  return item;
}

}  // namespace

ImportReport RunImport(const ImportOptions& options, const ImportView& view) {
  ImportReport report;
  const std::vector<ImportCandidate> found = ListVoiceRecordings();
  const std::vector<std::string> record = ReadImportRecord(options.folder);
  const std::set<std::string> known(record.begin(), record.end());
  std::error_code ec;
  const std::string work = (fs::path(options.folder) / ".zk27-import-work").string();
  fs::create_directories(work, ec);
  if (ec) {
    report.last = kOpPcWriteFailed;
    return report;
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (view.starting) view.starting(i, static_cast<int>(i + 1), static_cast<int>(found.size()));
    ImportItem item = Try(found[i], work, known, options, view.transferring ? view.transferring(i) : nullptr);
    if (view.finished) view.finished(item);
    report.items.push_back(item);
    if (item.outcome == ImportOutcome::kStopped) {
      report.stopped = true;
      break;
    }
    if (CardOrLinkLost()) {
      report.sessionEnded = true;
      report.last = item.result;
      break;
    }
  }
  fs::remove_all(work, ec);
  return report;
}
