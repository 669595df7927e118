// The commands of zk27, each a pass over the card as the desktop program's
// buttons make it, with the same checks and order of work; what each file's
// result means is the pass's to decide, how it is said is zk27's own.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "platform.h"
#include "hooks.h"
#include "messages.h"
#include "sync.h"
#include "text.h"

// ---- reaching the card ------------------------------------------------------

namespace {

bool Probe() {
  g_card.Probe();
  return !g_session.windowClosed;
}

std::string Files(int n) { return n == 1 ? "1 file" : std::to_string(n) + " files"; }

}  // namespace

CardSession g_card;

int SayState() {
  // The busy message has been shown by the sector command itself.
  if (g_card.State() == kDeviceNoCard) SayNotice(Notice::kStateNoCard);
  else if (g_card.State() == kDeviceNotAttached) SayNotice(Notice::kStateNoPlayer);
  else if (g_card.State() != kDeviceBusy) SayNotice(Notice::kStateNotReady);
  return kExitDevice;
}

// The player's status as the program's start tests it, in this order.
int CheckDeviceStatus() {
  const OpeningReport player = g_card.CheckPlayer();
  if (player.state == CardOpening::kOpen) return kExitOk;
  if (player.state == CardOpening::kPlayerUntrusted) Error(PlayerRefusalWords(g_card.LastRefusal()));
  else SayNotice(player.notice);
  return kExitDevice;
}

int OpenCard() {
  if (const int s = CheckDeviceStatus(); s != kExitOk) return s;
  return RecheckCard();
}

int RecheckCard() {
  if (const int s = CheckFormatToRead(MountMode::kAsHeld); s != kExitOk) return s;
  if (const int s = SayMount(g_card.Read({}).mounted); s != kExitOk) return s;
  // A failed write of the list's own changes (names of new recordings,
  // half-deleted entries released) ends the command: the card's tables are
  // no longer known.
  if (g_card.State() != kDeviceReady) return SayState();
  return kExitOk;
}

namespace {

void SayZeroTotal() {
  Error("the card's boot sector gives it no sectors, but its directory holds files; " + Hint("check --repair") +
        " gives it the card's size again");
}

}  // namespace

int CheckFormatToRead(MountMode mode) {
  const OpeningReport card = g_card.CheckFormat();
  switch (card.state) {
    case CardOpening::kUnreadable:
      return kExitDevice;
    case CardOpening::kForeign:
      SayNotice(card.notice);
      return kExitDevice;
    case CardOpening::kZeroTotal:
      // Only the check reads it, sized by the card, to mend it.
      if (mode == MountMode::kSizedByCard) break;
      SayZeroTotal();
      return kExitDevice;
    case CardOpening::kOpen:
    case CardOpening::kPlayerRefused:
    case CardOpening::kPlayerUntrusted:
      break;
  }
  return kExitOk;
}

int SayMount(MountResult mounted) {
  if (mounted == kMountBadGeometry) {
    SayNotice(Notice::kTablesDoNotFit);
    return kExitDevice;
  }
  if (mounted == kMountZeroTotal) {
    SayZeroTotal();
    return kExitDevice;
  }
  if (mounted == kMountBlank) {
    Error("the card's boot sector gives it no sectors: it is not formatted; " + Hint("format") +
          " formats it (every file on it is lost)");
    return kExitDevice;
  }
  if (mounted != kMountOk) return SayState();
  return kExitOk;
}

int ReadVolume(MountMode mode) {
  if (const int s = CheckFormatToRead(mode); s != kExitOk) return s;
  return SayMount(g_card.Mount(mode));
}

// ---- info and ls --------------------------------------------------------------

int CmdInfo(const Args&) {
  if (const int s = OpenCard(); s != kExitOk) return s;
  int music = 0, voice = 0;
  for (std::int32_t r = 1; r <= g_card.FileCount(); ++r) ++(IsVoiceFileId(g_card.Record(r).FileId) ? voice : music);
  // A volume larger than the card is shown as far as the card holds it.
  VolumeLayout onCard;
  if (!g_card.LayoutOnCard(&onCard)) return SayState();
  const std::uint32_t clusters = CardSession::DataClusters(onCard);
  const std::uint64_t freeBytes = std::uint64_t{g_card.FreeClusters()} * kClusterBytes;
  std::printf("card:          %s\n",
              g_card.AttachedDirectly() ? "attached directly (image or card reader)" : "in the player");
  std::printf("size:          %s (%s sectors of 512 bytes)\n", HumanSize(std::uint64_t{onCard.totalSectors} * 512).c_str(),
              FormatThousands(std::to_string(onCard.totalSectors)).c_str());
  std::printf("free:          %s (%s of %s clusters of 64 KiB)\n", HumanSize(freeBytes).c_str(),
              FormatThousands(std::to_string(g_card.FreeClusters())).c_str(),
              FormatThousands(std::to_string(clusters)).c_str());
  std::printf("files:         %d music, %d voice\n", music, voice);
  std::printf("tables:        2 copies of %u sectors from sector 33; directory of %u sectors from sector %" PRIu32
              "; data from sector %" PRIu32 "\n",
              onCard.sectorsPerTable, onCard.dirSectors, onCard.dirStart, onCard.dataStart);
  return kExitOk;
}

int CmdLs(const Args& a) {
  if (const int s = OpenCard(); s != kExitOk) return s;
  const bool longForm = Has(a, "--long");
  const bool human = Has(a, "--human-readable");
  for (std::int32_t k = g_card.FileCount(); k >= 1; --k) {
    const std::string name = ShownCardName(k);
    if (!longForm) {
      std::printf("%s\n", name.c_str());
      continue;
    }
    const std::optional<std::uint16_t> first = g_card.FirstClusterOf(k);
    const std::string firstText = first ? std::to_string(*first) : "-";
    const std::uint32_t bytes = g_card.SizeOf(k);
    const std::string size = human ? HumanSize(bytes) : std::to_string(bytes);
    std::printf("%02X %10s %6s  %s\n", g_card.Record(k).FileId, size.c_str(), firstText.c_str(), name.c_str());
  }
  return kExitOk;
}

// ---- the passes --------------------------------------------------------------

namespace {

// zk27's view of a pass: the progress line on a terminal, a line for each
// problem, -v's line for each file done, and the exit status the results add
// up to.
class CliPassView : public PassView {
 public:
  // `verb` says what the pass does to a file ("sent"); `names` are the files
  // as the user knows them.
  CliPassView(const char* verb, std::vector<std::string> names)
      : verb_(verb), names_(std::move(names)), line_(static_cast<int>(names_.size())) {
    g_session.inPass = true;
  }
  ~CliPassView() override { g_session.inPass = false; }

  void Starting(std::size_t, int position, int) override { position_ = position; }
  ProgressFn Transferring(std::size_t index) override {
    line_.Start(names_[index], position_, BytesOf(index));
    return line_.Callback();
  }
  void Finished(const FileReport& report) override {
    line_.End();
    if (report.counted) ++done_;
    // A file not done makes the run fail; the card's or the player's fault
    // weighs more than a file's.
    if (report.result != kOpOk && report.result != kOpStopped) {
      const int failed = report.deviceFault ? kExitDevice : kExitRefused;
      status_ = std::max(status_, failed);
    }
    if (report.result == kOpOk) {
      Done(report);
      return;
    }
    if (report.result == kOpStopped) return;
    std::string problem = report.deviceFault
                              ? ResultWords(report.result, ResultScene::kDeviceFault, {.name = Name(report)})
                              : Name(report) + ": " + Reason(report);
    // A pass that ends here leaves the files after it untried.
    if (report.step != PassStep::kNext) problem += "; " + Tally();
    Error(problem);
  }
  int Status() const { return status_; }
  // "2 of 3 files sent".
  std::string Tally() const {
    return std::to_string(done_) + " of " + Files(static_cast<int>(names_.size())) + " " + verb_;
  }

 protected:
  const std::string& Name(const FileReport& report) const { return names_[report.index]; }
  // The file's size, for the progress line; 0 when unknown.
  virtual std::uint64_t BytesOf(std::size_t index) const {
    (void)index;
    return 0;
  }
  // -v's line for a file done.
  virtual void Done(const FileReport& report) = 0;
  // Why the file was not done, when the file or the PC is the cause.
  virtual std::string Reason(const FileReport& report) const = 0;

 private:
  const char* verb_;
  std::vector<std::string> names_;
  ProgressLine line_;
  int position_ = 0;
  int done_ = 0;
  int status_ = kExitOk;
};

class PutView : public CliPassView {
 public:
  // `replacing`: which files replace a card file of their name (sync).
  PutView(std::vector<std::string> paths, std::vector<std::string> names, std::vector<bool> replacing = {})
      : CliPassView("sent", std::move(names)), paths_(std::move(paths)), replacing_(std::move(replacing)) {}

 protected:
  std::uint64_t BytesOf(std::size_t index) const override {
    platform::FileState st;
    return platform::StateOf(paths_[index], &st) ? st.size : 0;
  }
  void Done(const FileReport& report) override {
    Verbose("sent " + Name(report) + " (" + HumanSize(BytesOf(report.index)) + ")");
  }
  std::string Reason(const FileReport& report) const override {
    const bool replacing = report.index < replacing_.size() && replacing_[report.index];
    const ResultFacts facts{.pcPath = paths_[report.index], .bytes = BytesOf(report.index)};
    return ResultWords(report.result, ResultScene::kSend, facts) + (replacing ? "; the card keeps its copy" : "");
  }

 private:
  std::vector<std::string> paths_;
  std::vector<bool> replacing_;
};

// get and towav.
class FetchView : public CliPassView {
 public:
  FetchView(bool toWave, std::vector<std::string> names, std::vector<CardFileRef> lines)
      : CliPassView(toWave ? "converted" : "fetched", std::move(names)), toWave_(toWave), lines_(std::move(lines)) {}

 protected:
  std::uint64_t BytesOf(std::size_t index) const override {
    const std::int32_t r = FindCardFile(lines_[index]);
    return r > 0 ? g_card.SizeOf(r) : 0;
  }
  void Done(const FileReport& report) override {
    // A note tells of something done beyond the asking (a recording resampled).
    for (const std::string& note : report.notes) Warn(note);
    if (toWave_) Verbose("converted " + Name(report) + " to " + Escaped(report.wavName));
    else Verbose("fetched " + Name(report) + " (" + HumanSize(BytesOf(report.index)) + ")");
  }
  std::string Reason(const FileReport& report) const override {
    return ResultWords(report.result, ResultScene::kFetch);
  }

 private:
  bool toWave_;
  std::vector<CardFileRef> lines_;
};

}  // namespace

// ---- interrupts ------------------------------------------------------------------

namespace {

void OnInterrupt(int) { RequestStop(); }

}  // namespace

InterruptScope::InterruptScope() {
  platform::CatchEndSignals(OnInterrupt);
}

InterruptScope::~InterruptScope() {
  // Once interrupted the program is on its way out: a further interrupt
  // while it says what it did must not cut that short.
  if (StopRequested()) return;
  platform::RestoreEndSignals();
}

namespace {

// The exit status of a pass that ended with `status`: a pass that stopped on
// an interrupt says so, with what it did. An interrupt that came after the
// last file changed nothing.
int ExitOf(const PassSummary& summary, const std::string& tally, int status) {
  if (!summary.stopped) return status;
  Error("interrupted; " + tally);
  return kExitInterrupted;
}

}  // namespace

// ---- put -------------------------------------------------------------------------

int CmdPut(const Args& a) {
  // From here on an interrupt stops the pass, even one before it starts.
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;

  std::vector<SendItem> files;
  std::vector<std::string> names;
  for (const std::string& path : a.operands) {
    files.push_back({path, BaseName(path)});
    names.push_back(Escaped(path));
  }
  PutView view(a.operands, names);
  Probe();  // its outcome shows at the first file
  const PassSummary summary = g_card.Send(files, view);
  return ExitOf(summary, view.Tally(), view.Status());
}

// ---- get and towav ------------------------------------------------------------------

namespace {

// Fetches the named card files (every one with --all) into the current
// directory, as the Upload pass does; with `toWave`, voice recordings only,
// each then turned into a WAV file beside it, as the To Wave pass does.
int FetchPass(const Args& a, bool toWave, const VoiceOutput& out = {}) {
  const bool all = Has(a, "--all");
  if (all && !a.operands.empty()) return UsageError("--all takes no NAME");
  if (!all && a.operands.empty()) return UsageError(toWave ? "towav needs a NAME or --all" : "get needs a NAME or --all");
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;
  if (!Probe() && CardOrLinkLost()) return kExitDevice;

  const ChosenFiles chosen = all ? AllCardFiles(toWave) : ChooseCardFiles(a.operands, toWave);
  const int missing = chosen.missing > 0 ? kExitRefused : kExitOk;
  if (chosen.lines.empty()) return missing;
  FetchView view(toWave, chosen.shown, chosen.lines);
  const PassSummary summary =
      g_card.Fetch(chosen.lines, toWave ? FetchKind::kToWave : FetchKind::kFiles, ".", view, out);
  return ExitOf(summary, view.Tally(), std::max(missing, view.Status()));
}

}  // namespace

int CmdGet(const Args& a) { return FetchPass(a, false); }

int CmdTowav(const Args& a) {
  VoiceOutput out;
  const std::string format = ValueOf(a, "--format", "wav");
  if (format == "flac") out.format = VoiceOutput::Format::kFlac;
  else if (format == "ogg") out.format = VoiceOutput::Format::kOgg;
  else if (format != "wav") return UsageError("--format takes wav, flac or ogg, not '" + format + "'");
  const std::string rate = ValueOf(a, "--rate");
  if (!rate.empty()) {
    const long most = MaxVoiceOutputRate(out.format);
    char* end = nullptr;
    const long hz = std::strtol(rate.c_str(), &end, 10);
    if (end == rate.c_str() || *end != '\0' || hz < 1 || hz > most)
      return UsageError("--rate takes a number of Hz from 1 to " + FormatThousands(std::to_string(most)) +
                        " for " + format + ", not '" + rate + "'");
    out.rate = static_cast<int>(hz);
  }
  return FetchPass(a, true, out);
}

// ---- rm ----------------------------------------------------------------------------

int CmdRm(const Args& a) {
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;
  if (!Probe()) return kExitDevice;

  const ChosenFiles chosen = ChooseCardFiles(a.operands, false);
  const int missing = chosen.missing > 0 ? kExitRefused : kExitOk;
  if (chosen.lines.empty()) return missing;
  const std::vector<CardFileRef>& lines = chosen.lines;
  const std::vector<std::string>& shown = chosen.shown;

  PassCallbacks view;
  int status = missing;
  view.finished = [&](const FileReport& report) {
    if (report.result == kOpOk) {
      Verbose("deleted " + shown[report.index]);
      return;
    }
    Error(shown[report.index] + ": no such file on the card");
    status = std::max<int>(status, kExitRefused);
  };
  g_session.inPass = true;
  const PassSummary summary = g_card.Delete(lines, view);
  g_session.inPass = false;
  if (summary.end == PassStep::kEndSession) {
    // What became of the files is worth a check only when part of the
    // tables may have reached the card.
    Error(DeviceTrouble(g_card.State()) + " while writing the card's tables; " +
          (summary.tablesTouched ? Hint("check") + " tells what became of the files"
                                 : std::string("nothing was written, no file was deleted")));
    return kExitDevice;
  }
  RebuildCardList();
  return ExitOf(summary, "no file was deleted", status);
}

// ---- format ----------------------------------------------------------------------

int CmdFormat(const Args& a) {
  g_session.assumeYes = Has(a, "--yes");
  if (!g_session.assumeYes && !platform::IsTerminal(0))
    return UsageError("format asks for confirmation; not on a terminal, give --yes");

  // The card need not be in the player's format to be formatted.
  if (const int s = CheckDeviceStatus(); s != kExitOk) return s;

  if (AskYesNo(msg::kConfirmFormatCaption, "format the card? Every file on it is lost.") != Answer::Yes) {
    Error("the card was not formatted");
    return kExitRefused;
  }
  if (Notice refusal; msg::FormatRefusal(g_card.Format(), &refusal)) {
    const bool failed = refusal == Notice::kFormatFailed;
    Error(PlainWords(refusal) + (failed ? " (" + DeviceTrouble(g_card.State()) + ")" : std::string()));
    return kExitDevice;
  }
  if (g_card.Mount() != kMountOk) {
    Error("formatting failed: the new volume cannot be read back");
    return g_card.State() != kDeviceReady ? SayState() : kExitDevice;
  }
  RebuildCardList();
  Verbose("formatted the card: " + HumanSize(std::uint64_t{g_card.FreeClusters()} * kClusterBytes) + " free");
  return kExitOk;
}

// ---- sync --------------------------------------------------------------------------

namespace {

std::string Clusters(std::uint64_t n) {
  return FormatThousands(std::to_string(n)) + (n == 1 ? " cluster (" : " clusters (") +
         HumanSize(n * kClusterBytes) + ")";
}

// What a plan's step is, as --dry-run lists it; empty for a file left alone.
std::string StepLine(const SyncStep& s) {
  const std::string name = Escaped(s.name);
  switch (s.action) {
    case SyncAction::kSend: return "send     " + name + " (" + HumanSize(s.size) + ")";
    case SyncAction::kReplace:
      return "replace  " + name + " (" + HumanSize(s.size) +
             (s.tempName.empty() ? "; no room for both copies: the card's copy goes first, once the new one reads "
                                   "whole)"
                                 : "; sent first, beside the card's copy, as " + Escaped(s.tempName) + ")");
    case SyncAction::kDelete: return "delete   " + name;
    case SyncAction::kLeftOut:
    case SyncAction::kRefused:
    case SyncAction::kWrongKind: return "left out " + name + " (" + HumanSize(s.size) + ")";
    case SyncAction::kExtra: return "extra    " + name + " (on the card only; kept)";
    case SyncAction::kKeep: break;
  }
  return {};
}

// Says why the plan does not fit, one line a limit: `what` the plan puts on
// the card ("the folder"), `room` when the card has what it has ("once the
// deletions are made").
void SayShortfalls(const SyncPlan& plan, const std::string& what = "the folder",
                   const std::string& room = "once the deletions are made") {
  for (const SyncShortfall& f : plan.shortfalls) {
    const std::uint64_t gap = f.needed - f.available;
    switch (f.limit) {
      case SyncLimit::kClusters:
        Error(what + " does not fit: it needs " + Clusters(f.needed) + ", the card has " + Clusters(f.available) +
              " " + room + "; " + FormatThousands(std::to_string(gap)) + " short");
        break;
      case SyncLimit::kNameSlots:
        Error(what + " needs " + std::to_string(f.needed) + " new names, the card's name table has room for " +
              std::to_string(f.available));
        break;
      case SyncLimit::kDirEntries:
        Error(what + " needs " + std::to_string(f.needed) + " new entries, the card's directory has room for " +
              std::to_string(f.available));
        break;
      case SyncLimit::kMusicIds:
      case SyncLimit::kVoiceIds:
        Error(what + " needs " + std::to_string(f.needed) + " more " +
              (f.limit == SyncLimit::kMusicIds ? "music" : "voice") + " files, the card takes " +
              std::to_string(f.available) + " more (127 of a kind at most)");
        break;
      case SyncLimit::kNames:
        break;  // each name said where the plan is shown
    }
  }
}

// One line for each of the folder's files that the card does not take by
// its name or kind.
void SayLeftOutNames(const SyncPlan& plan) {
  for (const SyncStep& s : plan.steps) {
    if (s.action == SyncAction::kWrongKind || s.action == SyncAction::kRefused)
      Error(Escaped(s.name) + ": " + ResultWords(s.result, ResultScene::kFolderPlan));
  }
}

// What to do about a plan that does not fit, which wrote nothing: too little
// room is made up for by --partial, a name the card cannot hold by renaming
// the file.
std::string NothingWrittenHint(const SyncPlan& plan) {
  const bool room =
      std::any_of(plan.shortfalls.begin(), plan.shortfalls.end(),
                  [](const SyncShortfall& f) { return f.limit != SyncLimit::kNames; }) ||
      std::any_of(plan.steps.begin(), plan.steps.end(),
                  [](const SyncStep& s) { return s.action == SyncAction::kRefused && s.result == kOpNoSpace; });
  if (room) return "nothing was written; " + Hint("sync --partial") + " sends as much as fits";
  return "nothing was written; rename the files whose names the card cannot hold, or " + Hint("sync --partial") +
         " sends the others";
}

}  // namespace

int CmdSync(const Args& a) {
  if (a.operands.size() != 1) return UsageError("sync needs one DIR");
  const bool dryRun = Has(a, "--dry-run");
  const bool partial = Has(a, "--partial");
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;
  SyncPlan plan;
  if (!PlanSync(a.operands[0], Has(a, "--delete"), partial, &plan)) {
    Error(Escaped(a.operands[0]) + ": " + std::strerror(errno));
    return kExitRefused;
  }
  // A file the card does not get makes the run fail, as put's would.
  const int planned = plan.Fits() && plan.LeftOut() == 0 ? kExitOk : kExitRefused;
  if (dryRun) {
    std::string text;
    for (const SyncStep& s : plan.steps)
      if (const std::string line = StepLine(s); !line.empty()) text += line + "\n";
    if (plan.NothingToDo())
      text += "nothing to do\n";
    else
      text += "needs " + Clusters(plan.clustersNeeded) + "; " + Clusters(plan.clustersFree) +
              " free once the deletions are made\n";
    Print(text);
    SayLeftOutNames(plan);
    SayShortfalls(plan);
    return planned;
  }
  SayLeftOutNames(plan);
  if (!plan.Fits()) {
    SayShortfalls(plan);
    if (!partial) {
      Error(NothingWrittenHint(plan));
      return kExitRefused;
    }
  }
  int status = planned;

  const std::vector<CardFileRef> gone = plan.DeleteLines();
  if (!gone.empty()) {
    PassCallbacks view;
    view.finished = [&](const FileReport& report) {
      if (report.result == kOpOk) Verbose("deleted " + Escaped(PcNameFromCard(gone[report.index].name())));
    };
    g_session.inPass = true;
    const PassSummary summary = g_card.Delete(gone, view);
    g_session.inPass = false;
    if (summary.end == PassStep::kEndSession) {
      Error(DeviceTrouble(g_card.State()) +
            " while writing the card's tables; " + Hint("sync") + " again continues");
      return kExitDevice;
    }
    if (summary.stopped) return ExitOf(summary, "nothing was deleted or sent", status);
    RebuildCardList();
  }
  const std::vector<SendItem> items = plan.SendItems();
  if (!items.empty()) {
    std::vector<std::string> paths, names;
    std::vector<bool> replacing;
    for (const SendItem& item : items) {
      paths.push_back(item.pcPath);
      names.push_back(Escaped(item.pcName));
      replacing.push_back(!item.replaces.empty());
    }
    PutView view(paths, names, replacing);
    Probe();
    const PassSummary summary = g_card.Send(items, view);
    status = std::max(status, view.Status());
    if (summary.stopped || summary.end != PassStep::kNext) return ExitOf(summary, view.Tally(), status);
  }
  RebuildCardList();
  if (const CardOpResult ordered = OrderMusicFiles(SyncedMusicOrder(plan)); ordered != kOpOk) {
    Error("the play order could not be written (" + DeviceTrouble(g_card.State()) + ")");
    return kExitDevice;
  }
  return status;
}

// ---- restore --files ---------------------------------------------------------------

namespace {

// The files of an image, sent from copies that the engine makes: their sizes
// are the plan's.
class ImageFilesView : public PutView {
 public:
  ImageFilesView(std::vector<std::string> names, std::vector<std::uint64_t> sizes)
      : PutView(std::vector<std::string>(names.size()), names), sizes_(std::move(sizes)) {}

 protected:
  std::uint64_t BytesOf(std::size_t index) const override { return sizes_[index]; }

 private:
  std::vector<std::uint64_t> sizes_;
};

}  // namespace

int RestoreImageFilesCommand(const std::string& path) {
  SyncPlan plan;
  if (const CardOpResult planned = PlanImageFiles(path, &plan); planned != kOpOk)
    return SayResult(planned, ResultScene::kImageRefusal, {.pcPath = path});
  if (!plan.Fits()) {
    for (const SyncStep& s : plan.steps)
      if (s.action == SyncAction::kRefused)
        Error(Escaped(s.name) + ": " + ResultWords(s.result, ResultScene::kImagePlan));
    SayShortfalls(plan, "the image", "once formatted");
    Error("nothing was written");
    return kExitRefused;
  }
  std::vector<std::string> names;
  std::vector<std::uint64_t> sizes;
  std::uint64_t bytes = 0;
  for (const SyncStep& s : plan.steps) {
    names.push_back(Escaped(s.name));
    sizes.push_back(s.size);
    bytes += s.size;
  }
  const std::string files = Files(static_cast<int>(names.size()));
  if (AskYesNo("zk27 restore", "format the card and send the " + files + " of " + Escaped(path) + " (" +
                                   HumanSize(bytes) + ") onto it? Every file on the card now is lost.") !=
      Answer::Yes) {
    Error("the card was not restored");
    return kExitRefused;
  }
  const std::string again = RestoreFilesHint(path) + " again starts over";
  ImageFilesView view(names, sizes);
  PassSummary summary;
  if (const CardOpResult result = RestoreImageFiles(path, view, &summary); result != kOpOk)
    return SayResult(result, ResultScene::kRestoreFiles, {.pcPath = path});
  if (summary.stopped) {
    Error("interrupted; " + view.Tally() + "; " + again);
    return kExitInterrupted;
  }
  // A pass that ended early has said why, and how many files it sent.
  if (summary.end != PassStep::kNext) return view.Status();
  RebuildCardList();
  SayResult(kOpOk, ResultScene::kRestoreFiles, {.pcPath = path, .name = files});
  return view.Status();
}
