// The bulk driver as the device link sees it.
//
// open_dev, open_read and open_write take no arguments and each hand out a
// handle, or kInvalidBulkHandle when the player (or its pipe) is not there.
// The player's bytes are read from the read pipe and the host's bytes written
// to the write pipe with pipe_read / pipe_write, which stand for the operating
// system's file calls: one call moves one message (2, 13 or 512 bytes from the
// player; 31 or 512 bytes to it). Every handle is given back with
// close_handle. No call blocks for ever: a pipe that stops answering makes the
// call fail.
//
// Layer: declarations only, no code. The device link (src/usbfunc) calls
// these; drivers/bulkusb implements them, and the virtual player (player/)
// installs its in-process backend through them. Besides the calls themselves
// it gives what the card lock needs of the driver: which player the next
// command reaches, the file to lock for it, and why one was refused.
#pragma once

#include <cstdint>
#include <string>

using BulkHandle = std::intptr_t;
inline constexpr BulkHandle kInvalidBulkHandle = -1;

BulkHandle open_dev();
BulkHandle open_read();
BulkHandle open_write();

// Reads up to `size` bytes into `buf`; `*done` receives the count. Returns
// false when the call failed.
bool pipe_read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done);
// Writes `size` bytes from `buf`; `*done` receives the count. Returns false
// when the call failed.
bool pipe_write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done);
void close_handle(BulkHandle handle);

// ---- what the engine's card lock needs of the driver -------------------------
//
// The device link locks a player for one program at a time, and words the
// driver's refusal of what answered; these are the driver's only calls
// beyond the pipes.
namespace bulkusb {

// The identity of the player the next command would reach, found in the
// order the commands look for one; empty when none is there.
std::string PlayerIdentity();

// What the programs sharing the player `identity` flock. For a player on USB
// its device node (/dev/bus/usb/BBB/DDD), which every user, session and
// environment reaches alike; it is there already and is locked as it is
// (PlayerLockIsDeviceNode). For the virtual player, player-DEV-INO.lock in the
// folder its socket really lies in, named after the socket's device and inode,
// so that every spelling of the socket's path shares it. For others
// player-HASH.lock in the RuntimeFolder, made when missing; empty when that
// folder is refused (LastOpenRefusal says why).
std::string PlayerLockFile(const std::string& identity);
bool PlayerLockIsDeviceNode(const std::string& identity);

// The folder of the player's socket and lock files is used only when it is a
// real directory of the user's own with no access for anybody else, and the
// process answering on the socket must be the user's or root's. Anything else
// is refused, and the refusal is kept for the front ends to say: it is not
// "no player attached".
// kAddress: $ZK27_PLAYER_TCP names no address on the loopback (in `path`).
enum class Refusal : std::uint8_t { kNone, kFolder, kPeer, kAddress };
struct OpenRefusal {
  using Kind = Refusal;
  Refusal kind = Refusal::kNone;
  std::string path;         // the folder refused, or the socket whose peer was
  bool directory = false;   // kFolder: a real directory (not a link, not a file)
  std::uint32_t owner = 0;  // kFolder: its owner's uid
  std::uint32_t mode = 0;   // kFolder: its permission bits
  std::uint32_t peer = 0;   // kPeer: the uid of the process that answered
};
// The refusal of the last look for the player (open_dev, PlayerLockFile);
// kind kNone when nothing was refused.
OpenRefusal LastOpenRefusal();

}  // namespace bulkusb
