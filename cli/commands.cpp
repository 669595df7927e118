// The commands of zk27, each a pass over the card as the desktop program's
// buttons make it, with the same checks, order of work and texts.
#include <algorithm>
#include <array>
#include <csignal>
#include <cinttypes>
#include <cstdio>
#include <unistd.h>

#include "cli.h"
#include "fs.h"
#include "hooks.h"
#include "messages.h"
#include "passes.h"
#include "text.h"
#include "usbfunc.h"

Session g_session;

std::string ShownText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    shown.push_back(text[i]);
  }
  return shown;
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "zk27: %s\nTry 'zk27 --help'.\n", problem.c_str());
  return kExitUsage;
}

std::string CardLockRefusal(CardLockResult result) {
  if (result == kLockInUse) return "zk27: the card is in use by another program";
  return "zk27: the card cannot be locked: its lock file cannot be made";
}

void Say(const std::string& text) {
  const std::string shown = ShownText(text) + '\n';
  std::fwrite(shown.data(), 1, shown.size(), stderr);
}

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// ---- progress ---------------------------------------------------------------

ProgressLine::ProgressLine(std::string verb, int of)
    : tty_(::isatty(STDERR_FILENO) != 0), verb_(std::move(verb)), of_(of) {}

void ProgressLine::Start(const std::string& name, int index) {
  name_ = name;
  index_ = index;
}

ProgressFn ProgressLine::Callback() {
  return [this](std::uint32_t done, std::uint32_t total) {
    if (!tty_) return;
    std::fprintf(stderr, "\r%s is %s %3d%%  (%d of %d)\x1b[K", name_.c_str(), verb_.c_str(),
                 ProgressPercent(done, total), index_, of_);
    std::fflush(stderr);
    open_ = true;
  };
}

void ProgressLine::End() {
  if (open_) std::fputs("\n", stderr);
  open_ = false;
}

// ---- reaching the card ------------------------------------------------------

namespace {

constexpr void* kMainWindow = nullptr;  // the command line has no window

bool Probe() {
  ProbeDevice(kMainWindow);
  return !g_session.windowClosed;
}

std::string ShownName(const std::string& cardLine) { return PcNameFromCard(cardLine); }

// The card name a user typed: the list line it came from.
std::string CardLine(const std::string& typed) {
  std::string card;
  return CardNameFromPc(typed, &card) ? card : std::string();
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& known,
               const char* operandNeeded, const char* command, Args* out) {
  bool onlyOperands = false;
  for (const std::string& a : args) {
    if (!onlyOperands && a == "--") {
      onlyOperands = true;
    } else if (!onlyOperands && a.size() > 1 && a[0] == '-') {
      bool ok = false;
      for (const std::string& k : known) ok = ok || a == k;
      if (!ok) {
        out->status = UsageError("unknown option " + a);
        return false;
      }
      out->flags.push_back(a);
    } else {
      out->operands.push_back(a);
    }
  }
  if (operandNeeded && out->operands.empty()) {
    out->status = UsageError(operandNeeded);
    return false;
  }
  if (!operandNeeded && !out->operands.empty()) {
    out->status = UsageError(std::string(command) + " takes no operands");
    return false;
  }
  return true;
}

bool Has(const std::vector<std::string>& flags, const char* a, const char* b) {
  for (const std::string& f : flags)
    if (f == a || (b && f == b)) return true;
  return false;
}

int SayState() {
  // The busy message has been shown by the sector command itself.
  if (DeviceState == 2) Say(msg::kStateNoCard);
  else if (DeviceState == 4) Say(msg::kStateAttach);
  else if (DeviceState != 1) Say(msg::kStateNotReady);
  return kExitDevice;
}

// The player's status as the program's start tests it, in this order.
int CheckDeviceStatus() {
  const OpeningReport player = CheckPlayer();
  if (player.state == CardOpening::kOpen) return kExitOk;
  Say(player.message);
  return kExitDevice;
}

int OpenCard() {
  if (const int s = CheckDeviceStatus(); s != kExitOk) return s;
  return RecheckCard();
}

int RecheckCard() {
  if (const int s = ReadVolume(); s != kExitOk) return s;
  RebuildCardList();
  // A failed write of the list's own changes (names of new recordings,
  // half-deleted entries released) ends the command: the card's tables are
  // no longer known.
  if (DeviceState != 0) return SayState();
  return kExitOk;
}

int ReadVolume(MountMode mode) {
  switch (CheckCardFormat().state) {
    case CardOpening::kUnreadable:
      return kExitDevice;
    case CardOpening::kForeign:
      Say("The CF card is not ZK27 file format.\r\nRun 'zk27 format' to format it (every file on it is lost).");
      return kExitDevice;
    default:
      break;
  }
  const MountResult mounted = MountVolume(mode);
  if (mounted == kMountBadGeometry) {
    Say(kTablesDoNotFitMessage);
    return kExitDevice;
  }
  if (mounted == kMountBlank) {
    Say("zk27: the card's boot sector gives it no sectors: it is not formatted.\n"
        "Run 'zk27 format' to format it (every file on it is lost).");
    return kExitDevice;
  }
  if (mounted != kMountOk) return SayState();
  return kExitOk;
}

// ---- info and ls --------------------------------------------------------------

int CmdInfo(const std::vector<std::string>& args) {
  Args a;
  if (!ParseArgs(args, {}, nullptr, "info", &a)) return a.status;
  if (const int s = OpenCard(); s != kExitOk) return s;
  int music = 0, voice = 0;
  for (std::int32_t r = 1; r <= CardFileCount; ++r) ++(IsVoiceFileId(CardFileTable[r].FileId) ? voice : music);
  const VolumeImageData& v = VolumeImage;
  std::printf("card:             %s\n", UsingCardImage() ? "attached directly" : "in the player");
  std::printf("total sectors:    %" PRIu32 " (%" PRIu32 " MiB)\n", v.totalSectors, v.totalSectors / 2048);
  std::printf("table sectors:    %u (two copies from sector 33)\n", v.sectorsPerTable);
  std::printf("directory:        %u sectors from sector %" PRIu32 "\n", v.dirSectors, v.dirStart);
  // Table entries past the card's last cluster stand for nothing.
  const std::uint32_t entries = std::min(v.usableClusters, v.totalSectors / kClusterSectors);
  std::printf("data area:        from sector %" PRIu32 ", %" PRIu32 " clusters of 64 KiB\n", v.dataStart,
              entries > 2 ? entries - 2 : 0);
  std::printf("free clusters:    %u\n", FreeClusterCount);
  std::printf("%s\n", msg::FreeSpaceText(FreeClusterCount).c_str());
  std::printf("%s\n", msg::TotalFilesText(CardFileCount).c_str());
  std::printf("music files:      %d\nvoice files:      %d\n", music, voice);
  return kExitOk;
}

int CmdLs(const std::vector<std::string>& args) {
  Args a;
  if (!ParseArgs(args, {"-l"}, nullptr, "ls", &a)) return a.status;
  if (const int s = OpenCard(); s != kExitOk) return s;
  const bool longForm = Has(a.flags, "-l");
  for (std::int32_t k = CardFileCount; k >= 1; --k) {
    const TFileInfor& rec = CardFileTable[k];
    const std::string name = ShownName(ListLine(rec.Name));
    if (!longForm) {
      std::printf("%s\n", name.c_str());
      continue;
    }
    DirEntry entry;
    entry.firstCluster = kEndOfChain;
    CardFileEntry(rec, &entry);
    const std::string firstText = entry.firstCluster == kEndOfChain ? "-" : std::to_string(entry.firstCluster);
    std::printf("%02X %10" PRIu32 " %6s  %s\n", rec.FileId, entry.size, firstText.c_str(), name.c_str());
  }
  return kExitOk;
}

// ---- the passes --------------------------------------------------------------

namespace {

// zk27's view of a pass: the progress line on a terminal, the pass's texts
// on stderr, and the exit status the results add up to.
class CliPassView : public PassView {
 public:
  CliPassView(const char* verb, std::vector<std::string> shownNames)
      : names_(std::move(shownNames)), line_(verb, static_cast<int>(names_.size())) {}

  void Starting(std::size_t, int position, int) override { position_ = position; }
  ProgressFn Transferring(std::size_t index) override {
    line_.Start(names_[index], position_);
    return line_.Callback();
  }
  void Finished(const FileReport& report) override {
    line_.End();
    // A file not done makes the run fail; the card's or the player's fault
    // weighs more than a file's.
    if (report.result != kOpOk) {
      const int failed = report.deviceFault ? kExitDevice : kExitRefused;
      status_ = std::max(status_, failed);
    }
    Said(report);
  }
  int Status() const { return status_; }

 protected:
  const std::string& Name(const FileReport& report) const { return names_[report.index]; }
  // Says the report's texts; a view may say some of them its own way.
  virtual void Said(const FileReport& report) {
    for (const std::string& m : report.messages) Say(m);
    if (!report.endText.empty()) Say(report.endText);
  }

 private:
  std::vector<std::string> names_;
  ProgressLine line_;
  int position_ = 0;
  int status_ = kExitOk;
};

class PutView : public CliPassView {
 public:
  using CliPassView::CliPassView;

 protected:
  void Said(const FileReport& report) override {
    // The probe's DeviceState message said it already, unless the previous
    // file's table write left the state.
    if (report.result == kOpDeviceGone && !g_session.windowClosed) SayState();
    CliPassView::Said(report);
  }
};

// get and towav name the file a text is about.
class FetchView : public CliPassView {
 public:
  using CliPassView::CliPassView;

 protected:
  void Said(const FileReport& report) override {
    const std::string& typed = Name(report);
    switch (report.result) {
      case kOpNotOnCard: Say(typed + ":" + msg::kFileNotExisted); return;
      case kOpWrongKind: Say(typed + ": " + msg::kUnknownVoice); return;
      case kOpOk:
        if (!report.wavName.empty()) Say(typed + " -> " + report.wavName);
        return;
      case kOpCannotCreatePcFile:
        CliPassView::Said(report);
        Say("The file " + typed + " cannot be created in the current directory.");
        return;
      default: CliPassView::Said(report); return;
    }
  }
};

}  // namespace

// ---- interrupts ------------------------------------------------------------------

namespace {

void OnInterrupt(int) { RequestStop(); }

// During a command that runs a pass, Ctrl-C (and SIGTERM, SIGHUP) asks the
// pass to stop at the next cluster instead of ending the program wherever it
// is: the card is left consistent. One that comes while the card is opened
// stops the pass before its first cluster. A second one does the same, so
// the program still waits.
class InterruptScope {
 public:
  InterruptScope() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &sa, &saved_[i]);
  }
  ~InterruptScope() {
    // Once interrupted the program is on its way out: a further interrupt
    // while it says what it did must not cut that short.
    if (StopRequested()) return;
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> saved_{};
};

// The exit status of a pass that ended with `status`: a pass that stopped on
// an interrupt says so after what it did. An interrupt that came after the
// last file changed nothing.
int ExitOf(const PassSummary& summary, int status) {
  if (!summary.stopped) return status;
  Say("zk27: interrupted");
  return kExitInterrupted;
}

}  // namespace

// ---- put -------------------------------------------------------------------------

int CmdPut(const std::vector<std::string>& args) {
  Args a;
  if (!ParseArgs(args, {}, "put needs at least one FILE", "put", &a)) return a.status;
  // From here on an interrupt stops the pass, even one before it starts.
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;

  Probe();  // its outcome shows at the first file
  std::vector<SendItem> files;
  std::vector<std::string> names;
  for (const std::string& path : a.operands) {
    files.push_back({path, BaseName(path)});
    names.push_back(BaseName(path));
  }
  PutView view(msg::kDownloading, names);
  const PassSummary summary = RunSendPass(files, view);
  Say(summary.text);
  return ExitOf(summary, view.Status());
}

// ---- get and towav ------------------------------------------------------------------

namespace {

// Fetches the named card files into the current directory, as the Upload
// pass does; with `toWave`, voice recordings only, each then turned into a
// WAV file beside it, as the To Wave pass does.
int FetchPass(const std::vector<std::string>& names, bool toWave) {
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;
  if (!Probe() && CardOrLinkLost()) return kExitDevice;

  std::vector<std::string> lines;
  for (const std::string& typed : names) lines.push_back(CardLine(typed));
  FetchView view(msg::kUploading, names);
  const PassSummary summary = RunFetchPass(lines, toWave ? FetchKind::kToWave : FetchKind::kFiles, ".", view);
  if (!summary.text.empty()) Say(summary.text);
  return ExitOf(summary, view.Status());
}

}  // namespace

int CmdGet(const std::vector<std::string>& args) {
  Args a;
  if (!ParseArgs(args, {}, "get needs at least one NAME", "get", &a)) return a.status;
  return FetchPass(a.operands, false);
}

int CmdTowav(const std::vector<std::string>& args) {
  Args a;
  if (!ParseArgs(args, {}, "towav needs at least one NAME", "towav", &a)) return a.status;
  return FetchPass(a.operands, true);
}

// ---- rm ----------------------------------------------------------------------------

int CmdRm(const std::vector<std::string>& args) {
  Args a;
  if (!ParseArgs(args, {}, "rm needs at least one NAME", "rm", &a)) return a.status;
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;
  if (!Probe()) return kExitDevice;

  std::vector<std::string> lines;
  for (const std::string& typed : a.operands) lines.push_back(CardLine(typed));
  CliPassView view("", a.operands);
  const PassSummary summary = RunDeletePass(lines, view);
  if (summary.end == PassStep::kEndSession) return SayState();
  if (summary.stopped) Say("No file was deleted.");
  RebuildCardList();
  return ExitOf(summary, view.Status());
}

// ---- format ----------------------------------------------------------------------

int CmdFormat(const std::vector<std::string>& args) {
  Args a;
  if (!ParseArgs(args, {"-y", "--yes"}, nullptr, "format", &a)) return a.status;
  g_session.assumeYes = Has(a.flags, "-y", "--yes");
  if (!g_session.assumeYes && !::isatty(STDIN_FILENO))
    return UsageError("format asks for confirmation; not on a terminal, give --yes");

  // The card need not be in the player's format to be formatted.
  if (const int s = CheckDeviceStatus(); s != kExitOk) return s;

  if (AskYesNo(msg::kConfirmFormatCaption, msg::kConfirmFormat) != Answer::Yes) {
    Say("The card was not formatted.");
    return kExitRefused;
  }
  const FormatResult formatted = FormatCard();
  if (formatted != kFormatOk) {
    Say(msg::FormatOutcome(formatted));
    return formatted == kFormatDeviceFailed ? SayState() : kExitDevice;
  }
  if (MountVolume() != kMountOk) {
    Say("Formatting failed: the new volume cannot be read back.");
    return DeviceState != 0 ? SayState() : kExitDevice;
  }
  RebuildCardList();
  Say(msg::FormatOutcome(formatted));
  Say(msg::FreeSpaceText(FreeClusterCount));
  return kExitOk;
}
