// How the bulk driver reaches a player. The functions of dllfunc/bulkusb.h
// pick a backend when a command opens its device handle and send every later
// call of that command to it:
//   1. an in-process backend that a test (or the in-process virtual player)
//      installed;
//   2. a real player on USB (usb_backend.h);
//   3. the virtual player's socket.
// Nothing found: the handles cannot be opened.
#pragma once

#include <cstdint>
#include <string>

#include "bulkusb.h"

namespace bulkusb {

class Backend {
 public:
  virtual ~Backend() = default;
  virtual BulkHandle OpenDev() = 0;
  virtual BulkHandle OpenRead() = 0;
  virtual BulkHandle OpenWrite() = 0;
  virtual bool Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) = 0;
  virtual bool Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) = 0;
  virtual void Close(BulkHandle handle) = 0;
  // A name for the player behind this backend, stable while it stays
  // attached; empty when there is none. Programs that share a player name
  // the same lock file after it.
  virtual std::string Identity() { return {}; }
};

// The identity of the player the next command would reach, found in the
// order the commands look for one; empty when none is there.
std::string PlayerIdentity();

// The lock file that the programs sharing the player `identity` flock: for
// the virtual player, SOCKET.lock beside its socket; for others
// $XDG_RUNTIME_DIR/zk27/player-HASH.lock, else /tmp/zk27-$UID/player-HASH.lock
// (the folder made when missing).
std::string PlayerLockFile(const std::string& identity);

// Installs `backend` ahead of every other way to a player; nullptr removes it.
// The backend must outlive its installation.
void InstallInProcessBackend(Backend* backend);

// The virtual player's socket: $ZK27_PLAYER_SOCKET, else
// $XDG_RUNTIME_DIR/zk27/player.sock, else /tmp/zk27-$UID/player.sock.
std::string PlayerSocketPath();

// The control socket of the virtual player that serves `socketPath`.
std::string PlayerControlPath(const std::string& socketPath);

// Seconds a pipe call may wait for the player before it counts as failed.
inline constexpr int kPipeTimeoutSeconds = 5;

}  // namespace bulkusb
