#include "passes.h"

#include <algorithm>
#include <atomic>

#include "card_names.h"
#include "fs.h"
#include "messages.h"
#include "platform.h"
#include "sync.h"
#include "text.h"
#include "usbfunc.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets the stop request");

// "2files downloaded": the progress window's status line when a pass ends on
// the card.
std::string StoppedText(int count, const char* what) { return std::to_string(count) + what; }

// Whether a send goes on after result `r`, and what it says. The only place
// that decides it, for both front ends.
void JudgeSend(CardOpResult r, const std::string& name, int done, FileReport* report) {
  report->result = r;
  switch (r) {
    case kOpOk:
      report->counted = true;
      return;
    case kOpCannotOpenPcFile:
    case kOpWrongKind:
    case kOpNameNotStorable:
    case kOpNameTooLong:
    case kOpNoFileIdLeft:
    case kOpNameOnCard:
    case kOpPcReadFailed:  // this file only; the next may be fine
      report->messages = {msg::FileText(msg::PassWords::kSend, r, name)};
      return;
    case kOpNoSpace:
    case kOpDirectoryFull:
    case kOpNameTableFull:
      report->messages = {msg::FileText(msg::PassWords::kSend, r, name)};
      report->step = PassStep::kStop;
      return;
    case kOpStopped:
      report->step = PassStep::kStop;
      return;
    case kOpDeviceGone:  // found by the probe, which said so already
      report->step = PassStep::kStop;
      report->deviceFault = true;
      return;
    default:  // a card command failed: during the data, or the table write
      if (r == kOpFlushFailed) report->messages.push_back(msg::FileText(msg::PassWords::kSend, r, name));
      report->messages.push_back(msg::TransferFailure(DeviceState));
      report->deviceFault = true;
      report->step = CardOrLinkLost() ? PassStep::kEndSession : PassStep::kStop;
      if (CardOrLinkLost()) report->endText = StoppedText(done, "files downloaded");
      return;
  }
}

// The same for a fetched file (before any conversion).
void JudgeFetch(CardOpResult r, const std::string& shownName, int done, FileReport* report) {
  report->result = r;
  switch (r) {
    case kOpOk:
      report->counted = true;
      return;
    case kOpNotOnCard:
      report->messages = {msg::FileText(msg::PassWords::kFetch, r, shownName)};
      return;
    case kOpCannotCreatePcFile:
      report->messages = {msg::FileText(msg::PassWords::kFetch, r, shownName)};
      report->step = PassStep::kStop;
      return;
    case kOpStopped:
      report->step = PassStep::kStop;
      return;
    case kOpDeviceFailed:
      report->messages = {msg::TransferFailure(DeviceState)};
      report->deviceFault = true;
      report->step = CardOrLinkLost() ? PassStep::kEndSession : PassStep::kStop;
      report->endText = StoppedText(done, "files uploaded");
      return;
    default:  // this file only: a damaged chain, an unsafe name, a PC write error
      report->messages = {msg::FileText(msg::PassWords::kFetch, r, shownName)};
      return;
  }
}

void EndOn(const FileReport& report, PassSummary* summary) {
  summary->end = report.step;
  summary->last = report.result;
  summary->stopped = report.result == kOpStopped;
  summary->endText = report.endText;
}

// A PC name in the card's code page (Windows-1252), which holds every letter
// a card name can have, with its letters in one case.
std::string FoldedCase(const std::string& pcName) {
  std::string card;
  if (!CardNameFromPc(pcName, &card)) return pcName;
  for (char& ch : card) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) ch = static_cast<char>(c - 0x20);
    else if (c == 0x9A || c == 0x9C || c == 0x9E) ch = static_cast<char>(c - 0x10);  // š œ ž
    else if (c == 0xFF) ch = static_cast<char>(0x9F);                                // ÿ
  }
  return card;
}

// Whether the PC file `pcName` in `dir` is one of `fetched`, this pass's
// files, under the same name in other capitals: a folder that does not tell
// upper from lower case (Windows', a FAT or exFAT stick's) holds "Memo.voc"
// and "memo.voc" as one file, and the second copy would replace the first.
// The same name again is the user's to fetch twice.
bool FetchedUnderAnotherName(const std::string& dir, const std::string& pcName,
                             const std::vector<std::string>& fetched) {
  const std::string folder = (dir.empty() ? std::string(".") : dir) + "/";
  const std::string folded = FoldedCase(pcName);
  return std::any_of(fetched.begin(), fetched.end(), [&](const std::string& earlier) {
    return earlier != pcName && FoldedCase(earlier) == folded &&
           platform::SameFile(folder + earlier, folder + pcName);
  });
}

// One file of a fetch pass: found, of the right kind, fetched, converted.
// `fetched` holds the PC names the pass made so far, and gains this one's.
FileReport FetchOne(std::size_t index, const CardFileRef& file, FetchKind kind, const std::string& dir, int done,
                    PassView& view, const VoiceOutput& out, std::vector<std::string>* fetched) {
  FileReport report;
  report.index = index;
  CurrentFileName = file.name();
  const std::int32_t r = FindCardFile(file);
  if (r <= 0) {
    JudgeFetch(kOpNotOnCard, file.name(), done, &report);
    return report;
  }
  if (kind == FetchKind::kToWave && !IsVoiceFileId(CardFileTable[r].FileId)) {
    report.result = kOpWrongKind;
    report.messages = {msg::FileText(msg::PassWords::kToWave, kOpWrongKind, PcNameFromCard(file.name()))};
    return report;
  }
  CardOpResult result = kOpDeviceFailed;
  std::string pcName;
  if (SafePcName(CardFileTable[r].Name, &pcName) && FetchedUnderAnotherName(dir, pcName, *fetched))
    result = kOpPcNameTaken;
  else if (DeviceState == kDeviceReady)
    result = FetchCardFileTo(r, dir, view.Transferring(index), &pcName);
  JudgeFetch(result, PcNameFromCard(file.name()), done, &report);
  if (result != kOpOk) return report;
  fetched->push_back(pcName);
  report.pcName = pcName;
  if (kind != FetchKind::kToWave) return report;
  // A recording that cannot be turned into sound is said, not counted; the
  // voice file fetched stays.
  const CardOpResult decoded = ConvertVoiceFile(report.pcName, &report.wavName, dir, out, &report.notes);
  if (decoded != kOpOk) {
    report.result = decoded;
    report.counted = false;
    report.messages = {msg::FileText(msg::PassWords::kToWave, decoded, report.pcName)};
  }
  return report;
}

}  // namespace

namespace {
StateVerdict EndOn(Notice notice) { return {StateReaction::kEndSession, msg::WindowText(notice), notice}; }
OpeningReport Refused(CardOpening state, Notice notice) { return {state, msg::WindowText(notice), notice}; }
}  // namespace

bool CardOrLinkLost() { return DeviceState == kDeviceNoCard || DeviceState == kDeviceNotAttached; }

StateVerdict JudgeDeviceState(DeviceStateCode state) {
  switch (state) {
    case kDeviceNoCard: return EndOn(Notice::kStateNoCard);
    case kDeviceNotAttached: return EndOn(Notice::kStateNoPlayer);
    case kDeviceNotReady: return EndOn(Notice::kStateNotReady);
    case kDeviceRecheck: return {StateReaction::kRecheck, nullptr};
    case kDeviceReady:
    case kDeviceBusy: return {};
  }
  return {};
}

OpeningReport CheckPlayer() {
  // The raw status itself is tested: the DeviceState is not yet set.
  const std::uint16_t raw = QueryDeviceStatus();
  if (raw == kRawNoHandles && PlayerRefusalOfLastOpen().kind != PlayerRefusal::Kind::kNone)
    return {CardOpening::kPlayerUntrusted, nullptr};
  Notice refusal;
  if (msg::StartRefusal(raw, &refusal)) return Refused(CardOpening::kPlayerRefused, refusal);
  return {};
}

OpeningReport CheckCardFormat() {
  switch (CheckCard()) {
    case kCardForeign: return Refused(CardOpening::kForeign, Notice::kNotZk27Format);
    case kCardZeroTotal: return Refused(CardOpening::kZeroTotal, Notice::kNotZk27Format);
    case kCardUnreadable: return {CardOpening::kUnreadable, nullptr};  // the check has said why
    default: return {};
  }
}

OpeningReport CheckPlayerAndCard() {
  const OpeningReport player = CheckPlayer();
  return player.state != CardOpening::kOpen ? player : CheckCardFormat();
}

void RequestStop() { g_stop.store(true); }
bool StopRequested() { return g_stop.load(); }
void ClearStopRequest() { g_stop.store(false); }

PassSummary RunSendPass(const std::vector<SendItem>& files, PassView& view) {
  PassSummary summary;
  const int total = static_cast<int>(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    view.Starting(i, summary.done + 1, total);
    FileReport report;
    report.index = i;
    const SendItem& item = files[i];
    const CardOpResult r = item.replaces.empty() ? SendFileToCard(item.pcPath, item.pcName, view.Transferring(i))
                                                 : ReplaceCardFile(item, view.Transferring(i));
    JudgeSend(r, files[i].pcName, summary.done, &report);
    if (report.counted) ++summary.done;
    view.Finished(report);
    if (report.step != PassStep::kNext) {
      EndOn(report, &summary);
      break;
    }
  }
  summary.text = msg::CountText(summary.done, "downloaded");
  return summary;
}

PassSummary RunFetchPass(const std::vector<CardFileRef>& files, FetchKind kind, const std::string& dir,
                         PassView& view, const VoiceOutput& out) {
  PassSummary summary;
  int dropped = 0;
  std::vector<std::string> fetched;
  for (std::size_t i = 0; i < files.size(); ++i) {
    view.Starting(i, summary.done + 1, static_cast<int>(files.size()) - dropped);
    const FileReport report = FetchOne(i, files[i], kind, dir, summary.done, view, out, &fetched);
    if (report.result == kOpNotOnCard) ++dropped;
    if (report.counted) ++summary.done;
    view.Finished(report);
    if (report.step != PassStep::kNext) {
      EndOn(report, &summary);
      break;
    }
  }
  // A pass cut short by the PC or the card ends with the status line, not
  // with a summary.
  const bool summarised = summary.end == PassStep::kNext || summary.stopped;
  if (summarised) summary.text = msg::CountText(summary.done, "uploaded");
  return summary;
}

PassSummary RunDeletePass(const std::vector<CardFileRef>& files, PassView& view) {
  // One table write for all the files: a stop asked for before it keeps
  // every file, one asked for later comes too late.
  PassSummary summary;
  // Every file is found before any is released: a release closes up the
  // FileIds above it, and a ref by FileId would then name another file.
  const std::vector<CardFileRef> pinned = PinCardFiles(files);
  for (std::size_t i = 0; i < files.size(); ++i) {
    FileReport report;
    report.index = i;
    report.result = pinned[i].empty() ? kOpNotOnCard : ReleaseCardFile(pinned[i]);
    if (report.result == kOpOk) {
      report.counted = true;
      ++summary.done;
    } else {
      report.messages = {msg::FileText(msg::PassWords::kDelete, report.result, PcNameFromCard(files[i].name()))};
    }
    view.Finished(report);
  }
  if (StopRequested()) {
    // The releases were made in the image only: reading the card again
    // forgets them.
    MountVolume();
    summary.done = 0;
    summary.stopped = true;
    summary.end = PassStep::kStop;
    summary.last = kOpStopped;
    return summary;
  }
  const std::uint64_t writesBefore = CardWritesMade();
  FlushVolume(FlushOrder::kReleasing);
  if (DeviceState != kDeviceReady) {
    summary.tablesTouched = CardWritesMade() != writesBefore;
    // The tables may be half written: the user must hear it before the
    // session ends. A busy player has said so itself.
    summary.end = PassStep::kEndSession;
    summary.last = kOpFlushFailed;
    if (DeviceState != kDeviceBusy) summary.text = msg::TransferFailure(DeviceState);
  }
  return summary;
}
