// zk27: manage the files on a ZK27 card from the command line.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "cli.h"
#include "platform.h"
#include "descriptors.h"
#include "hooks.h"
#include "messages.h"
#include "session.h"

namespace {

// Where the user's settings files are, as the help says it.
#ifdef _WIN32
#define ZK27_CONFIG_WORDS(file) "%APPDATA%\\zk27\\" file
#else
#define ZK27_CONFIG_WORDS(file) "$XDG_CONFIG_HOME/zk27/" file " (else ~/.config/zk27/" file ")"
#endif

const char* kToolHelp =
    "Usage: zk27 [OPTION]... COMMAND [ARG]...\n"
    "Manage the files on the CompactFlash card of a ZK27 player.\n"
    "\n"
    "Commands:\n"
    "  info              the card's size, free space and number of files\n"
    "  ls [-l [-h]]      the card list: music by FileId, then voice by FileId\n"
    "  put FILE...       send PC files (MP3 or voice) to the card\n"
    "  get NAME...|-a    fetch card files into the current directory\n"
    "  rm NAME...        delete card files\n"
    "  format [-y]       format the card (erases every file)\n"
    "  towav NAME...|-a  fetch voice recordings and convert them to WAV (or FLAC,\n"
    "                    Ogg: --format), at their rate or another (--rate)\n"
    "  backup FILE       read the whole card into the card image FILE\n"
    "  restore FILE [-y] write the card image FILE onto the card; --files: only\n"
    "                    its files, onto the card formatted at its own size\n"
    "  sync DIR          make the card hold the folder's .mp3 and .voc files\n"
    "  mv OLD NEW        rename a card file (it keeps its kind)\n"
    "  order NAME...     play the named music files first, in that order\n"
    "  order --by-name   play the music files in the order of their names\n"
    "  check [--repair]  look for damage in the card's tables; --repair mends it\n"
    "  import [DIR]      bring the new voice recordings home into DIR, by date,\n"
    "                    each read back before it counts; --free: then delete them\n"
    "  devices           list the USB devices that could be the player, and\n"
    "                    whether they are listed in a players file\n"
    "  help [COMMAND]    this help, or a command's\n"
    "\n"
    "Options (anywhere before '--'):\n"
    "  -i, --image PATH  use a card image file or a card reader's block device\n"
    "                    instead of the player\n"
    "      --sync        with --image FILE: wait for the writes to reach the disk,\n"
    "                    in order (a card reader's block device always does)\n"
    "  -v, --verbose     say what was done, one line a file, on standard output\n"
    "  -q, --quiet       say nothing but errors (no warnings, no progress line)\n"
    "  -h, --help        show this help; 'zk27 COMMAND --help' for a command\n"
    "      --version     show the version\n"
    "  --                end the options: what follows are the command and its\n"
    "                    operands, even when they begin with '-'\n"
    "\n"
    "A card NAME is written as 'zk27 ls' shows it, or as a shell-style pattern\n"
    "(quote it: 'zk27 get \"*.voc\"'), or as #XX, the FileId in hex that\n"
    "'zk27 ls -l' shows, for a file whose name cannot be typed ('<unnamed #XX>').\n"
    "\n"
    "zk27 is silent when all went well; each problem is one line on standard\n"
    "error, 'zk27: NAME: reason'. On a terminal a progress line shows the file,\n"
    "the bytes moved, the rate and the time left.\n"
    "\n"
    "Without --image the player is reached over USB, or the virtual player\n"
    "(zk27-player) on $ZK27_PLAYER_SOCKET or its default socket; with\n"
    "$ZK27_PLAYER_TCP=127.0.0.1:PORT on that TCP port of the loopback instead.\n"
    "\n"
    "Exit status: 0 all done; 1 a file was refused or failed; 2 usage error;\n"
    "3 the device or the card failed; 130 interrupted (Ctrl-C).\n";

const std::vector<OptionSpec> kGlobalOptions = {
    {"-i", "--image", true},
    {"-v", "--verbose"},
    {"-q", "--quiet"},
    {nullptr, "--sync"},
    {"-h", "--help"},
    {nullptr, "--version"},
};

struct Command {
  int (*run)(const Args&);
  const char* help;
  // How the command holds the card for its whole run: shared to read,
  // exclusive to change it; kNone for those that take no card or lock it
  // themselves.
  CardLock lock = CardLock::kNone;
  std::vector<OptionSpec> options = {};
  // The usage message when the command needs an operand; nullptr when it
  // takes none. A command that checks its operands itself has "".
  const char* operandNeeded = nullptr;
};

// import's help: its own options, then those of the import on plug-in.
const char* ImportHelp() {
  static const std::string help = std::string(
      "Usage: zk27 import [DIR] [--format wav|flac|ogg] [--keep-voc] [--free]\n"
      "                   [--again] [--dry-run] [--notify]\n"
      "   or: zk27 import --enable-on-plug|--disable-on-plug\n"
      "Bring the card's new voice recordings home into the folder DIR: each one\n"
      "not yet in DIR's import record (DIR/.zk27-imports, by the SHA-256 of its\n"
      "bytes) is fetched, converted and written to DIR/YYYY-MM-DD/NAME.wav, the\n"
      "day taken from a recording's date name (yymmddNNN.voc), else today's, and\n"
      "the file dated that day. A name taken in that folder gets -2, -3, ...;\n"
      "nothing is overwritten. Each sound file is read back and compared with\n"
      "what the decoder made before it is given its name and recorded; one the\n"
      "decoder refuses is named, not recorded, and left on the card. A recording\n"
      "imported before is not imported again, even when its file in DIR is gone.\n"
      "Music files are not touched. Prints one line: '3 recordings imported\n"
      "(12.4 MB), 3 freed from the card (2.1 MB)'. Interrupted, the card pulled or\n"
      "the disk full, nothing half written stays in DIR and nothing unproven is\n"
      "recorded; the next import goes on from there.\n"
      "  --format FORMAT  wav (16-bit PCM), flac (16-bit) or ogg (Vorbis)\n"
      "  --keep-voc       keep the card's voice file beside the sound file,\n"
      "                   compared byte for byte with a second read from the card\n"
      "  --free           once every recording of the run is imported and proven,\n"
      "                   delete those recordings from the card (one delete, the\n"
      "                   rest renumbered); nothing is deleted when the run was cut\n"
      "                   short, or when the card changed meanwhile\n"
      "  --again          import even what the import record holds\n"
      "  --dry-run        list what would come, with sizes; nothing is written\n") + kPlugHelp +
      "Without DIR, and for the options not given, the settings in\n"
      ZK27_CONFIG_WORDS("import.conf") " hold:\n"
      "  folder = ~/Memos\n"
      "  format = wav\n"
      "  free = no\n"
      "  keep-voc = no\n";
  return help.c_str();
}

std::vector<OptionSpec> ImportOptionSpecs() {
  std::vector<OptionSpec> options = {{nullptr, "--format", true}, {nullptr, "--keep-voc"}, {nullptr, "--free"},
                                     {nullptr, "--again"}, {nullptr, "--dry-run"}};
  options.insert(options.end(), kPlugOptions.begin(), kPlugOptions.end());
  return options;
}

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands = {
      {"info", {CmdInfo,
                "Usage: zk27 info\n"
                "Show where the card is reached, its size, the free space, the number of\n"
                "files of each kind and where its tables lie.\n",
          CardLock::kShared}},
      {"ls", {CmdLs,
              "Usage: zk27 ls [-l [-h]]\n"
              "List the card's files, one name a line: music files by FileId (the order\n"
              "the player plays them in), then voice files by FileId. Control characters\n"
              "in a name are escaped (\\n, \\e, \\xHH); a file without a readable name is\n"
              "shown as <unnamed #XX>, its FileId in hex, and may be named so or as #XX.\n"
              "  -l, --long            add the FileId in hex, the size in bytes and the\n"
              "                        first cluster\n"
              "  -h, --human-readable  with -l, sizes as 4.2 MB (decimal units)\n",
        CardLock::kShared,
        {{"-l", "--long"}, {"-h", "--human-readable"}}}},
      {"put", {CmdPut,
               "Usage: zk27 put FILE...\n"
               "Send PC files to the card, in the order given. Only MP3 (.mp3) and voice\n"
               "(.voc) files are taken; each file is on the card, with its entry, before\n"
               "the next one starts. A name the card holds already is refused: delete\n"
               "the card's file first ('zk27 rm NAME') to replace it. With -v, says\n"
               "'sent NAME (SIZE)' for each file.\n",
         CardLock::kExclusive, {}, "put needs at least one FILE"}},
      {"get", {CmdGet,
               "Usage: zk27 get NAME...\n"
               "   or: zk27 get -a\n"
               "Fetch card files into the current directory. A NAME may be a pattern\n"
               "('*.mp3'). A PC file of the same name is replaced once the copy is whole.\n"
               "  -a, --all  fetch every file on the card\n",
         CardLock::kShared, {{"-a", "--all"}}, ""}},
      {"rm", {CmdRm,
              "Usage: zk27 rm NAME...\n"
              "Delete card files. A NAME may be a pattern ('demo*'). The remaining files\n"
              "of the same kind are renumbered without gaps.\n",
        CardLock::kExclusive, {}, "rm needs at least one NAME"}},
      {"format", {CmdFormat,
                  "Usage: zk27 format [-y|--yes]\n"
                  "Format the card in the player's format. Every file on it is lost.\n"
                  "Asks for confirmation on a terminal.\n"
                  "  -y, --yes  answer yes (needed when not on a terminal)\n",
            CardLock::kExclusive, {{"-y", "--yes"}}}},
      {"towav", {CmdTowav,
                 "Usage: zk27 towav [--format wav|flac|ogg] [--rate HZ] NAME...\n"
                 "   or: zk27 towav [--format wav|flac|ogg] [--rate HZ] -a\n"
                 "Fetch voice recordings and convert them to sound files in the current\n"
                 "directory: NAME.voc is fetched as it is and NAME.wav (16-bit PCM, at\n"
                 "the recording's rate) is written beside it. Music files are refused;\n"
                 "a pattern chooses among the voice recordings only. Every coding of the\n"
                 "voice file format is read; a recording whose rate changes is written at\n"
                 "its first rate, the rest resampled (a warning names it).\n"
                 "  -a, --all        every voice recording on the card\n"
                 "  --format FORMAT  wav (16-bit PCM, the default), flac (16-bit) or ogg\n"
                 "                   (Vorbis): NAME.wav, NAME.flac or NAME.ogg\n"
                 "  --rate HZ        resample to HZ samples a second (1 to 1,000,000; FLAC\n"
                 "                   at most 655,350)\n",
           CardLock::kShared, {{"-a", "--all"}, {nullptr, "--format", true}, {nullptr, "--rate", true}}, ""}},
      {"backup", {CmdBackup,
                  "Usage: zk27 backup FILE\n"
                  "Read the whole card into the card image FILE, which 'zk27 --image FILE'\n"
                  "can then list, fetch from and check, and 'zk27 restore' writes back. Only\n"
                  "the card's tables and the clusters in use are read; the rest of the image\n"
                  "is left a hole, so the image takes about what the card holds on disk. The\n"
                  "image is written under a temporary name and takes FILE only when whole.\n",
            CardLock::kShared, {}, "backup needs a FILE"}},
      {"restore", {CmdRestore,
                   "Usage: zk27 restore [--files] FILE [-y|--yes]\n"
                   "Write the card image FILE (made by 'zk27 backup') onto the card, which\n"
                   "must be at least as large. Every file on the card now is lost. The\n"
                   "clusters in use are written first, the card's tables last, and all is\n"
                   "read back and compared. The card keeps the image's volume: on a larger\n"
                   "card the rest stays unused, which is said before the question. Asks for\n"
                   "confirmation on a terminal.\n"
                   "  --files    format the card at its own size and send the image's files\n"
                   "             onto it, in their order, music as music and voice as voice:\n"
                   "             for a larger card, or a smaller one that holds them. The plan\n"
                   "             is checked first (room, names, kinds); nothing is written\n"
                   "             when it does not fit\n"
                   "  -y, --yes  answer yes (needed when not on a terminal)\n",
             CardLock::kExclusive, {{"-y", "--yes"}, {nullptr, "--files"}}, "restore needs a FILE"}},
      {"sync", {CmdSync,
                "Usage: zk27 sync DIR [--delete] [--dry-run] [--partial]\n"
                "Make the card's music and voice files match the .mp3 and .voc files of\n"
                "the folder DIR, by name and size: send what the card lacks, send again\n"
                "what differs in size, then play the music in the folder's name order.\n"
                "Before anything is written the whole plan is checked against the card's\n"
                "limits (clusters of 64 KiB, 240 names, 127 files of a kind, directory\n"
                "entries, names the card can hold); a plan that does not fit is said, by\n"
                "how much, and nothing is written. An interrupted sync leaves the card\n"
                "consistent, and the next one goes on from there.\n"
                "  --delete   also delete the card files the folder lacks\n"
                "  --dry-run  show the plan only: send, replace, delete, left out\n"
                "  --partial  when the plan does not fit, send as much as fits, in name order\n",
          CardLock::kExclusive, {{nullptr, "--delete"}, {nullptr, "--dry-run"}, {nullptr, "--partial"}},
          "sync needs a DIR"}},
      {"mv", {CmdMv,
              "Usage: zk27 mv OLD NEW\n"
              "Rename the card file OLD to NEW. The file keeps its kind (.mp3 stays music,\n"
              ".voc voice) and its place in the play order; nothing but its name is\n"
              "written. NEW must be a name the card can hold (at most 62 characters, in\n"
              "the card's code page, no control characters, \\ or :) and no other\n"
              "file's.\n",
        CardLock::kExclusive, {}, "mv needs OLD and NEW"}},
      {"order", {CmdOrder,
                 "Usage: zk27 order NAME...\n"
                 "   or: zk27 order --by-name\n"
                 "Put the named music files first in the player's play order, in the\n"
                 "order given, and the other music files after them in their present\n"
                 "order. Only the numbers in the card's directory change; no data moves.\n"
                 "  --by-name  order every music file by its name\n",
           CardLock::kExclusive, {{nullptr, "--by-name"}}, ""}},
      {"check", {CmdCheck,
                 "Usage: zk27 check [--repair [-y|--yes]]\n"
                 "Examine the card's tables and list each inconsistency on its own line:\n"
                 "clusters no file uses, clusters in two chains, chains that are broken or\n"
                 "do not match the file's size, entries without a name, name slots no file\n"
                 "holds, two files of one name, FileIds that repeat or leave gaps, the two\n"
                 "allocation copies differing, and a boot sector that does not fit the card.\n"
                 "Exit status 0 when the card is clean, 1 when problems remain.\n"
                 "  --repair   mend them: free what no file holds, cut a broken chain to\n"
                 "             its whole part (the file's size cut to match), drop entries\n"
                 "             with nothing left, give a nameless or duplicate-named file\n"
                 "             a free name (recovered-NNN.mp3/.voc), number each kind 1..n.\n"
                 "             A file found whole is never touched. Asks on a terminal.\n"
                 "  -y, --yes  answer yes (needed with --repair when not on a terminal)\n",
           // It locks the card itself: shared to look, exclusive to repair.
           CardLock::kNone, {{nullptr, "--repair"}, {"-y", "--yes"}}}},
      {"import", {CmdImport, ImportHelp(),
            // It locks the card itself: shared to read, exclusive to free it.
            CardLock::kNone, ImportOptionSpecs(), ""}},
      {"devices", {CmdDevices,
                   "Usage: zk27 devices\n"
                   "List the attached USB devices that offer one bulk IN and one bulk OUT\n"
                   "endpoint on an interface, as the player does: their ids (vvvv:pppp), bus\n"
                   "and address, names, and whether each is listed in a players file and\n"
                   "open to you. The players files hold one id a line:\n"
                   "  " ZK27_CONFIG_WORDS("players") "\n"
                   "  /etc/zk27/players\n"
                   "Tells how to add an id and how to give your user access to the player.\n"}},
  };
  return commands;
}

// The command's options and the program's: a command's own short option
// wins over the program's of the same letter (ls -h is --human-readable).
std::vector<OptionSpec> OptionsOf(const Command* command) {
  std::vector<OptionSpec> all = command ? command->options : std::vector<OptionSpec>{};
  for (OptionSpec o : kGlobalOptions) {
    if (command && o.shortName)
      for (const OptionSpec& own : command->options)
        if (own.shortName && own.shortName[1] == o.shortName[1]) o.shortName = nullptr;
    all.push_back(o);
  }
  return all;
}

// Where the command's name is among the arguments: the first that is
// neither an option nor an option's value. `afterDashes` when it follows
// "--".
std::size_t CommandIndex(const std::vector<std::string>& args, bool* afterDashes) {
  std::vector<OptionSpec> withValue;
  for (const OptionSpec& o : kGlobalOptions)
    if (o.takesValue) withValue.push_back(o);
  for (const auto& [name, command] : Commands())
    for (const OptionSpec& o : command.options)
      if (o.takesValue) withValue.push_back(o);
  *afterDashes = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      *afterDashes = true;
      return i + 1;
    }
    if (a.size() < 2 || a[0] != '-') return i;
    for (const OptionSpec& o : withValue) {
      // "-i PATH" and "--image PATH" take the next argument; "-iPATH" and
      // "--image=PATH" do not.
      if ((o.shortName && a == o.shortName) || (o.longName && a == o.longName)) {
        ++i;
        break;
      }
    }
  }
  return args.size();
}

Answer AskOnTerminal(const std::string&, const std::string& text, bool) {
  if (g_session.assumeYes) return Answer::Yes;
  if (!platform::IsTerminal(0)) return Answer::Closed;
  std::fprintf(stderr, "zk27: %s [y/N] ", text.c_str());
  std::fflush(stderr);
  char line[64];
  if (!std::fgets(line, sizeof(line), stdin)) return Answer::Closed;
  std::string answer = line;
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  return (answer == "y" || answer == "Y" || answer == "yes") ? Answer::Yes : Answer::No;
}

// The command line's stand-in for the main window's reaction to the device's
// state: it says what happened and ends the session where the window would
// close.
void OnDeviceState(DeviceStateCode state) {
  const StateVerdict verdict = JudgeDeviceState(state);
  if (verdict.reaction == StateReaction::kEndSession) {
    SayNotice(verdict.notice);
    g_session.windowClosed = true;
  } else if (verdict.reaction == StateReaction::kRecheck && RecheckCard() != kExitOk) {
    g_session.windowClosed = true;
  }
}

// What was written to standard output has reached it only once it is flushed
// and closed: a listing lost on a full disk or a closed pipe is a failed run,
// said in one line. Returns the status to end with.
int CloseStandardOutput(int status) {
  errno = 0;
  const bool failedBefore = std::ferror(stdout) != 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int flushError = errno;
  const bool closed = std::fclose(stdout) == 0;
  if (!failedBefore && flushed && closed) return status;
  const int error = flushError ? flushError : errno;
  Error(std::string("standard output: ") + (error ? std::strerror(error) : "write error"));
  return status == kExitOk ? kExitRefused : status;
}

int Run(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  bool afterDashes = false;
  const std::size_t at = CommandIndex(args, &afterDashes);
  std::string name = at < args.size() ? args[at] : std::string();
  const Command* command = nullptr;
  if (const auto found = Commands().find(name); found != Commands().end()) command = &found->second;

  // The arguments without the command's name; those after a "--" stay
  // operands.
  std::vector<std::string> rest(args.begin(), args.begin() + static_cast<long>(std::min(at, args.size())));
  if (afterDashes) rest.pop_back();
  if (at < args.size()) {
    if (afterDashes) rest.push_back("--");
    rest.insert(rest.end(), args.begin() + static_cast<long>(at) + 1, args.end());
  }
  Args a;
  if (!ParseArgs(rest, OptionsOf(command), nullptr, nullptr, &a)) return a.status;
  if (Has(a, "--version")) {
    Print("zk27 " ZK27_VERSION "\n");
    return kExitOk;
  }
  if (name == "help") {
    if (a.operands.empty() || a.operands[0] == "help") {
      Print(kToolHelp);
      return kExitOk;
    }
    const auto found = Commands().find(a.operands[0]);
    if (found == Commands().end()) return UsageError("unknown command '" + a.operands[0] + "'");
    Print(found->second.help);
    return kExitOk;
  }
  if (Has(a, "--help")) {
    Print(command ? command->help : kToolHelp);
    return kExitOk;
  }
  if (at >= args.size()) return UsageError("no command given");
  if (!command) return UsageError("unknown command '" + name + "'");
  if (command->operandNeeded && *command->operandNeeded && a.operands.empty())
    return UsageError(command->operandNeeded);
  if (!command->operandNeeded && !a.operands.empty()) return UsageError(name + " takes no operands");
  g_session.verbose = Has(a, "--verbose");
  g_session.quiet = Has(a, "--quiet");
  const std::string image = ValueOf(a, "--image");
  g_session.imagePath = image;

  FrontEndHooks hooks;
  hooks.notice = SayNotice;
  hooks.askYesNo = AskOnTerminal;
  hooks.deviceState = OnDeviceState;
  InstallHooks(hooks);

  if (!image.empty()) {
    std::string error;
    if (!g_card.Attach(image, &error, Has(a, "--sync") ? ImageWrites::kSynced : ImageWrites::kCached)) {
      Error("cannot open the card image " + error);
      return kExitDevice;
    }
  }
  int status = kExitDevice;
  {
    std::optional<CardSession::Hold> lock;
    if (command->lock != CardLock::kNone) lock.emplace(command->lock);
    if (!lock || lock->Result() == kLockOk)
      status = command->run(a);
    else
      Error(CardLockRefusal(lock->Result()));
  }
  g_card.Detach();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a card image must never become standard error.
  if (!OpenStandardDescriptors()) return kExitRefused;
  // On Windows the arguments as UTF-8, as they are on Linux.
  platform::UseUtf8(&argc, &argv);
  return CloseStandardOutput(Run(argc, argv));
}
