// What zk27 says, and how: its own plain words on stderr, one line a
// problem; the window's texts stay in the window.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli.h"
#include "platform.h"
#include "messages.h"
#include "results.h"
#include "text.h"
#include "tvdh.h"

Session g_session;

namespace {

void Line(std::FILE* to, const std::string& text) {
  const std::string line = text + '\n';
  std::fwrite(line.data(), 1, line.size(), to);
}

std::int64_t NowNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// How zk27 says a notice: its words, whether it tells what happened to the
// player or the card (`device`: a pass's own line says that with the file it
// happened to), and whether it is only a warning.
struct Wording {
  const char* plain;
  bool device;
  bool warning;
};

constexpr const char* kNoCard = "there is no card in the player";
constexpr const char* kBusy = "the player is busy; reconnect it and try again";
constexpr const char* kNoPlayer =
    "no player is attached (and no virtual player is running: 'zk27-player serve' starts one)";
constexpr const char* kNotReady = "the player is not ready; reconnect it and try again";
constexpr const char* kInUse = "the card is in use by another program";

// Every notice has its row: a notice added without one is a compile error
// here (the switch has no default, and the tree is built with
// -Werror=switch).
Wording WordingOf(Notice notice) {
  switch (notice) {
    case Notice::kCheckNoCard:
    case Notice::kStartNoCard:
    case Notice::kStateNoCard: return {kNoCard, true, false};
    case Notice::kSectorBusy:
    case Notice::kCheckBusy:
    case Notice::kCheckFailed:
    case Notice::kStartBusy: return {kBusy, true, false};
    case Notice::kCheckNoPlayer:
    case Notice::kStartNoPlayer:
    case Notice::kStateNoPlayer: return {kNoPlayer, true, false};
    case Notice::kStateNotReady: return {kNotReady, true, false};
    case Notice::kNotZk27Format:
      return {"the card is not in the player's format; 'zk27 format' formats it (every file on it is lost)", false,
              false};
    case Notice::kTablesDoNotFit:
      return {"the card's file tables do not fit the card, so it cannot be read; 'zk27 format' makes it usable "
              "again (every file on it is lost)",
              false, false};
    case Notice::kInvalidFileStructure:
      return {"a music file on the card has no readable name; 'zk27 check' examines the card", false, true};
    case Notice::kCardInUse: return {kInUse, false, false};
    case Notice::kFormatNotIdentified:
      return {"the player did not identify the card; nothing was written, the card was not formatted", false, false};
    case Notice::kFormatCardTooSmall: return {"the card is too small to be formatted; nothing was written", false, false};
    case Notice::kFormatFailed: return {"formatting failed: the card could not be written completely", false, false};
    case Notice::kProgramExited: return {"the card was not formatted", false, false};
    case Notice::kRepairFailed:
      return {"the repair could not be written to the card whole; run 'zk27 check' again", false, false};
  }
  return {"", false, false};
}

// A wording as said: its hints name the card the user gave, and a busy or
// unready player whose last command failed in transport is said as what
// the link found.
std::string Said(const Wording& w) {
  const std::string trouble = TransportTrouble();
  if (w.device && !trouble.empty() && (w.plain == kBusy || w.plain == kNotReady)) {
    if (CardSession::LastTransportCause() == TransportCause::kNoAnswer) return trouble + "; reconnect it and try again";
    return trouble;
  }
  std::string text = w.plain;
  const std::string typed = "'zk27 ";
  for (std::size_t at = text.find(typed); at != std::string::npos; at = text.find(typed, at + 1)) {
    const std::size_t end = text.find('\'', at + typed.size());
    if (end == std::string::npos) break;
    const std::string hint = Hint(text.substr(at + typed.size(), end - at - typed.size()));
    text.replace(at, end + 1 - at, hint);
    at += hint.size() - 1;
  }
  return text;
}

// A path as a shell takes it back: bare when it holds nothing a shell reads
// otherwise, in double quotes when only blanks and the like need it, else in
// single quotes.
std::string ShellQuoted(const std::string& path) {
  static const char* const kBare =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./+-=:,@%";
  if (!path.empty() && path.find_first_not_of(kBare) == std::string::npos && path[0] != '=') return path;
  if (path.find_first_of("\"$`\\!") == std::string::npos) return '"' + path + '"';
  std::string quoted = "'";
  for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

void Error(const std::string& line) { Line(stderr, "zk27: " + line); }

void Warn(const std::string& line) {
  if (!g_session.quiet) Error(line);
}

void Verbose(const std::string& line) {
  if (g_session.verbose) Line(stdout, line);
}

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "zk27: %s\nTry 'zk27 --help'.\n", problem.c_str());
  return kExitUsage;
}

std::string PlainWords(Notice notice) { return Said(WordingOf(notice)); }

void SayNotice(Notice notice) {
  const Wording w = WordingOf(notice);
  // A pass says what the device did with the file it did it to.
  if (w.device && g_session.inPass) return;
  if (w.warning) Warn(Said(w));
  else Error(Said(w));
}

std::string CardLockRefusal(CardLockResult result) {
  if (result == kLockInUse) return kInUse;
  return "the card cannot be locked: its lock file cannot be made";
}

std::string PlayerRefusalWords(const PlayerRefusal& why) {
  char line[128];
  if (why.kind == PlayerRefusal::Kind::kAddress)
    return "ZK27_PLAYER_TCP=" + why.path + ": not an address on the loopback (127.0.0.1:PORT); the player is not looked for there";
  if (why.kind == PlayerRefusal::Kind::kPeer) {
    std::snprintf(line, sizeof(line), ": answered by another user (uid %" PRIu32 "); it is not taken for the player",
                  why.peer);
    return why.path + line;
  }
  std::snprintf(line, sizeof(line), ": %s of your own (owner %" PRIu32 ", mode %04" PRIo32
                "); the player is not looked for there",
                why.directory ? "not a folder" : "not a real folder", why.owner, why.mode);
  return why.path + line;
}

std::string TransportTrouble() {
  switch (CardSession::LastTransportCause()) {
    case TransportCause::kNoAnswer: return "the player stopped answering";
    case TransportCause::kWriteProtected: return "the card is write-protected (read-only)";
    case TransportCause::kDiskFull: return "no space left on the disk that holds the card image";
    case TransportCause::kIoError:
      return std::string("the card cannot be read or written (") + std::strerror(CardSession::LastTransportErrno()) + ")";
    case TransportCause::kNone: break;
  }
  return {};
}

std::string Hint(const std::string& command) {
  if (g_session.imagePath.empty()) return "'zk27 " + command + "'";
  return "'zk27 --image " + Escaped(ShellQuoted(g_session.imagePath)) + " " + command + "'";
}

std::string RestoreFilesHint(const std::string& path) {
  return Hint("restore --files " + Escaped(ShellQuoted(path)));
}

std::string DeviceTrouble(DeviceStateCode state) {
  // A command that failed in transport left the device not ready, whatever
  // the cause.
  if (state == kDeviceNotReady)
    if (std::string trouble = TransportTrouble(); !trouble.empty()) return trouble;
  switch (state) {
    case kDeviceBusy: return "player busy";
    case kDeviceNoCard: return "card removed";
    case kDeviceNotAttached: return "connection to the player lost";
    case kDeviceNotReady: return "player not ready";
    case kDeviceReady:
    case kDeviceRecheck: break;
  }
  return "card command failed";
}

std::string Escaped(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    switch (c) {
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0x1B: out += "\\e"; continue;
      default: break;
    }
    char escaped[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
      out += escaped;
      continue;
    }
    // The C1 controls (U+0080 to U+009F) are escape sequences to a terminal too.
    const unsigned char next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      std::snprintf(escaped, sizeof(escaped), "\\u%04X", next);
      out += escaped;
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

// ---- results -----------------------------------------------------------------

namespace {

// What to do about a missing libsamplerate: install the package on Linux;
// on Windows the DLL goes beside zk27.exe or on the path.
std::string ResamplerMissing() {
#ifdef _WIN32
  return std::string(TvdhResamplerName()) + " cannot be loaded (put it beside zk27.exe)";
#else
  return "libsamplerate cannot be loaded (install libsamplerate0)";
#endif
}

constexpr const char* kNameNotHeld =
    "the card cannot hold this name (a character outside its code page, a control character, \\ or :, or a leading "
    "dot)";
constexpr const char* kNameTooLong = "name too long for the card (at most 62 characters)";
constexpr const char* kLargerThanAnyCard = "larger than any card holds";
constexpr const char* kNotMusicOrVoice = "not an MP3 or voice file";

// A scene's words for a code that has none of its own there.
std::string PlainResult(ResultScene scene, const ResultFacts& facts) {
  switch (scene) {
    case ResultScene::kDeviceFault: return DeviceTrouble(CardSession::State()) + " during " + facts.name;
    case ResultScene::kSend: return "not sent";
    case ResultScene::kFetch: return "not fetched";
    case ResultScene::kImport: return "not imported; it stays on the card";
    case ResultScene::kCare: return DeviceTrouble(CardSession::State());
    case ResultScene::kFolderPlan: return kNameNotHeld;
    case ResultScene::kImagePlan:
      return "the card cannot hold this name (a character outside its code page, a control character, \\ or :)";
    case ResultScene::kBackup: return DeviceTrouble(CardSession::State()) + " during the backup; no image was kept";
    case ResultScene::kRestore:
      return DeviceTrouble(CardSession::State()) + " during the restore; the card may hold part of the image: " +
             Hint("restore") + " with the same image completes it";
    // The device's state says it.
    case ResultScene::kImageRefusal:
    case ResultScene::kRestoreFiles: return {};
  }
  return {};
}

// The scenes where an image is refused before anything is written.
bool Refusing(ResultScene scene) {
  return scene == ResultScene::kImageRefusal || scene == ResultScene::kRestore || scene == ResultScene::kRestoreFiles;
}

// "its volume is 64.0 MB, the card only 32.0 MB: ..." for a card too small
// for the image as it is.
std::string TooSmallFor(const std::string& path, const ImageFit& fit) {
  return "its volume is " + HumanSize(std::uint64_t{fit.imageSectors} * 512) + ", the card only " +
         HumanSize(std::uint64_t{fit.cardSectors} * 512) +
         ": the card cannot hold the image as it is; nothing was written. " + RestoreFilesHint(path) +
         " formats the card at its own size and sends the image's files, if they fit";
}

constexpr const char* kNoTemporaryCopy =
    "the image's files could not be copied into the temporary folder (is the disk full?); nothing was written";

// Why the PC file at `path` could not be opened, as the system says it.
std::string UnopenedPcFile(const std::string& path) {
  platform::FileState st;
  if (!platform::StateOf(path, &st)) return std::strerror(errno);
  if (st.kind == platform::FileKind::kDirectory) return "is a directory";
  if (st.kind != platform::FileKind::kRegular) return "not a regular file";
  return std::strerror(EACCES);
}

// "needs 812 clusters (53.2 MB), 640 free (41.9 MB)".
std::string NoSpaceFor(std::uint64_t bytes) {
  const std::uint64_t needed = (bytes + kClusterBytes - 1) / kClusterBytes;
  const auto free = static_cast<std::uint64_t>(CardSession::FreeClustersNow());
  return "needs " + FormatThousands(std::to_string(needed)) + " clusters (" + HumanSize(needed * kClusterBytes) +
         "), " + FormatThousands(std::to_string(free)) + " free (" + HumanSize(free * kClusterBytes) + ")";
}

}  // namespace

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Every code has its row: a code added without one is a compile error here
// (no default, -Werror=switch). A row says its words for the scenes that
// have their own and leaves the rest to PlainResult.
std::string ResultWords(CardOpResult result, ResultScene scene, const ResultFacts& facts) {
  using S = ResultScene;
  const int error = errno;  // the engine's, for a file it could not open
  const std::string image = Escaped(facts.pcPath);
  switch (result) {
    case kOpDeviceGone:
      if (scene == S::kDeviceFault) return DeviceTrouble(CardSession::State()) + " before " + facts.name;
      break;
    case kOpFlushFailed:
      if (scene == S::kDeviceFault)
        return DeviceTrouble(CardSession::State()) + " while writing the card's tables for " + facts.name +
               " (it is not on the card)";
      break;
    case kOpOk:
      if (scene == S::kBackup) return "backed up the card to " + image + " (" + HumanSize(facts.bytes) + " read)";
      if (scene == S::kRestore) return "restored " + image + " onto the card";
      if (scene == S::kRestoreFiles) return "restored the " + facts.name + " of " + image + " onto the card";
      if (scene == S::kImageRefusal) return image + ": the card can hold it";
      break;
    case kOpDeviceFailed:
      if (scene == S::kRestoreFiles)
        return "formatting failed (" + DeviceTrouble(CardSession::State()) + "); " + RestoreFilesHint(facts.pcPath) +
               " again starts over";
      break;
    case kOpStopped:
      if (scene == S::kBackup) return "interrupted; no image was written";
      if (scene == S::kRestore)
        return "interrupted; the card holds part of the image and none of its files yet: " + Hint("restore") +
               " with the same image completes it";
      if (scene == S::kRestoreFiles) return "interrupted; nothing was written";
      break;
    case kOpVerifyFailed:
      if (scene == S::kRestore) return "the card does not read back what was written; restore again, or try another card";
      if (scene == S::kImport)
        return "its copy did not read back as written (or the card gave other bytes on a second read); nothing "
               "was kept, it stays on the card";
      break;
    case kOpCannotOpenPcFile:
      if (scene == S::kSend) return UnopenedPcFile(facts.pcPath);
      if (Refusing(scene)) return image + ": " + std::strerror(error);
      break;
    case kOpPcReadFailed:
      if (scene == S::kSend) return "could not be read completely; it was not stored";
      if (Refusing(scene)) return image + ": could not be read whole (is the image cut short?)";
      if (scene == S::kImport) return "its copy could not be read back; nothing was kept";
      break;
    case kOpNoSpace:
      if (scene == S::kSend) return NoSpaceFor(facts.bytes);
      if (scene == S::kFolderPlan || scene == S::kImagePlan) return kLargerThanAnyCard;
      if (Refusing(scene))
        return image + ": " + (facts.fit ? TooSmallFor(facts.pcPath, *facts.fit)
                                         : std::string("the image is larger than the card; nothing was written"));
      break;
    case kOpWrongKind:
      if (Refusing(scene)) return image + ": not a card image of the player's format";
      if (scene == S::kSend || scene == S::kFolderPlan) return kNotMusicOrVoice;
      if (scene == S::kFetch) return "not a voice recording";
      if (scene == S::kImagePlan)
        return "its name's kind is not its file's (music ends in .mp3, a voice recording in .voc)";
      break;
    case kOpNameNotStorable:
      if (scene == S::kSend || scene == S::kCare) return kNameNotHeld;
      break;
    case kOpNameTooLong:
      if (scene != S::kFetch) return kNameTooLong;
      break;
    case kOpDirectoryFull:
      if (scene == S::kSend) return "the card's directory is full";
      break;
    case kOpNameTableFull:
      if (scene == S::kSend || scene == S::kCare) return "the card's name table is full";
      break;
    case kOpNoFileIdLeft:
      if (scene == S::kSend)
        return std::string("the card holds 127 ") +
               (CardSession::KindOf(BaseName(facts.pcPath)) == kKindVoice ? "voice" : "music") + " files already";
      break;
    case kOpNameOnCard:
      if (scene == S::kSend) return "already on the card (" + Hint("rm") + " it first to replace it)";
      if (scene == S::kCare) return "another file on the card has this name";
      if (scene == S::kImagePlan) return "an earlier file of the image has this name";
      break;
    case kOpNotOnCard:
      if (scene == S::kFetch || scene == S::kCare || scene == S::kImport) return "no such file on the card";
      break;
    case kOpUnsafeName:
      if (scene == S::kFetch || scene == S::kImport)
        return "its card name is damaged (a hidden file's, a path, or not a music or voice file's); it was not "
               "fetched. " + Hint("check --repair") + " renames it";
      break;
    case kOpCannotCreatePcFile:
      if (scene == S::kFetch) return "cannot be created in the current directory";
      if (scene == S::kBackup) return image + ": cannot be created";
      if (scene == S::kRestoreFiles) return kNoTemporaryCopy;
      if (scene == S::kImport) return "its files cannot be created in the import folder; nothing was kept";
      break;
    case kOpPcWriteFailed:
      if (scene == S::kFetch || scene == S::kImport)
        return "could not be written on the PC (is the disk full?); nothing was kept";
      if (scene == S::kBackup) return image + ": could not be written (is the disk full?); no image was kept";
      if (scene == S::kRestoreFiles) return kNoTemporaryCopy;
      break;
    case kOpDamaged:
      if (scene == S::kFetch || scene == S::kImport)
        return "damaged on the card (its cluster chain is broken); it was not fetched. " + Hint("check") +
               " examines the card";
      if (scene == S::kImagePlan) return "damaged in the image (no name, or a broken cluster chain)";
      break;
    case kOpDecodeFailed:
      if (scene == S::kFetch) return "the decoder cannot read this recording (damaged?); no sound file was made";
      if (scene == S::kImport)
        return "the decoder cannot read this recording (damaged?); it was not imported and stays on the card";
      break;
    case kOpWavNotWritten:
      if (scene == S::kFetch) return "the sound file could not be written";
      if (scene == S::kImport) return "its sound file could not be written (is the disk full?); nothing was kept";
      break;
    case kOpNotVoice:
      if (scene == S::kFetch || scene == S::kImport)
        return "not a voice recording: it holds another format's sound (WAV, MP3, Ogg or FLAC)";
      break;
    case kOpVoiceTooLong:
      if (scene == S::kFetch || scene == S::kImport) return "the recording is longer than one sound file holds; nothing was made";
      break;
    case kOpNoResampler:
      if (scene == S::kFetch || scene == S::kImport)
        return "its sample rate changes and " + ResamplerMissing() + "; nothing was made";
      break;
    case kOpNotAPcName:
      if (scene == S::kFetch || scene == S::kImport)
        return "the folder cannot hold a file of this name (one of its characters, or on Windows a device's "
               "name); it was not fetched. " + Hint("mv") + " renames it on the card";
      break;
    case kOpPcNameTaken:
      if (scene == S::kFetch)
        return "another file just fetched has this name in other capitals, and the folder holds the two as one; it "
               "was not fetched. " + Hint("mv") + " renames one on the card";
      break;
    case kOpNoSoundLibrary:
      if (scene == S::kFetch || scene == S::kImport)
        return std::string("the sound library ") + TvdhSoundLibraryName() + " cannot be loaded; nothing was made";
      break;
  }
  // An image is refused for what the file is, or because the device failed.
  if (scene == S::kImageRefusal || scene == S::kRestoreFiles)
    if (ResultKindOf(result) != ResultKind::kDeviceFailed) return image + ": cannot be restored";
  return PlainResult(scene, facts);
}

int StatusOf(CardOpResult result) {
  switch (ResultKindOf(result)) {
    case ResultKind::kDone: return kExitOk;
    case ResultKind::kStopped: return kExitInterrupted;
    case ResultKind::kRefused: return kExitRefused;
    case ResultKind::kDeviceFailed: return kExitDevice;
  }
  return kExitDevice;
}

// ---- progress -----------------------------------------------------------------

ProgressLine::ProgressLine(int of) : tty_(platform::IsTerminal(2) && !g_session.quiet), of_(of) {}

void ProgressLine::Start(const std::string& name, int index, std::uint64_t bytes) {
  name_ = name;
  index_ = index;
  bytes_ = bytes;
  moved_ = 0;
  startNs_ = NowNs();
  drawnNs_ = 0;
}

ProgressFn ProgressLine::Callback() {
  if (!tty_) return nullptr;
  return [this](std::uint32_t done, std::uint32_t total) { Draw(done, total); };
}

void ProgressLine::Draw(std::uint32_t done, std::uint32_t total) {
  const std::int64_t now = NowNs();
  // Ten times a second is as often as anyone reads it.
  if (done != 0 && done != total && now - drawnNs_ < 100000000) return;
  drawnNs_ = now;
  const std::uint64_t whole = bytes_ != 0 ? bytes_ : std::uint64_t{total} * kClusterBytes;
  // The units are clusters, except that a fetch counts its whole clusters
  // and then its last part as one unit of one: once its whole clusters are
  // all there, a unit of one more is the file's end.
  const std::uint64_t wholeClusters = std::uint64_t{bytes_ / kClusterBytes} * kClusterBytes;
  const bool lastPart = bytes_ != 0 && done == total && done != 0 &&
                        (std::uint64_t{total} * kClusterBytes != wholeClusters || moved_ >= wholeClusters);
  const std::uint64_t counted =
      total == 0 || lastPart ? whole : std::min<std::uint64_t>(whole, std::uint64_t{done} * kClusterBytes);
  const std::uint64_t moved = std::max(counted, moved_);
  moved_ = moved;
  // Rounded down: 100% only when every byte is there.
  const std::uint64_t percent = whole == 0 ? 100 : moved * 100 / whole;
  std::string line = "\r";
  if (of_ > 1) line += "(" + std::to_string(index_) + " of " + std::to_string(of_) + ") ";
  line += Escaped(name_) + "  " + HumanSize(moved) + " of " + HumanSize(whole) + "  " + std::to_string(percent) +
          "%";
  const double seconds = static_cast<double>(now - startNs_) / 1e9;
  if (seconds > 0.2 && moved > 0) {
    const double rate = static_cast<double>(moved) / seconds;
    const auto left = static_cast<long>(static_cast<double>(whole - moved) / rate + 0.5);
    char tail[64];
    std::snprintf(tail, sizeof(tail), "  %s/s  %ld:%02ld left", HumanSize(static_cast<std::uint64_t>(rate)).c_str(),
                  left / 60, left % 60);
    line += tail;
  }
  line += "\x1b[K";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  open_ = true;
}

void ProgressLine::End() {
  if (open_) std::fputs("\r\x1b[K", stderr);
  open_ = false;
}

// ---- the import -----------------------------------------------------------------

std::string ImportSettingsWords(const std::string& path, const ImportSettingsProblem& problem) {
  const std::string where = Escaped(path) + (problem.line > 0 ? ":" + std::to_string(problem.line) : "") + ": ";
  switch (problem.fault) {
    case ImportSettingsFault::kNone: return {};
    case ImportSettingsFault::kUnreadable: return where + "cannot be read";
    case ImportSettingsFault::kNotASetting: return where + "not a setting (write 'key = value')";
    case ImportSettingsFault::kUnknownKey:
      return where + "unknown setting '" + Escaped(problem.key) + "' (folder, format, free, keep-voc)";
    case ImportSettingsFault::kBadValue:
      if (problem.key == "format") return where + "format takes wav, flac or ogg";
      if (problem.key == "folder") return where + "folder needs a folder";
      return where + problem.key + " takes yes or no";
  }
  return {};
}

std::string ImportEndWords(ImportEnd end, const std::string& folder) {
  switch (end) {
    case ImportEnd::kWhole:
    case ImportEnd::kStopped:
    case ImportEnd::kCardLost:
    case ImportEnd::kPcFailed: return {};
    case ImportEnd::kFolderBusy: return Escaped(folder) + ": another import is bringing recordings into this folder";
    case ImportEnd::kFolderUnusable: return Escaped(folder) + ": the folder or its import record cannot be made or written";
  }
  return {};
}

std::string ImportFreeingWords(ImportFreeing freeing, bool tablesTouched) {
  switch (freeing) {
    case ImportFreeing::kNotAsked:
    case ImportFreeing::kFreed:
    case ImportFreeing::kNothingToFree: return {};
    case ImportFreeing::kHeldBack: return "the card was not freed: the import did not end whole";
    case ImportFreeing::kCardChanged:
      if (CardSession::CardOrLinkLost()) return DeviceTrouble(CardSession::State()) + " before the card was freed; no recording was deleted";
      return "the card was not freed: its tables changed since they were read (another program?)";
    case ImportFreeing::kStopped: return "interrupted before the card's tables were written; the card was not freed";
    case ImportFreeing::kTablesFailed:
      return DeviceTrouble(CardSession::State()) + " while writing the card's tables to free it; " +
             (tablesTouched ? Hint("check") + " tells what became of the recordings"
                            : std::string("nothing was written, no recording was deleted"));
  }
  return {};
}
