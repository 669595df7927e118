// The zk27-player daemon and its control client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace player {

struct ServeOptions {
  std::string card;        // card image; created blank when missing
  std::uint32_t sizeMiB;   // size of a card created here
  std::string socket;      // data socket; the control socket is beside it
  std::string gadget{};    // a mounted functionfs instance: the player is on a USB bus instead
  std::string udcFile{};   // the gadget's UDC file, for unplug and plug on that bus
  std::string tcp{};       // "127.0.0.1:PORT": answer there too, each message framed by its length
};

// Serves the card until SIGTERM, SIGINT or a "quit" request. Prints one
// "zk27-player: serving CARD on ..." line on stdout when ready; errors go
// to stderr. Returns the process exit status (0 clean end, 1 failure).
int Serve(const ServeOptions& options);

// Sends one control request (words[0] the command, words[1] its argument if
// any) to the daemon behind `socket` and prints its answer. Returns the exit
// status: 0 done, 1 refused or no daemon. Arguments are checked by the caller.
int Control(const std::string& socket, const std::vector<std::string>& words);

// The default card image: $XDG_DATA_HOME/zk27/card.img, else
// ~/.local/share/zk27/card.img.
std::string DefaultCardPath();

}  // namespace player
