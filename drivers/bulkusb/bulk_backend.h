// How the bulk driver reaches a player. The functions of dllfunc/bulkusb.h
// pick a backend when a command opens its device handle and send every later
// call of that command to it:
//   1. an in-process backend that a test (or the in-process virtual player)
//      installed;
//   2. a real player on USB (usb_backend.h);
//   3. the virtual player's socket.
// Nothing found: the handles cannot be opened.
//
// Layer: the bulk driver behind src/dllfunc/bulkusb.h: it owns the backends
// (libusb, the player's socket or TCP port on the loopback, the in-process
// one) and the check of whom a socket belongs to. It calls libusb (loaded at
// run time) and the system only; the device link calls it through dllfunc,
// and the virtual player installs backends through this header.
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

// The virtual player on the socket at `socketPath`: "socket:DEV:INO:FOLDER",
// the socket's device and inode and the folder it really lies in; empty when
// no socket is there.
std::string SocketIdentity(const std::string& socketPath);

// ---- whom the driver believes ----------------------------------------------
//
// (The refusal itself is declared in bulkusb.h, where the engine reads it.)
void NoteRefusal(const OpenRefusal& refusal);

// The user's own folder for the virtual player's socket and for lock files:
// $XDG_RUNTIME_DIR/zk27, else /tmp/zk27-$UID.
std::string RuntimeFolder();
// Makes `folder` 0700 when missing. True when it is a real directory owned by
// the user with no group or other permission; else false, with the refusal in
// `*why` (kind kNone when it is missing and cannot be made).
bool OwnFolder(const std::string& folder, OpenRefusal* why);
// OwnFolder for the folder of a socket in the RuntimeFolder; a socket
// elsewhere was named by the user and passes (its peer is examined still).
bool SocketFolderTrusted(const std::string& socketPath, OpenRefusal* why);
// True when the process at the other end of the connected Unix socket `fd`
// runs as the user or as root; else false, with the refusal in `*why`.
bool TrustedPeer(int fd, const std::string& socketPath, OpenRefusal* why);

// The way to a real player on USB on this platform: libusb (usb_backend.h),
// or WinUSB on Windows (winusb_backend.h).
Backend& UsbPlayerBackend();

// Installs `backend` ahead of every other way to a player; nullptr removes it.
// The backend must outlive its installation.
void InstallInProcessBackend(Backend* backend);

// The virtual player's socket: $ZK27_PLAYER_SOCKET, else
// RuntimeFolder()/player.sock.
std::string PlayerSocketPath();

// The control socket of the virtual player that serves `socketPath`.
std::string PlayerControlPath(const std::string& socketPath);

// Seconds a pipe call may wait for the player before it counts as failed.
inline constexpr int kPipeTimeoutSeconds = 5;

}  // namespace bulkusb
