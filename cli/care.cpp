// Looking after a card: a backup and its restore, renaming a file, choosing
// the play order.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli.h"
#include "platform.h"
#include "hooks.h"
#include "text.h"

int CmdMv(const Args& a) {
  if (a.operands.size() != 2) return UsageError("mv needs OLD and NEW");
  if (const int s = OpenCard(); s != kExitOk) return s;
  const ChosenFiles chosen = ChooseCardFiles({a.operands[0]}, false);
  if (chosen.lines.empty()) return kExitRefused;
  if (chosen.lines.size() > 1) {
    Error(a.operands[0] + ": matches " + std::to_string(chosen.lines.size()) + " files; mv renames one");
    return kExitRefused;
  }
  const std::string& newName = a.operands[1];
  const CardOpResult result = RenameCardFile(chosen.lines[0], newName);
  if (result == kOpOk) {
    Verbose("renamed " + chosen.shown[0] + " to " + Escaped(newName));
    return kExitOk;
  }
  if (result == kOpWrongKind) {
    const bool voice = IsVoiceFileId(chosen.fileIds[0]);
    Error(Escaped(newName) + ": " + chosen.shown[0] + " is a " + (voice ? "voice" : "music") +
          " file and keeps its kind: its name ends in " + (voice ? ".voc" : ".mp3"));
    return kExitRefused;
  }
  const bool device = result == kOpDeviceFailed;
  Error((result == kOpNotOnCard ? chosen.shown[0] : Escaped(newName)) + ": " + ResultWords(result, ResultScene::kCare));
  return device ? kExitDevice : kExitRefused;
}

int CmdOrder(const Args& a) {
  const bool byName = Has(a, "--by-name");
  if (byName && !a.operands.empty()) return UsageError("--by-name takes no NAME");
  if (!byName && a.operands.empty()) return UsageError("order needs a NAME or --by-name");
  if (const int s = OpenCard(); s != kExitOk) return s;

  ChosenFiles chosen = byName ? AllCardFiles(false) : ChooseCardFiles(a.operands, false);
  if (chosen.missing > 0) return kExitRefused;
  std::vector<std::pair<std::string, std::size_t>> music;  // shown name, place in `chosen`
  for (std::size_t i = 0; i < chosen.lines.size(); ++i) {
    if (!IsVoiceFileId(chosen.fileIds[i])) {
      music.emplace_back(chosen.shown[i], i);
    } else if (!byName) {
      Error(chosen.shown[i] + ": a voice file has no place in the play order");
      return kExitRefused;
    }
  }
  if (byName) std::stable_sort(music.begin(), music.end());
  std::vector<CardFileRef> lines;
  for (const auto& m : music) lines.push_back(chosen.lines[m.second]);
  const CardOpResult result = OrderMusicFiles(lines);
  if (result != kOpOk) {
    Error("the play order could not be written: " + ResultWords(result, ResultScene::kCare));
    return result == kOpDeviceFailed ? kExitDevice : kExitRefused;
  }
  for (const auto& m : music) Verbose("ordered " + m.first);
  return kExitOk;
}

// ---- backup and restore -----------------------------------------------------------

int SayResult(CardOpResult result, ResultScene scene, const ResultFacts& facts) {
  const std::string words = ResultWords(result, scene, facts);
  if (result == kOpOk) Verbose(words);
  else if (words.empty()) return SayState();
  else Error(words);
  return StatusOf(result);
}

int CmdBackup(const Args& a) {
  if (a.operands.size() != 1) return UsageError("backup needs one FILE");
  const std::string& path = a.operands[0];
  const InterruptScope interrupts;
  if (const int s = OpenCard(); s != kExitOk) return s;
  ProgressLine line(1);
  line.Start(path, 1, 0);
  std::uint64_t read = 0;
  const CardOpResult result = BackupCard(path, line.Callback(), &read);
  line.End();
  return SayResult(result, ResultScene::kBackup, {.pcPath = path, .bytes = read});
}

int CmdRestore(const Args& a) {
  if (a.operands.size() != 1) return UsageError("restore needs one FILE");
  g_session.assumeYes = Has(a, "--yes");
  if (!g_session.assumeYes && !platform::IsTerminal(0))
    return UsageError("restore asks for confirmation; not on a terminal, give --yes");
  const std::string& path = a.operands[0];
  const InterruptScope interrupts;
  // The card need not be in the player's format to be written over.
  if (const int s = CheckDeviceStatus(); s != kExitOk) return s;
  if (Has(a, "--files")) return RestoreImageFilesCommand(path);
  // What the card will hold is said before the question.
  ImageFit fit;
  if (const CardOpResult fits = FitCardImage(path, &fit); fits != kOpOk)
    return SayResult(fits, ResultScene::kImageRefusal, {.pcPath = path, .fit = &fit});
  if (fit.unusedSectors > 0)
    Warn(Escaped(path) + ": its volume is " + HumanSize(std::uint64_t{fit.imageSectors} * 512) + ", the card " +
         HumanSize(std::uint64_t{fit.cardSectors} * 512) + ": the card keeps the image's volume and its other " +
         HumanSize(std::uint64_t{fit.unusedSectors} * 512) + " stay unused; " +
         RestoreFilesHint(path) + " formats the card at its own size and sends the image's files instead");
  if (AskYesNo("zk27 restore", "write " + Escaped(path) + " onto the card? Every file on the card now is lost.") !=
      Answer::Yes) {
    Error("the card was not restored");
    return kExitRefused;
  }
  ProgressLine line(1);
  line.Start(path, 1, 0);
  const CardOpResult result = RestoreCard(path, line.Callback());
  line.End();
  if (result == kOpOk) RebuildCardList();
  // A refusal now means the image changed since it was looked at; still
  // nothing was written.
  return SayResult(result, ResultScene::kRestore, {.pcPath = path});
}
