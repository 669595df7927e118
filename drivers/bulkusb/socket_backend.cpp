#include "socket_backend.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace bulkusb {

namespace {

int ConnectTo(const std::string& path) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  // A player that stops answering must not hang the program.
  timeval tv{kPipeTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  return fd;
}

BulkHandle Duplicate(int fd) {
  if (fd < 0) return kInvalidBulkHandle;
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return copy < 0 ? kInvalidBulkHandle : copy;
}

}  // namespace

BulkHandle SocketBackend::OpenDev() {
  const std::string path = PlayerSocketPath();
  OpenRefusal why;
  if (!SocketFolderTrusted(path, &why)) {
    NoteRefusal(why);
    return kInvalidBulkHandle;
  }
  connection_ = ConnectTo(path);
  if (connection_ >= 0 && !TrustedPeer(connection_, path, &why)) {
    NoteRefusal(why);
    ::close(connection_);
    connection_ = -1;
  }
  return connection_ < 0 ? kInvalidBulkHandle : connection_;
}

BulkHandle SocketBackend::OpenRead() { return Duplicate(connection_); }
BulkHandle SocketBackend::OpenWrite() { return Duplicate(connection_); }

bool SocketBackend::Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(pipe), buf, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;  // time-out, error, or the player hung up
  *done = static_cast<std::uint32_t>(n);
  return true;
}

bool SocketBackend::Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  ssize_t n;
  do {
    n = ::send(static_cast<int>(pipe), buf, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  *done = static_cast<std::uint32_t>(n);
  return true;
}

std::string SocketBackend::Identity() {
  const std::string path = PlayerSocketPath();
  // Nothing is locked in a folder that is refused; the command's own open
  // says why.
  OpenRefusal why;
  if (!SocketFolderTrusted(path, &why)) return {};
  return SocketIdentity(path);
}

void SocketBackend::Close(BulkHandle handle) {
  if (handle < 0) return;
  ::close(static_cast<int>(handle));
  if (handle == connection_) connection_ = -1;
}

}  // namespace bulkusb
