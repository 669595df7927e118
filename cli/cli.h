// The command line's own plumbing: exit statuses, options, messages and
// progress, and the card names a user types.
//
// Layer: zk27, the command line's front end (no Qt). It drives the card
// through a CardSession and the card operations (src/cardops), words every
// notice and result in its own plain words (words.cpp: one table for each),
// and reaches the system through src/platform. Nothing calls it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "import.h"
#include "notice.h"
#include "platform.h"
#include "session.h"

enum ExitStatus : int {
  kExitOk = 0,
  kExitRefused = 1,   // a file was refused or failed
  kExitUsage = 2,
  kExitDevice = 3,    // no player, no card, busy, lost connection, unreadable card
  kExitInterrupted = 130,  // Ctrl-C, SIGTERM or SIGHUP stopped the run (128 + SIGINT)
};

// ---- what zk27 says ------------------------------------------------------------
//
// zk27 is silent on success. A problem is one line on stderr, "zk27: NAME:
// reason"; a warning (something the user should know that changed no
// outcome) is one too, unless -q; -v adds one line on stdout per file done.

struct Session {
  bool windowClosed = false;  // the device's state ended the session
  bool assumeYes = false;
  bool verbose = false;
  bool quiet = false;
  bool inPass = false;        // a pass is running: its view says what the device did
  std::string imagePath;      // --image's card, as given; empty for the player
};
extern Session g_session;

// "zk27: " + line, on stderr.
void Error(const std::string& line);
// The same, unless -q.
void Warn(const std::string& line);
// `line` on stdout with -v.
void Verbose(const std::string& line);
// Writes `text` to standard output as it stands. zk27 writes with stdio
// only: the C++ streams would set up their locales at every start.
void Print(const std::string& text);
// Says what was wrong with the command line; returns kExitUsage.
int UsageError(const std::string& problem);

// The command line's words for each notice of the engine's (the device's
// state, the card's format), with its hints naming the card the user gave.
std::string PlainWords(Notice notice);
// Says a notice in PlainWords: an error, or a warning when it changes no
// outcome; nothing for a notice of the device during a pass, whose own line
// says it with the file it happened to.
void SayNotice(Notice notice);
// Why the card could not be had (a LockCard result other than kLockOk).
std::string CardLockRefusal(CardLockResult result);
// Why the driver refused what answered for the player: "FOLDER: not a folder
// of your own (owner 65534, mode 0777)...", "SOCKET: answered by another user
// (uid 65534)...".
std::string PlayerRefusalWords(const PlayerRefusal& why);
// A PC path's last part: the file's own name.
std::string BaseName(const std::string& path);
// What zk27 was doing when an operation gave its result: a code is worded
// for it ("not a voice recording" to towav, "not an MP3 or voice file" to
// put), and a code that needs no words of its own there gets the scene's
// plain ones ("not sent", or the device's trouble for a rename).
enum class ResultScene {
  kSend,         // put and sync: a PC file sent
  kFetch,        // get and towav
  kImport,       // a recording brought home
  kCare,         // mv and order
  kFolderPlan,   // a folder's file that sync's plan leaves out
  kImagePlan,    // an image's file that restore --files cannot send
  kDeviceFault,  // a file of a pass that the player or the card failed
  // The card as a whole, in whole lines that name the image or backup file
  // (`pcPath`): what backup, restore and restore --files did.
  kBackup,
  kImageRefusal,  // why an image is not written (before anything is)
  kRestore,
  kRestoreFiles,
};
// What the words tell beyond the code: for a file sent, the PC file and its
// size in bytes; for a device fault, the file's name as shown. For the card
// as a whole, the image (`pcPath`), the bytes a backup read, what restore
// --files sent ("3 files", in `name`), and the sizes of a card too small for
// the image (`fit`).
struct ResultFacts {
  std::string pcPath{};
  std::uint64_t bytes = 0;
  std::string name{};
  const ImageFit* fit = nullptr;
};
// zk27's words for an operation's result, one table for every command.
// Empty where the device's state says it (SayState): an image refused
// because the player or the card failed.
std::string ResultWords(CardOpResult result, ResultScene scene, const ResultFacts& facts = {});
// The exit status that an operation's result ends a command with.
int StatusOf(CardOpResult result);
// Says a result of the card as a whole: a success with -v, anything else as
// an error (or the device's state); returns StatusOf(result).
int SayResult(CardOpResult result, ResultScene scene, const ResultFacts& facts);
// What the DeviceState says went wrong with the player or the card: "the card
// was removed", "the connection to the player was lost"...
std::string DeviceTrouble(DeviceStateCode state);

// Why the last card command failed in transport, when the link knows more
// than the DeviceState says: "the player stopped answering", "the card is
// write-protected (read-only)"...; empty otherwise.
std::string TransportTrouble();
// A command to type, as a hint names it: "'zk27 check --repair'", with the
// card option the user gave ("'zk27 --image dmg.img check --repair'"), its
// path quoted for the shell when it needs it.
std::string Hint(const std::string& command);
// The hint for restoring the card image at `path` file by file.
std::string RestoreFilesHint(const std::string& path);

// zk27's words for what stopped an import or its freeing of the card (empty
// for the ends that need none of their own), and for a bad settings line:
// "FILE:LINE: unknown setting 'colour' (folder, format, free, keep-voc)".
std::string ImportEndWords(ImportEnd end, const std::string& folder);
std::string ImportFreeingWords(ImportFreeing freeing, bool tablesTouched);
std::string ImportSettingsWords(const std::string& path, const ImportSettingsProblem& problem);

// A name for the terminal: card text as UTF-8, backslash and control
// characters escaped (\n, \r, \t, \e, \\, \xHH) so that a line stays one line
// and no escape sequence reaches the terminal.
std::string Escaped(const std::string& utf8);

// Shows "(2 of 5) big.mp3  12.5 MB of 51.9 MB  24%  3.1 MB/s  0:13 left" on
// one line of a terminal (stderr), never when it is not one or with -q.
class ProgressLine {
 public:
  explicit ProgressLine(int of);
  // The file `name` of `bytes` bytes is number `index` of the line's files.
  void Start(const std::string& name, int index, std::uint64_t bytes);
  ProgressFn Callback();
  void End();

 private:
  void Draw(std::uint32_t done, std::uint32_t total);
  bool tty_;
  std::uint64_t moved_ = 0;  // the bytes shown last: the line never goes back
  bool open_ = false;
  std::string name_;
  int index_ = 0;
  int of_;
  std::uint64_t bytes_ = 0;
  std::int64_t startNs_ = 0;
  std::int64_t drawnNs_ = 0;
};

// ---- options ---------------------------------------------------------------------

struct OptionSpec {
  const char* shortName;  // "-l", or nullptr
  const char* longName;   // "--long", or nullptr
  bool takesValue = false;
};

// A command's arguments: its options (by their long name where they have
// one, else the short one), their values, and the operands.
struct Args {
  std::vector<std::string> flags;
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> operands;
  int status = kExitOk;
};

// Splits a command's arguments into its options `known` and the operands.
// "--" ends the options; short options may be bundled ("-lh"); a value follows
// its option as the next argument or after "=". `operandNeeded` is the usage
// message when at least one operand is needed, or nullptr when the command
// takes none. False on a usage error, with args->status set.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
               const char* operandNeeded, const char* command, Args* out);
// True when option `name` (its long name, or the short one when it has none)
// was given.
bool Has(const Args& args, const char* name);
// The value of option `name`, or `otherwise`.
std::string ValueOf(const Args& args, const char* name, const std::string& otherwise = {});

// ---- the card ---------------------------------------------------------------------

// The card as zk27 drives it, for the one command it runs.
extern CardSession g_card;

// Says what the DeviceState tells of the device on stderr; returns kExitDevice.
int SayState();
// The player's status as the program's start tests it; kExitOk or the status
// to end with, said on stderr.
int CheckDeviceStatus();
// Checks the card's volume and mounts it, without the card list: the image
// is the card as it is. kExitOk or the status to end with, said on stderr.
int ReadVolume(MountMode mode = MountMode::kAsHeld);
// Its two halves: the card's format as a read in `mode` needs it, and what
// the mount's result says.
int CheckFormatToRead(MountMode mode);
int SayMount(MountResult mounted);
// Reaches the card: the start-up status checks, then RecheckCard. Returns
// kExitOk or the status to end with.
int OpenCard();
// Checks the card's volume and reads it: the card check, the mount and the
// card list. What the main window does when the player asks for a re-check.
int RecheckCard();

// ---- card names as typed ---------------------------------------------------------

// How `ls` shows card file `r` of the card list: its name as UTF-8, escaped;
// "<unnamed #9A>" (its FileId in hex) when it has no name that can be shown
// whole.
std::string ShownCardName(std::int32_t r);

// The files that the typed names choose, each once, in the order typed, as
// lines the passes take, with the names they are shown under. A name is a
// card name as `ls` shows it, a shell-style pattern (* ? [...]) matched
// against those names, or "#9A" / "<unnamed #9A>" for the file of that
// FileId. `voiceOnly`: patterns choose voice files only. A name that chooses
// nothing is said ("no such file on the card", with a suggestion when one
// file matches it ignoring case); `missing` counts them.
struct ChosenFiles {
  std::vector<CardFileRef> lines;
  std::vector<std::string> shown;
  std::vector<std::uint8_t> fileIds;
  int missing = 0;
};
ChosenFiles ChooseCardFiles(const std::vector<std::string>& typed, bool voiceOnly);
// Every file of the card list (voice files only with `voiceOnly`), in list order.
ChosenFiles AllCardFiles(bool voiceOnly);

// ---- interrupts ----------------------------------------------------------------------

// While a command that changes or moves files runs, Ctrl-C (and SIGTERM,
// SIGHUP) asks the work under way to stop at the next cluster instead of
// ending the program wherever it is: the card is left consistent. One that
// comes while the card is opened stops the work before its first cluster. A
// second one does the same, so the program still waits.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

// ---- other programs ------------------------------------------------------------------

// The program `name` in a folder of PATH, as a full path; empty when none is.
std::string FindProgram(const std::string& name);
// A program zk27 started (argv[0] a full path), its input /dev/null, its
// standard error zk27's, its output read line by line or dropped. Whatever
// is still running when it goes is stopped and waited for.
class ChildProgram {
 public:
  ChildProgram() = default;
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;
  ~ChildProgram();
  bool Start(const std::vector<std::string>& argv, bool readOutput);
  // The next line of its output, waiting at most `waitMs`; false when none
  // came in time or the output ended.
  bool ReadLine(std::string* line, int waitMs);
  // Waits for its end: its exit status, or -1 when it did not exit by itself.
  int Wait();
  // Ends it (SIGTERM) and waits.
  void Stop();

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};
// Runs argv to its end: its exit status, -1 when it could not start.
int RunProgram(const std::vector<std::string>& argv);

// ---- on plug-in ----------------------------------------------------------------------

// The options `zk27 import` takes for the import on plug-in: --enable-on-plug,
// --disable-on-plug and --notify.
extern const std::vector<OptionSpec> kPlugOptions;
// Their lines in `zk27 import --help`.
extern const char* const kPlugHelp;
// When --enable-on-plug or --disable-on-plug is given, does it (nothing else
// of the import runs then), sets *status and returns true.
bool RunPlugOption(const Args& args, int* status);
// Makes the user's own systemd manager start zk27-import.service whenever a
// player appears, and turns that off again; no root needed. kExitOk, or
// kExitRefused with the reason said.
int EnablePlugImport();
int DisablePlugImport();
// After an import with --notify: one desktop notification with the summary
// line and an "Open folder" action that opens `folder`, replacing the one
// before. Nothing when no notifications service is reachable; returns
// once the notification is gone, or after a bounded wait.
void NotifyImported(const std::string& summaryLine, const std::string& folder);

// ---- commands ------------------------------------------------------------------------

int CmdInfo(const Args& args);
int CmdLs(const Args& args);
int CmdPut(const Args& args);
int CmdGet(const Args& args);
int CmdRm(const Args& args);
int CmdFormat(const Args& args);
int CmdTowav(const Args& args);
int CmdBackup(const Args& args);
int CmdRestore(const Args& args);
// restore --files IMAGE: the card formatted at its own size and the image's
// files sent onto it, once the plan fits and the user agrees.
int RestoreImageFilesCommand(const std::string& path);
int CmdSync(const Args& args);
int CmdMv(const Args& args);
int CmdOrder(const Args& args);
// Examines the card's volume; with --repair mends it.
int CmdCheck(const Args& args);
// Lists the USB devices that could be a player; needs no card.
int CmdDevices(const Args& args);
// Brings the card's new voice recordings home into a folder (import.h).
int CmdImport(const Args& args);
// The lines of `zk27 devices` on the removable disks that could hold a card
// (a medium in, no larger than the largest card), for --image.
std::string CardSizedDisks(const std::vector<platform::RemovableDisk>& disks);
