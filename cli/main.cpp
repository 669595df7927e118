// zk27: manage the files on a ZK27 card from the command line.
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <unistd.h>

#include "cli.h"
#include "hooks.h"
#include "messages.h"
#include "passes.h"
#include "usbfunc.h"

namespace {

const char* kToolHelp =
    "Usage: zk27 [-i|--image PATH] COMMAND [ARGS]\n"
    "Manage the files on the CompactFlash card of a ZK27 player.\n"
    "\n"
    "Commands:\n"
    "  info              the card's geometry, free space and number of files\n"
    "  ls [-l]           the card list: music by FileId, then voice by FileId\n"
    "  put FILE...       send PC files (MP3 or voice) to the card\n"
    "  get NAME...       fetch card files into the current directory\n"
    "  rm NAME...        delete card files\n"
    "  format [-y]       format the card (erases every file)\n"
    "  towav NAME...     fetch voice recordings and convert them to WAV\n"
    "  check [--repair]  look for damage in the card's tables; --repair mends it\n"
    "  devices           list the USB devices that could be the player, and\n"
    "                    whether they are listed in a players file\n"
    "\n"
    "Options:\n"
    "  -i, --image PATH  use a card image file or a card reader's block device\n"
    "                    instead of the player\n"
    "  -h, --help        show this help; 'zk27 COMMAND --help' for a command\n"
    "\n"
    "Without --image the player is reached over USB, or the virtual player\n"
    "(zk27-player) on $ZK27_PLAYER_SOCKET or its default socket.\n"
    "\n"
    "Exit status: 0 all done; 1 a file was refused or failed; 2 usage error;\n"
    "3 the device or the card failed.\n";

struct Command {
  int (*run)(const std::vector<std::string>&);
  const char* help;
  // How the command holds the card for its whole run: shared to read,
  // exclusive to change it; kNone for those that take no card or lock it
  // themselves.
  CardLock lock = CardLock::kNone;
};

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands = {
      {"info", {CmdInfo,
                "Usage: zk27 info\n"
                "Show the card's size and geometry, the free space and the number of files.\n",
          CardLock::kShared}},
      {"ls", {CmdLs,
              "Usage: zk27 ls [-l]\n"
              "List the card's files, one name a line: music files by FileId, then\n"
              "voice files by FileId.\n"
              "  -l  add the FileId in hex, the size in bytes and the first cluster\n",
        CardLock::kShared}},
      {"put", {CmdPut,
               "Usage: zk27 put FILE...\n"
               "Send PC files to the card, in the order given. Only MP3 (.mp3) and voice\n"
               "(.voc) files are taken; each file is on the card, with its entry, before\n"
               "the next one starts. A name the card holds already is refused: delete\n"
               "the card's file first ('zk27 rm NAME') to replace it.\n",
         CardLock::kExclusive}},
      {"get", {CmdGet,
               "Usage: zk27 get NAME...\n"
               "Fetch card files, named as 'zk27 ls' lists them, into the current\n"
               "directory. A PC file of the same name is replaced once the copy is whole.\n",
         CardLock::kShared}},
      {"rm", {CmdRm,
              "Usage: zk27 rm NAME...\n"
              "Delete card files, named as 'zk27 ls' lists them. The remaining files of\n"
              "the same kind are renumbered without gaps.\n",
        CardLock::kExclusive}},
      {"format", {CmdFormat,
                  "Usage: zk27 format [-y|--yes]\n"
                  "Format the card in the player's format. Every file on it is lost.\n"
                  "Asks for confirmation on a terminal.\n"
                  "  -y, --yes  answer yes (needed when not on a terminal)\n",
            CardLock::kExclusive}},
      {"towav", {CmdTowav,
                 "Usage: zk27 towav NAME...\n"
                 "Fetch voice recordings and convert them to WAV files in the current\n"
                 "directory: NAME.voc is fetched as it is and NAME.wav (16-bit PCM, at\n"
                 "the recording's rate) is written beside it. Music files are refused.\n",
           CardLock::kShared}},
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
           CardLock::kNone}},
      {"devices", {CmdDevices,
                   "Usage: zk27 devices\n"
                   "List the attached USB devices that offer one bulk IN and one bulk OUT\n"
                   "endpoint on an interface, as the player does: their ids (vvvv:pppp), bus\n"
                   "and address, names, and whether each is listed in a players file and\n"
                   "open to you. The players files hold one id a line:\n"
                   "  $XDG_CONFIG_HOME/zk27/players (else ~/.config/zk27/players)\n"
                   "  /etc/zk27/players\n"
                   "Tells how to add an id and how to give your user access to the player.\n"}},
  };
  return commands;
}

Answer AskOnTerminal(const std::string&, const std::string& text, bool) {
  if (g_session.assumeYes) return Answer::Yes;
  if (!::isatty(STDIN_FILENO)) return Answer::Closed;
  std::fprintf(stderr, "%s [y/N] ", ShownText(text).c_str());
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
void OnWindowMessage(void*, unsigned message, std::uintptr_t state, std::intptr_t) {
  if (message != kDeviceStateMessage) return;
  const StateVerdict verdict = JudgeDeviceState(static_cast<std::uint8_t>(state & 0xFF));
  if (verdict.reaction == StateReaction::kEndSession) {
    Say(verdict.message);
    g_session.windowClosed = true;
  } else if (verdict.reaction == StateReaction::kRecheck && RecheckCard() != kExitOk) {
    g_session.windowClosed = true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string image;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      Print(kToolHelp);
      return kExitOk;
    }
    if (a == "-i" || a == "--image") {
      if (i + 1 >= args.size()) return UsageError("option " + a + " needs a PATH");
      image = args[++i];
    } else if (a.rfind("--image=", 0) == 0) {
      image = a.substr(8);
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option " + a);
    } else {
      break;
    }
  }
  if (i >= args.size()) return UsageError("no command given");
  std::string name = args[i];
  std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
  if (name == "help") {
    if (rest.empty()) {
      Print(kToolHelp);
      return kExitOk;
    }
    name = rest[0];
    rest = {"--help"};
  }
  const auto found = Commands().find(name);
  if (found == Commands().end()) return UsageError("unknown command '" + name + "'");
  for (const std::string& a : rest) {
    if (a == "-h" || a == "--help") {
      Print(found->second.help);
      return kExitOk;
    }
  }

  FrontEndHooks hooks;
  hooks.showMessage = Say;
  hooks.askYesNo = AskOnTerminal;
  hooks.sendWindowMessage = OnWindowMessage;
  InstallHooks(hooks);

  if (!image.empty()) {
    std::string error;
    if (!AttachCardImage(image, &error)) {
      Say("zk27: cannot open the card image " + error);
      return kExitDevice;
    }
  }
  int status = kExitDevice;
  {
    std::optional<CardLockScope> lock;
    if (found->second.lock != CardLock::kNone) lock.emplace(found->second.lock);
    if (!lock || lock->Result() == kLockOk)
      status = found->second.run(rest);
    else
      Say(CardLockRefusal(lock->Result()));
  }
  DetachCardImage();
  return status;
}
