// Dispatch of the driver calls to the backend that opened the command.
#include "bulk_backend.h"
#include "socket_backend.h"
#include "usb_backend.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace bulkusb {
namespace {

Backend* g_inProcess = nullptr;
UsbBackend g_usb;
SocketBackend g_socket;
Backend* g_active = nullptr;  // the backend of the command in progress

// Opens the device handle of a command on the first backend that has a
// player, and makes that backend the command's. A real player comes before
// the virtual one; when none is listed or attached the USB backend gives up
// without touching the bus.
BulkHandle ChooseBackend() {
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
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
    return std::string(run) + "/zk27/player.sock";
  return "/tmp/zk27-" + std::to_string(::getuid()) + "/player.sock";
}

std::string PlayerIdentity() {
  if (g_inProcess) return g_inProcess->Identity();
  if (std::string usb = g_usb.Identity(); !usb.empty()) return usb;
  return g_socket.Identity();
}

std::string PlayerLockFile(const std::string& identity) {
  // The virtual player and its clients may spell the socket's path
  // differently or live with different environments; the folder beside the
  // socket is the one they all reach.
  constexpr std::string_view kSocket = "socket:";
  if (identity.compare(0, kSocket.size(), kSocket) == 0) return identity.substr(kSocket.size()) + ".lock";
  const char* run = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder =
      run && *run ? std::string(run) + "/zk27" : "/tmp/zk27-" + std::to_string(::getuid());
  ::mkdir(folder.c_str(), 0700);
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
