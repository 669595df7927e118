// zk27-player: the virtual player. `serve` runs it, `ctl` steers it.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bulk_backend.h"
#include "card_image.h"
#include "daemon.h"
#include "descriptors.h"
#include "tone.h"

namespace {

const char kUsage[] =
    "usage: zk27-player serve [--card PATH] [--size MIB] [--socket PATH]\n"
    "                         [--tcp 127.0.0.1:PORT] [--gadget DIR [--udc-file PATH]]\n"
    "       zk27-player ctl [--socket PATH] COMMAND [ARG]\n"
    "       zk27-player tone SECONDS OUT.wav\n"
    "       zk27-player --version\n"
    "\n"
    "serve   serves a card image as a ZK27 player on a local socket.\n"
    "        --card PATH    card image (default $XDG_DATA_HOME/zk27/card.img,\n"
    "                       else ~/.local/share/zk27/card.img); a missing one is\n"
    "                       created as a blank card\n"
    "        --size MIB     size of a card created blank (default 128, at most 4096)\n"
    "        --socket PATH  data socket (default $ZK27_PLAYER_SOCKET, else\n"
    "                       $XDG_RUNTIME_DIR/zk27/player.sock, else\n"
    "                       /tmp/zk27-$UID/player.sock); control socket PATH.ctl\n"
    "        --tcp 127.0.0.1:PORT  answer on this TCP port of the loopback too (a\n"
    "                       host sets ZK27_PLAYER_TCP to it); each message goes as\n"
    "                       its length (4 bytes, little-endian) and its bytes. An\n"
    "                       address off the loopback is refused; PORT 0 takes a\n"
    "                       free port, named in the \"serving\" line. Any program\n"
    "                       of any user on this computer can reach that port\n"
    "        --gadget DIR   be the player on a USB bus instead of the data socket:\n"
    "                       DIR is a mounted functionfs instance of a gadget\n"
    "                       (configfs gives it the USB id, which must be in a\n"
    "                       players file); the player writes its descriptors\n"
    "                       there, then the gadget is bound to its controller\n"
    "        --udc-file PATH  the gadget's UDC file in configfs: ctl unplug writes\n"
    "                       \"\" there (the gadget leaves its controller, the host\n"
    "                       sees the device gone) and ctl plug writes the\n"
    "                       controller's name back. Without it, unplug closes the\n"
    "                       function (the kernel unbinds the gadget, the host sees\n"
    "                       the device gone) and plug opens it again, to be bound\n"
    "                       to its controller by whoever made the gadget\n"
    "ctl     sends one command to a running player:\n"
    "        status              show the card and the player's state\n"
    "        eject | insert      take the card out / put it back\n"
    "        busy on|off         the player reports busy\n"
    "        not-ready on|off    the player reports that it is not ready\n"
    "        recheck             the next command reports that the card must be re-checked\n"
    "        unplug | plug       detach / attach the player\n"
    "        stall               on a USB bus: the next command's data phase halts\n"
    "                            its endpoint (the host sees a stalled pipe)\n"
    "        fail-after N        the N-th command from now fails in transport (0 cancels)\n"
    "        record FILE         the player records a memo: FILE, a WAV file (or any\n"
    "                            sound file libsndfile reads, mono or stereo), becomes\n"
    "                            a 16-bit voice file without a name\n"
    "        quit                stop the player\n"
    "tone    writes a sound to record: SECONDS (at most 600) of a tone rising from\n"
    "        300 Hz to 3 kHz, as an 8 kHz mono 16-bit WAV file OUT.wav\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "zk27-player: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

// Takes the value of `--name VALUE` or `--name=VALUE` at args[*i].
bool OptionValue(const std::vector<std::string>& args, std::size_t* i, const std::string& name,
                 std::string* value, bool* missing) {
  const std::string& a = args[*i];
  if (a == name) {
    if (*i + 1 >= args.size()) {
      *missing = true;
      return true;
    }
    *value = args[++*i];
    return true;
  }
  if (a.rfind(name + "=", 0) == 0) {
    *value = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

bool ParseSize(const std::string& text, std::uint32_t* mib) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v == 0 || v > player::kMaxCardMiB) return false;
  *mib = static_cast<std::uint32_t>(v);
  return true;
}

int RunServe(const std::vector<std::string>& args) {
  player::ServeOptions options{player::DefaultCardPath(), player::kDefaultCardMiB, bulkusb::PlayerSocketPath()};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (IsHelp(args[i])) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string value;
    bool missing = false;
    if (OptionValue(args, &i, "--card", &value, &missing)) {
      if (missing || value.empty()) return Usage("--card needs a path");
      options.card = value;
    } else if (OptionValue(args, &i, "--size", &value, &missing)) {
      if (missing || !ParseSize(value, &options.sizeMiB))
        return Usage("--size needs a number of MiB from 1 to " + std::to_string(player::kMaxCardMiB));
    } else if (OptionValue(args, &i, "--socket", &value, &missing)) {
      if (missing || value.empty()) return Usage("--socket needs a path");
      options.socket = value;
    } else if (OptionValue(args, &i, "--tcp", &value, &missing)) {
      if (missing || value.empty()) return Usage("--tcp needs 127.0.0.1:PORT");
      options.tcp = value;
    } else if (OptionValue(args, &i, "--gadget", &value, &missing)) {
      if (missing || value.empty()) return Usage("--gadget needs a folder");
      options.gadget = value;
    } else if (OptionValue(args, &i, "--udc-file", &value, &missing)) {
      if (missing || value.empty()) return Usage("--udc-file needs a path");
      options.udcFile = value;
    } else {
      return Usage("unknown argument for serve: " + args[i]);
    }
  }
  if (!options.udcFile.empty() && options.gadget.empty()) return Usage("--udc-file needs --gadget");
  if (!options.tcp.empty() && !options.gadget.empty()) return Usage("--tcp cannot go with --gadget");
  return player::Serve(options);
}

// How many arguments each control command takes.
bool CheckControl(const std::vector<std::string>& words, std::string* problem) {
  const std::string& cmd = words[0];
  const std::size_t args = words.size() - 1;
  auto want = [&](std::size_t n) {
    if (args == n) return true;
    *problem = cmd + (n == 0 ? " takes no argument" : " needs one argument");
    return false;
  };
  if (cmd == "status" || cmd == "eject" || cmd == "insert" || cmd == "recheck" || cmd == "unplug" ||
      cmd == "plug" || cmd == "stall" || cmd == "quit")
    return want(0);
  if (cmd == "busy" || cmd == "not-ready") {
    if (!want(1)) return false;
    if (words[1] == "on" || words[1] == "off") return true;
    *problem = cmd + " takes on or off";
    return false;
  }
  if (cmd == "fail-after") {
    if (!want(1)) return false;
    const std::string& n = words[1];
    if (!n.empty() && n.size() <= 18 && n.find_first_not_of("0123456789") == std::string::npos) return true;
    *problem = "fail-after takes a number of commands";
    return false;
  }
  if (cmd == "record") {
    if (!want(1)) return false;
    if (!words[1].empty()) return true;
    *problem = "record needs a file";
    return false;
  }
  *problem = "unknown command: " + cmd;
  return false;
}

int RunControl(const std::vector<std::string>& args) {
  std::string socket = bulkusb::PlayerSocketPath();
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (words.empty()) {
      if (IsHelp(args[i])) {
        std::fputs(kUsage, stdout);
        return 0;
      }
      std::string value;
      bool missing = false;
      if (OptionValue(args, &i, "--socket", &value, &missing)) {
        if (missing || value.empty()) return Usage("--socket needs a path");
        socket = value;
        continue;
      }
      if (args[i].rfind("--", 0) == 0) return Usage("unknown option for ctl: " + args[i]);
    }
    words.push_back(args[i]);
  }
  if (words.empty()) return Usage("ctl needs a command");
  std::string problem;
  if (!CheckControl(words, &problem)) return Usage(problem);
  if (words[0] == "record") {
    // The daemon may run elsewhere in the file tree: hand it a full path.
    char* full = ::realpath(words[1].c_str(), nullptr);
    if (!full) {
      std::fprintf(stderr, "zk27-player: cannot read %s\n", words[1].c_str());
      return 1;
    }
    words[1] = full;
    std::free(full);
  }
  return player::Control(socket, words);
}

int RunTone(const std::vector<std::string>& args) {
  if (!args.empty() && IsHelp(args[0])) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() != 2 || args[1].empty()) return Usage("tone needs SECONDS and OUT.wav");
  char* end = nullptr;
  const double seconds = std::strtod(args[0].c_str(), &end);
  if (args[0].empty() || *end != '\0' || !(seconds > 0 && seconds <= 600))
    return Usage("tone needs a number of seconds above 0 and at most 600");
  std::string problem;
  if (!player::WriteTone(args[1], seconds, &problem)) {
    std::fprintf(stderr, "zk27-player: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!OpenStandardDescriptors()) return 1;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("a command is needed");
  if (IsHelp(args[0])) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::fputs("zk27-player " ZK27_VERSION "\n", stdout);
    return 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "serve") return RunServe(args);
  if (command == "ctl") return RunControl(args);
  if (command == "tone") return RunTone(args);
  return Usage("unknown command: " + command);
}
