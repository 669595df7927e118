#include "messages.h"

#include <cstdio>

#include "fs.h"
#include "import.h"
#include "results.h"
#include "text.h"
#include "tvdh.h"
#include "usbfunc.h"

namespace msg {

std::string ConfirmDeleteMany(int count) {
  return "Do you really want to delete these " + std::to_string(count) + " files!!";
}

std::string DeleteNotExisted(const std::string& name) {
  return "The file," + name + " is not existed and then drop it!!";
}

const char* TransferFailure(DeviceStateCode state) {
  if (state == kDeviceNoCard) return kCardRemoved;
  if (state == kDeviceNotAttached) return kLostConnection;
  return kNotReady;
}

std::string FreeSpaceText(std::uint16_t freeClusters, bool spaced) {
  const std::uint32_t kilobytes = (static_cast<std::uint32_t>(freeClusters) * 65536u) >> 10;
  return std::string(kFreeSpace) + FormatThousands(std::to_string(kilobytes)) + (spaced ? " KB" : "KB");
}

std::string TotalFilesText(int count) { return kTotalFiles + std::to_string(count); }

std::string CountText(int count, const std::string& verb) {
  return std::to_string(count) + (count > 1 ? " files " : " file ") + verb;
}

std::string RepairOffer(int problems) {
  return "The card has " + std::to_string(problems) + (problems == 1 ? " problem" : " problems") +
         ": files or space that its tables do not account for.\r\n"
         "A repair frees what no file uses and keeps every whole file as it is.\r\n"
         "Repair the card now?";
}

const char* FormatOutcome(FormatResult formatted) {
  Notice refusal;
  return FormatRefusal(formatted, &refusal) ? WindowText(refusal) : kFormattingCompleted;
}

// Every result has its row (-Werror=switch).
bool FormatRefusal(FormatResult formatted, Notice* refusal) {
  switch (formatted) {
    case kFormatOk: return false;
    case kFormatNotIdentified: *refusal = Notice::kFormatNotIdentified; return true;
    case kFormatCardTooSmall: *refusal = Notice::kFormatCardTooSmall; return true;
    case kFormatDeviceFailed: *refusal = Notice::kFormatFailed; return true;
  }
  *refusal = Notice::kFormatFailed;
  return true;
}

bool StartRefusal(std::uint16_t raw, Notice* refusal) {
  if ((raw & 0x80) == 0x80) *refusal = Notice::kStartNoCard;
  else if ((raw & 0x7F) == 0x7F) *refusal = Notice::kStartBusy;
  else if (raw == kRawNoHandles) *refusal = Notice::kStartNoPlayer;
  else return false;
  return true;
}

const char* StartRefusal(std::uint16_t raw) {
  Notice refusal;
  return StartRefusal(raw, &refusal) ? WindowText(refusal) : nullptr;
}

// Every notice has its row: a notice added without one is a compile error
// here (the switch has no default, and the tree is built with
// -Werror=switch).
const char* WindowText(Notice notice) {
  switch (notice) {
    case Notice::kSectorBusy: return kBusyMessage;
    case Notice::kCheckNoCard:
      return " There is No CF Card in the device. \r\n Please Insert the CF Card and restart the Program.";
    case Notice::kCheckBusy: return "Device Busy!!\r\nPlease Reconnect.";
    case Notice::kCheckNoPlayer: return "Please Attach the Device!";
    case Notice::kCheckFailed: return " Device Busy !!\r\nPlease Reconnect the Device!";
    case Notice::kTablesDoNotFit: return kTablesDoNotFitMessage;
    case Notice::kInvalidFileStructure: return kInvalidFileStructure;
    case Notice::kStartNoCard: return kStartNoCard;
    case Notice::kStartBusy: return kStartBusy;
    case Notice::kStartNoPlayer: return kStartAttach;
    case Notice::kStateNoCard: return kStateNoCard;
    case Notice::kStateNoPlayer: return kStateAttach;
    case Notice::kStateNotReady: return kStateNotReady;
    case Notice::kNotZk27Format: return kNotZk27Format;
    case Notice::kCardInUse: return kCardInUseMessage;
    case Notice::kFormatNotIdentified:
      return "The player did not identify the CF card; nothing was written.\r\nThe card was not formatted.";
    case Notice::kFormatCardTooSmall: return "The CF card is too small to be formatted; nothing was written.";
    case Notice::kFormatFailed: return "Formatting failed: the card could not be written completely.";
    case Notice::kProgramExited: return kProgramExited;
    case Notice::kRepairFailed: return kRepairFailed;
  }
  return "";
}

std::string FileText(PassWords pass, CardOpResult result, const std::string& name) {
  switch (result) {
    case kOpCannotOpenPcFile: return kSelectedUnknown;
    case kOpWrongKind: return pass == PassWords::kToWave ? kUnknownVoice : kInvalidType;
    case kOpNoSpace: return kNoSpace;
    case kOpDirectoryFull: return kTooManyFiles;
    case kOpNotOnCard: return pass == PassWords::kDelete ? DeleteNotExisted(name) : kFileNotExisted;
    case kOpCannotCreatePcFile: return kInvalidHandle;
    case kOpOk:
    case kOpStopped:
    case kOpDeviceGone:
    case kOpDeviceFailed:
    case kOpVerifyFailed:
      return {};
    case kOpFlushFailed:
    case kOpPcReadFailed:
    case kOpNameNotStorable:
    case kOpNameTooLong:
    case kOpNameTableFull:
    case kOpNoFileIdLeft:
    case kOpNameOnCard:
    case kOpUnsafeName:
    case kOpPcWriteFailed:
    case kOpDamaged:
    case kOpDecodeFailed:
    case kOpWavNotWritten:
    case kOpNotVoice:
    case kOpVoiceTooLong:
    case kOpNoResampler:
    case kOpNoSoundLibrary:
    case kOpNotAPcName:
    case kOpPcNameTaken:
      return CardOpText(result, name);
  }
  return {};
}

namespace {

std::string Size(std::uint64_t bytes) {
  const char* units[] = {"bytes", "KB", "MB", "GB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 3) v /= 1024, ++u;
  char out[32];
  std::snprintf(out, sizeof(out), u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += PcNameFromCard(line) + "\r\n";
  return text;
}

std::string Problems(std::size_t n) { return std::to_string(n) + (n == 1 ? " problem" : " problems"); }

}  // namespace

std::string CheckReport(const std::vector<std::string>& problems, std::size_t files) {
  if (problems.empty())
    return "The card is clean: " + std::to_string(files) + (files == 1 ? " file." : " files.");
  return Joined(problems) + Problems(problems.size()) + " found.\r\nRepair the card?";
}

std::string RepairReport(const std::vector<std::string>& done, const std::vector<std::string>& left) {
  if (left.empty()) return Joined(done) + "The card is now clean.";
  return Joined(done) + Joined(left) + Problems(left.size()) + " left after the repair.";
}

std::string BackupOutcome(CardOpResult result, const std::string& path, std::uint64_t bytes) {
  switch (ResultKindOf(result)) {
    case ResultKind::kDone: return "The card was backed up to " + path + " (" + Size(bytes) + " read).";
    case ResultKind::kStopped: return "The backup was stopped; no image was written.";
    case ResultKind::kRefused:
      // A backup refuses only for its file: it cannot be made, or written.
      if (result == kOpCannotCreatePcFile) return "The file " + path + " cannot be created; no image was written.";
      return "The file " + path + " could not be written (is the disk full?); no image was kept.";
    case ResultKind::kDeviceFailed: break;
  }
  return "Reading the card failed during the backup; no image was kept.";
}

std::string RestoreQuestion(const std::string& path, const ImageFit& fit) {
  std::string text = "Write " + path + " onto the card? Every file on the card now is lost.";
  if (fit.unusedSectors > 0)
    text += "\r\nThe image's volume is " + Size(std::uint64_t{fit.imageSectors} * 512) + ", the card " +
            Size(std::uint64_t{fit.cardSectors} * 512) + ": the other " +
            Size(std::uint64_t{fit.unusedSectors} * 512) + " of the card stay unused.";
  return text;
}

std::string RestoreOutcome(CardOpResult result, const std::string& path, const ImageFit* fit) {
  switch (ResultKindOf(result)) {
    case ResultKind::kDone: return "The card was restored from " + path + ".";
    case ResultKind::kStopped:
      return "The restore was stopped: the card holds part of the image and none of its files yet. Restoring the "
             "same image again completes it.";
    case ResultKind::kRefused:
      // Refused for what the image is, before anything was written.
      if (result == kOpWrongKind)
        return "The file " + path + " is not a card image of the player's format; nothing was written.";
      if (result == kOpPcReadFailed) return "The file " + path + " could not be read whole; nothing was written.";
      if (result == kOpNoSpace && fit)
        return "The image's volume is " + Size(std::uint64_t{fit->imageSectors} * 512) + ", the card only " +
               Size(std::uint64_t{fit->cardSectors} * 512) + ": the card cannot hold it; nothing was written.";
      if (result == kOpNoSpace) return "The image is larger than the card; nothing was written.";
      return "The file " + path + " cannot be opened; nothing was written.";
    case ResultKind::kDeviceFailed:
      if (result == kOpVerifyFailed)
        return "The card does not read back what was written; restore again, or try another card.";
      break;
  }
  return "Writing the card failed during the restore; the card may hold part of the image. Restoring the same "
         "image again completes it.";
}

std::string FolderUnreadable(const std::string& dir) { return "The folder " + dir + " cannot be read."; }

std::string ImportSettingsUnread(const std::string& path, int line) {
  return "The import settings in " + path + (line > 0 ? " (line " + std::to_string(line) + ")" : std::string()) +
         " cannot be read.\r\nThe dialog starts from the defaults.";
}

std::string ImportSettingsUnwritten(const std::string& path) {
  return "The choices could not be kept in " + path + ".";
}

namespace {

std::string ImportEndText(const ImportReport& report, const std::string& folder) {
  switch (report.end) {
    case ImportEnd::kWhole:
    case ImportEnd::kStopped: return {};
    case ImportEnd::kCardLost: return "The card was lost; the import ended there.";
    case ImportEnd::kPcFailed:
      return "The folder " + folder + " takes no more files (is the disk full?); the import ended there.";
    case ImportEnd::kFolderBusy: return "Another import is bringing recordings into " + folder + ".";
    case ImportEnd::kFolderUnusable: return "The folder " + folder + " or its import record cannot be made or written.";
  }
  return {};
}

std::string ImportFreeingText(ImportFreeing freeing) {
  switch (freeing) {
    case ImportFreeing::kNotAsked:
    case ImportFreeing::kFreed:
    case ImportFreeing::kNothingToFree: return {};
    case ImportFreeing::kHeldBack: return "The card was not freed: the import did not end whole.";
    case ImportFreeing::kCardChanged: return "The card was not freed: its files changed during the import.";
    case ImportFreeing::kStopped: return "The card was not freed: the import was stopped.";
    case ImportFreeing::kTablesFailed: return "The card could not be freed: its tables could not be written.";
  }
  return {};
}

}  // namespace

std::string ImportResultText(const ImportReport& report, const std::string& folder) {
  std::string text;
  for (const ImportItem& item : report.items) {
    if (item.outcome == ImportOutcome::kRefused)
      text += PcNameFromCard(item.cardName) + ": the decoder cannot read it; it stays on the card.\r\n";
    else if (item.outcome == ImportOutcome::kFailed)
      text += PcNameFromCard(item.cardName) + ": not imported; it stays on the card.\r\n";
  }
  if (const std::string end = ImportEndText(report, folder); !end.empty()) {
    // Nothing ran: the summary would only count nothing.
    if (report.end == ImportEnd::kFolderBusy || report.end == ImportEnd::kFolderUnusable) return end;
    text += end + "\r\n";
  }
  if (const std::string freeing = ImportFreeingText(report.freeing); !freeing.empty()) text += freeing + "\r\n";
  return text + ImportSummaryLine(report);
}

std::string SyncPlanText(const SyncPlan& plan, const std::string& dir, bool* question) {
  std::string text;
  for (const SyncStep& s : plan.steps) {
    switch (s.action) {
      case SyncAction::kSend: text += "Send " + s.name + " (" + Size(s.size) + ")\r\n"; break;
      case SyncAction::kReplace: text += "Replace " + s.name + " (" + Size(s.size) + ")\r\n"; break;
      case SyncAction::kDelete: text += "Delete " + s.name + "\r\n"; break;
      case SyncAction::kRefused:
      case SyncAction::kLeftOut:
      case SyncAction::kWrongKind: text += "Left out " + s.name + "\r\n"; break;
      case SyncAction::kKeep:
      case SyncAction::kExtra: break;
    }
  }
  *question = false;
  if (!plan.Fits())
    return text + "The files of " + dir + " do not fit on the card: they need " +
           std::to_string(plan.clustersNeeded) + " clusters, the card has " + std::to_string(plan.clustersFree) +
           " free. Nothing was written.";
  if (plan.NothingToDo()) return text + "The card holds the files of " + dir + " already; nothing to do.";
  *question = true;
  return text + "Make the card hold the files of " + dir + "?";
}

}  // namespace msg

// The results' own texts, which name the file.
std::string CardOpText(CardOpResult result, const std::string& name) {
  switch (result) {
    case kOpPcReadFailed:
      return "The file " + name + " could not be read completely; it was not stored.";
    case kOpNameNotStorable:
      return "The name " + name +
             " cannot be stored on the card: it holds a character outside the card's code page,"
             " a control character, \\ or :, or it begins with a dot. The file was skipped.";
    case kOpNameTooLong:
      return "The name " + name + " is longer than the card allows (62 characters); the file was skipped.";
    case kOpNameOnCard:
      return "The card holds a file named " + name + " already; delete it first to send this one. The file was skipped.";
    case kOpNameTableFull:
      return "The card's name table is full; no further file can be stored.";
    case kOpNoFileIdLeft:
      return "The card holds 127 files of this kind already; " + name + " was skipped.";
    case kOpFlushFailed:
      return "The card's file tables could not be written after " + name + "; it is not stored.";
    case kOpUnsafeName:
      return "The card file " + name +
             " has a damaged name: a hidden file's, a path, or neither a music nor a voice file's. It was"
             " skipped; a repair of the card renames it.";
    case kOpPcWriteFailed:
      return "The file " + name + " could not be written on the PC; nothing was kept of it.";
    case kOpDamaged:
      return "The card file " + name + " is damaged (its cluster chain is broken); it was not fetched.";
    case kOpDecodeFailed:
      return "The voice file " + name + " could not be decoded; no WAV file was made of it.";
    case kOpWavNotWritten:
      return "The WAV file of " + name + " could not be written on the PC.";
    case kOpNotVoice:
      return "The file " + name + " is not a voice recording (it is another format's file); nothing was made of it.";
    case kOpVoiceTooLong:
      return "The voice file " + name +
             " would make a sound of more than 268,435,456 samples (9 hours at 8 kHz); it is taken for damaged and"
             " nothing was made of it.";
    case kOpNoResampler:
      return "The voice file " + name +
             " needs resampling, and libsamplerate cannot be loaded; nothing was made of it.";
    case kOpNoSoundLibrary:
      return "The voice file " + name + " needs the sound library " + TvdhSoundLibraryName() +
             ", which cannot be loaded; nothing was made of it.";
    case kOpNotAPcName:
      return "The card file " + name +
             " cannot be fetched under its name: the PC folder does not allow one of its characters, or Windows"
             " keeps the name for a device. It was skipped; rename it on the card to fetch it.";
    case kOpPcNameTaken:
      return "The card file " + name +
             " was skipped: another card file just fetched has the same name in other capitals, and the PC folder"
             " does not tell the two apart. Rename one of them on the card to fetch both.";
    case kOpOk:
    case kOpDeviceGone:
    case kOpDeviceFailed:
    case kOpCannotOpenPcFile:
    case kOpNoSpace:
    case kOpWrongKind:
    case kOpDirectoryFull:
    case kOpNotOnCard:
    case kOpCannotCreatePcFile:
    case kOpStopped:
    case kOpVerifyFailed:
      break;
  }
  return {};
}
