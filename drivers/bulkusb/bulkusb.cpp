// Dispatch of the driver calls to the backend that opened the command.
#include "bulk_backend.h"
#include "socket_backend.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace bulkusb {
namespace {

Backend* g_inProcess = nullptr;
Backend& g_usb = UsbPlayerBackend();
SocketBackend g_socket;
Backend* g_active = nullptr;  // the backend of the command in progress

// Opens the device handle of a command on the first backend that has a
// player, and makes that backend the command's. A real player comes before
// the virtual one; when none is listed or attached the USB backend gives up
// without touching the bus.
BulkHandle ChooseBackend() {
  NoteRefusal({});
  if (g_inProcess) {
    g_active = g_inProcess;
    return g_active->OpenDev();
  }
  if (const BulkHandle dev = g_usb.OpenDev(); dev != kInvalidBulkHandle) {
    g_active = &g_usb;
    return dev;
  }
  g_active = &g_socket;
  return g_active->OpenDev();
}

}  // namespace

void InstallInProcessBackend(Backend* backend) {
  g_inProcess = backend;
  g_active = nullptr;
}

std::string PlayerSocketPath() {
  if (const char* s = std::getenv("ZK27_PLAYER_SOCKET"); s && *s) return s;
  return RuntimeFolder() + "/player.sock";
}

std::string PlayerIdentity() {
  if (g_inProcess) return g_inProcess->Identity();
  if (std::string usb = g_usb.Identity(); !usb.empty()) return usb;
  return g_socket.Identity();
}

namespace {
constexpr std::string_view kSocketKey = "socket:";
constexpr std::string_view kUsbKey = "usb:";

bool StartsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// "socket:DEV:INO:FOLDER" as FOLDER/player-DEV-INO.lock; empty when it is not one.
std::string SocketLockFile(const std::string& identity) {
  const std::size_t ino = identity.find(':', kSocketKey.size());
  const std::size_t folder = ino == std::string::npos ? ino : identity.find(':', ino + 1);
  if (folder == std::string::npos) return {};
  const std::string dev = identity.substr(kSocketKey.size(), ino - kSocketKey.size());
  return identity.substr(folder + 1) + "/player-" + dev + "-" + identity.substr(ino + 1, folder - ino - 1) + ".lock";
}
}  // namespace

bool PlayerLockIsDeviceNode(const std::string& identity) { return StartsWith(identity, kUsbKey); }

std::string PlayerLockFile(const std::string& identity) {
  if (PlayerLockIsDeviceNode(identity)) return identity.substr(kUsbKey.size());
  if (StartsWith(identity, kSocketKey)) return SocketLockFile(identity);
  const std::string folder = RuntimeFolder();
  OpenRefusal why;
  if (!OwnFolder(folder, &why)) {
    NoteRefusal(why);
    return {};
  }
  // FNV-1a: a short, stable file name for an identity of any length.
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : identity) h = (h ^ c) * 1099511628211ull;
  char name[40];
  std::snprintf(name, sizeof(name), "/player-%016llx.lock", static_cast<unsigned long long>(h));
  return folder + name;
}

std::string PlayerControlPath(const std::string& socketPath) { return socketPath + ".ctl"; }

}  // namespace bulkusb

using bulkusb::g_active;

BulkHandle open_dev() { return bulkusb::ChooseBackend(); }

BulkHandle open_read() { return g_active ? g_active->OpenRead() : kInvalidBulkHandle; }
BulkHandle open_write() { return g_active ? g_active->OpenWrite() : kInvalidBulkHandle; }

bool pipe_read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  return g_active && pipe >= 0 && g_active->Read(pipe, buf, size, done);
}

bool pipe_write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  return g_active && pipe >= 0 && g_active->Write(pipe, buf, size, done);
}

void close_handle(BulkHandle handle) {
  if (g_active && handle >= 0) g_active->Close(handle);
}
