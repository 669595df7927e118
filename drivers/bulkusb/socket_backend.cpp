#include "socket_backend.h"

#include "loopback_tcp.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace bulkusb {

namespace {

// A player that stops answering must not hang the program.
void SetPipeTimeouts(int fd) {
  timeval tv{kPipeTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// connect(), bounded by the pipes' time-out. A stopped player (SIGSTOP, as
// Ctrl-Z in its terminal) accepts nothing, and once its listen backlog is full
// a blocking connect would wait for ever; a non-blocking one says EAGAIN and is
// tried again until the time is up. Returns 0, ETIMEDOUT when the time ran
// out, or the errno of a refusal (no player listens there).
int ConnectWithin(int fd, const sockaddr* addr, socklen_t length) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kPipeTimeoutSeconds);
  int error = 0;
  for (;;) {
    error = ::connect(fd, addr, length) == 0 ? 0 : errno;
    if (error == EISCONN) error = 0;  // an earlier try got through meanwhile
    if (error != EAGAIN && error != EINPROGRESS && error != EALREADY && error != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      error = ETIMEDOUT;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::fcntl(fd, F_SETFL, flags);
  return error;
}

// The connected socket, or -1. `*connected` is false when the player never
// took the connection: the socket then comes back unconnected (see below).
int ConnectTo(const std::string& path, bool* connected) {
  *connected = false;
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (const int error = ConnectWithin(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)); error != 0) {
    // A player that is there but never takes the connection answers nothing:
    // the socket goes back unconnected, so that its first send fails and the
    // command fails in transport, as with a player that stops answering
    // half-way, and not as a player that is not there at all.
    if (error == ETIMEDOUT) return fd;
    ::close(fd);
    return -1;
  }
  *connected = true;
  SetPipeTimeouts(fd);
  return fd;
}

// The TCP connection to `address` (as LoopbackAddress took it), or -1. A
// player that never takes it is treated as on the local socket (above).
int ConnectTcp(const sockaddr_storage& address, socklen_t length) {
  int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (const int error = ConnectWithin(fd, reinterpret_cast<const sockaddr*>(&address), length); error != 0) {
    if (error == ETIMEDOUT) return fd;
    ::close(fd);
    return -1;
  }
  // A command's messages are small and answered one by one: none waits to
  // be merged with the next.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  SetPipeTimeouts(fd);
  return fd;
}

// recv of exactly `size` bytes; false on a time-out, an error or a hang-up.
bool ReceiveAll(int fd, void* buf, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(buf);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::uint8_t* p, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// One framed message into `buf`. Bytes beyond `size` are read and dropped,
// as a packet socket drops what does not fit.
bool ReadFrame(int fd, void* buf, std::uint32_t size, std::uint32_t* done) {
  std::uint8_t header[kFrameHeaderSize];
  if (!ReceiveAll(fd, header, sizeof(header))) return false;
  const std::uint32_t length = FrameLength(header);
  if (length > kMaxFrameSize) return false;
  const std::uint32_t kept = length < size ? length : size;
  if (!ReceiveAll(fd, buf, kept)) return false;
  std::vector<std::uint8_t> rest(length - kept);
  if (!ReceiveAll(fd, rest.data(), rest.size())) return false;
  *done = kept;
  return true;
}

bool WriteFrame(int fd, const void* buf, std::uint32_t size, std::uint32_t* done) {
  if (size > kMaxFrameSize) return false;
  std::vector<std::uint8_t> frame(kFrameHeaderSize + size);
  PutFrameLength(size, frame.data());
  std::memcpy(frame.data() + kFrameHeaderSize, buf, size);
  if (!SendAll(fd, frame.data(), frame.size())) return false;
  *done = size;
  return true;
}

BulkHandle Duplicate(int fd) {
  if (fd < 0) return kInvalidBulkHandle;
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return copy < 0 ? kInvalidBulkHandle : copy;
}

}  // namespace

BulkHandle SocketBackend::OpenTcp(const std::string& address) {
  sockaddr_storage peer;
  const socklen_t length = LoopbackAddress(address, false, &peer);
  if (length == 0) {
    OpenRefusal why;
    why.kind = Refusal::kAddress;
    why.path = address;
    NoteRefusal(why);
    return kInvalidBulkHandle;
  }
  connection_ = ConnectTcp(peer, length);
  return connection_ < 0 ? kInvalidBulkHandle : connection_;
}

BulkHandle SocketBackend::OpenDev() {
  tcp_ = false;
  if (const std::string address = PlayerTcpAddress(); !address.empty()) {
    tcp_ = true;
    return OpenTcp(address);
  }
  const std::string path = PlayerSocketPath();
  OpenRefusal why;
  if (!SocketFolderTrusted(path, &why)) {
    NoteRefusal(why);
    return kInvalidBulkHandle;
  }
  bool connected = false;
  connection_ = ConnectTo(path, &connected);
  // An unconnected socket has no peer to ask; its first send fails instead.
  if (connected && !TrustedPeer(connection_, path, &why)) {
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
  if (tcp_) return ReadFrame(static_cast<int>(pipe), buf, size, done);
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
  if (tcp_) return WriteFrame(static_cast<int>(pipe), buf, size, done);
  ssize_t n;
  do {
    n = ::send(static_cast<int>(pipe), buf, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  *done = static_cast<std::uint32_t>(n);
  return true;
}

std::string SocketBackend::Identity() {
  // The programs that name one port share one lock; a refused address has
  // no player, and nothing to lock.
  if (const std::string address = PlayerTcpAddress(); !address.empty()) {
    sockaddr_storage peer;
    if (LoopbackAddress(address, false, &peer) == 0) return {};
    return "tcp:" + AddressText(peer);
  }
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
