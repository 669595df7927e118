// zk27 import: the card's new voice recordings brought home into a folder,
// each proven before it counts, the card freed on request (import.h).
#include <algorithm>
#include <cstdio>

#include "cli.h"
#include "import.h"
#include "text.h"

namespace {

std::string Recordings(int n) { return std::to_string(n) + (n == 1 ? " recording" : " recordings"); }

// The options: the settings file first, then the command line over it.
// kExitOk, or the status to end with (said on stderr).
int GatherOptions(const Args& a, ImportOptions* options) {
  const std::string settings = ImportSettingsPath();
  ImportSettingsProblem problem;
  if (!ReadImportSettings(settings, options, &problem)) {
    Error(ImportSettingsWords(settings, problem));
    return kExitUsage;
  }
  if (a.operands.size() > 1) return UsageError("import takes one DIR");
  if (!a.operands.empty()) options->folder = a.operands[0];
  if (options->folder.empty())
    return UsageError("import needs a DIR, or 'folder = DIR' in " + Escaped(settings));
  // A sentinel no value can be: "--format=" is a value, and a wrong one.
  constexpr const char* kNotGiven = "\n";
  if (const std::string format = ValueOf(a, "--format", kNotGiven); format != kNotGiven) {
    if (format == "wav") options->format = VoiceOutput::Format::kWav;
    else if (format == "flac") options->format = VoiceOutput::Format::kFlac;
    else if (format == "ogg") options->format = VoiceOutput::Format::kOgg;
    else return UsageError("--format takes wav, flac or ogg, not '" + format + "'");
  }
  options->keepVoc = options->keepVoc || Has(a, "--keep-voc");
  options->free = options->free || Has(a, "--free");
  options->again = Has(a, "--again");
  options->dryRun = Has(a, "--dry-run");
  return kExitOk;
}

// What the run says as it goes: the progress line while a recording is
// fetched, one line a problem, -v's line a recording imported, and a dry
// run's plan on standard output.
class ImportLines {
 public:
  ImportLines(const ImportOptions& options, std::vector<ImportCandidate> found)
      : options_(options), found_(std::move(found)), line_(static_cast<int>(found_.size())) {}

  ImportView View() {
    ImportView view;
    view.starting = [this](std::size_t, int position, int) { position_ = position; };
    view.transferring = [this](std::size_t index) {
      line_.Start(Name(index), position_, found_[index].size);
      return line_.Callback();
    };
    view.finished = [this](const ImportItem& item) { Finished(item); };
    return view;
  }
  int Status() const { return status_; }
  std::uint64_t PlannedBytes() const { return planned_; }
  int Planned() const { return plannedCount_; }

 private:
  std::string Name(std::size_t index) const { return Escaped(PcNameFromCard(found_[index].cardName)); }
  std::string InFolder(const std::string& where) const { return Escaped(options_.folder + "/" + where); }

  void Finished(const ImportItem& item) {
    line_.End();
    const std::string name = Name(item.index);
    switch (item.outcome) {
      case ImportOutcome::kImported:
        Verbose("imported " + name + " to " + InFolder(item.where) + " (" + HumanSize(item.bytesWritten) + ")");
        if (!item.vocWhere.empty()) Verbose("kept " + name + " as " + InFolder(item.vocWhere));
        return;
      case ImportOutcome::kSkippedKnown:
        Verbose("already imported: " + name);
        return;
      case ImportOutcome::kWouldImport:
        Print(name + "  " + HumanSize(item.cardBytes) + "  -> " + InFolder(item.where) + "\n");
        planned_ += item.cardBytes;
        ++plannedCount_;
        return;
      case ImportOutcome::kStopped:
        return;
      case ImportOutcome::kRefused:
      case ImportOutcome::kFailed:
        break;
    }
    const bool device = CardOrLinkLost() || item.result == kOpDeviceFailed || item.result == kOpDeviceGone;
    status_ = std::max<int>(status_, device ? kExitDevice : kExitRefused);
    Error(device ? ResultWords(item.result, ResultScene::kDeviceFault, {.name = name})
                 : name + ": " + ResultWords(item.result, ResultScene::kImport));
  }

  const ImportOptions& options_;
  std::vector<ImportCandidate> found_;
  ProgressLine line_;
  int position_ = 0;
  int status_ = kExitOk;
  std::uint64_t planned_ = 0;
  int plannedCount_ = 0;
};

// The status the run ends with, after what it did was said.
int Conclude(const ImportOptions& options, const ImportReport& report, const ImportLines& lines) {
  int status = lines.Status();
  if (const std::string end = ImportEndWords(report.end, options.folder); !end.empty()) {
    Error(end);
    return kExitRefused;
  }
  if (options.dryRun) {
    if (!g_session.quiet)
      Print(Recordings(lines.Planned()) + " to import (" + HumanSize(lines.PlannedBytes()) + ")\n");
    return status;
  }
  if (options.free) {
    if (const std::string why = ImportFreeingWords(report.freeing, report.tablesTouched); !why.empty()) {
      Error(why);
      if (report.freeing == ImportFreeing::kTablesFailed || report.freeing == ImportFreeing::kCardChanged)
        status = std::max<int>(status, kExitDevice);
    }
    if (report.freeing == ImportFreeing::kFreed) RebuildCardList();
  }
  if (!g_session.quiet) Print(ImportSummaryLine(report) + "\n");
  if (report.stopped) {
    Error("interrupted; " + Recordings(report.imported) + " imported");
    return kExitInterrupted;
  }
  if (report.sessionEnded) status = std::max<int>(status, kExitDevice);
  return status;
}

}  // namespace

namespace {

// The run itself, the card held only for it. `said` is the line a
// notification shows: the summary, or what kept the run from the folder.
int Import(const ImportOptions& options, std::string* said) {
  // Only freeing changes the card.
  CardSession::Hold lock(options.free && !options.dryRun ? CardLock::kExclusive : CardLock::kShared);
  if (lock.Result() != kLockOk) {
    Error(CardLockRefusal(lock.Result()));
    return kExitDevice;
  }
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;
  g_card.Probe();
  if (g_session.windowClosed && CardOrLinkLost()) return kExitDevice;

  ImportLines lines(options, ListVoiceRecordings());
  g_session.inPass = true;
  const ImportReport report = RunImport(options, lines.View());
  g_session.inPass = false;
  const std::string end = ImportEndWords(report.end, options.folder);
  *said = end.empty() ? ImportSummaryLine(report) : end;
  return Conclude(options, report, lines);
}

}  // namespace

int CmdImport(const Args& a) {
  if (int status = kExitOk; RunPlugOption(a, &status)) return status;
  ImportOptions options;
  if (const int s = GatherOptions(a, &options); s != kExitOk) return s;
  std::string said;
  const int status = Import(options, &said);
  // After the card is let go: the notification may wait half a minute for
  // its action, and nobody else's use of the card waits with it.
  if (Has(a, "--notify") && !options.dryRun && !said.empty()) NotifyImported(said, options.folder);
  return status;
}
