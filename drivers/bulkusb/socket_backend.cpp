#include "socket_backend.h"

#include "loopback_tcp.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>
#ifdef _WIN32
#include <map>
#include <mutex>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace bulkusb {

namespace {

// ---- the system's sockets: BSD sockets, or winsock ---------------------------
#ifdef _WIN32
using Length = int;

// winsock started once for the program's life.
bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

int NewSocket(int family, int type) {
  if (!StartSockets()) return -1;
  const SOCKET s = ::socket(family, type, 0);
  if (s == INVALID_SOCKET) return -1;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<int>(s);
}

// The last call's failure as the errno the code below tests.
int SocketError() {
  switch (::WSAGetLastError()) {
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY:
    case WSAEINVAL: return EALREADY;  // a connect still under way
    case WSAEISCONN: return EISCONN;
    case WSAEINTR: return EINTR;
    case WSAETIMEDOUT: return ETIMEDOUT;
    default: return ECONNREFUSED;
  }
}

bool SetNonBlocking(int fd, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &mode) == 0;
}

void SetPipeTimeouts(int fd) {
  const DWORD ms = kPipeTimeoutSeconds * 1000;
  ::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
  ::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
}

// A winsock socket cannot be duplicated within a program: the three handles
// of a command share the one socket, closed with the last of them.
std::mutex g_sharesLock;
std::map<int, int> g_shares;

int Duplicate(int fd) {
  std::lock_guard<std::mutex> hold(g_sharesLock);
  ++g_shares[fd];
  return fd;
}

void CloseSocket(int fd) {
  {
    std::lock_guard<std::mutex> hold(g_sharesLock);
    if (auto it = g_shares.find(fd); it != g_shares.end()) {
      if (--it->second == 0) g_shares.erase(it);
      return;
    }
  }
  ::closesocket(static_cast<SOCKET>(fd));
}

long long Receive(int fd, void* buf, std::size_t size) {
  const int n = ::recv(static_cast<SOCKET>(fd), static_cast<char*>(buf), static_cast<int>(size), 0);
  if (n < 0) errno = SocketError();
  return n;
}

long long Send(int fd, const void* buf, std::size_t size) {
  const int n = ::send(static_cast<SOCKET>(fd), static_cast<const char*>(buf), static_cast<int>(size), 0);
  if (n < 0) errno = SocketError();
  return n;
}

int Connect(int fd, const sockaddr* addr, Length length) {
  return ::connect(static_cast<SOCKET>(fd), addr, length) == 0 ? 0 : SocketError();
}

void NoDelay(int fd) {
  const BOOL on = TRUE;
  ::setsockopt(static_cast<SOCKET>(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}
#else
using Length = socklen_t;

int NewSocket(int family, int type) { return ::socket(family, type | SOCK_CLOEXEC, 0); }

bool SetNonBlocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

// A player that stops answering must not hang the program.
void SetPipeTimeouts(int fd) {
  timeval tv{kPipeTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

int Duplicate(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

void CloseSocket(int fd) { ::close(fd); }

long long Receive(int fd, void* buf, std::size_t size) { return ::recv(fd, buf, size, 0); }

long long Send(int fd, const void* buf, std::size_t size) { return ::send(fd, buf, size, MSG_NOSIGNAL); }

int Connect(int fd, const sockaddr* addr, Length length) { return ::connect(fd, addr, length) == 0 ? 0 : errno; }

void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}
#endif

// ---- the connections --------------------------------------------------------

// connect(), bounded by the pipes' time-out. A stopped player (SIGSTOP, as
// Ctrl-Z in its terminal) accepts nothing, and once its listen backlog is full
// a blocking connect would wait for ever; a non-blocking one says EAGAIN and is
// tried again until the time is up. Returns 0, ETIMEDOUT when the time ran
// out, or the errno of a refusal (no player listens there).
int ConnectWithin(int fd, const sockaddr* addr, Length length) {
  if (!SetNonBlocking(fd, true)) return errno;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kPipeTimeoutSeconds);
  int error = 0;
  for (;;) {
    error = Connect(fd, addr, length);
    if (error == EISCONN) error = 0;  // an earlier try got through meanwhile
    if (error != EAGAIN && error != EINPROGRESS && error != EALREADY && error != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      error = ETIMEDOUT;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  SetNonBlocking(fd, false);
  return error;
}

// The connected socket, or -1. `*connected` is false when the player never
// took the connection: the socket then comes back unconnected (see below).
int ConnectTo(const std::string& path, bool* connected) {
  *connected = false;
#ifdef _WIN32
  // Windows' local sockets keep no message boundaries: the virtual player
  // is reached over TCP there ($ZK27_PLAYER_TCP).
  (void)path;
  return -1;
#else
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = NewSocket(AF_UNIX, SOCK_SEQPACKET);
  if (fd < 0) return -1;
  if (const int error = ConnectWithin(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)); error != 0) {
    // A player that is there but never takes the connection answers nothing:
    // the socket goes back unconnected, so that its first send fails and the
    // command fails in transport, as with a player that stops answering
    // half-way, and not as a player that is not there at all.
    if (error == ETIMEDOUT) return fd;
    CloseSocket(fd);
    return -1;
  }
  *connected = true;
  SetPipeTimeouts(fd);
  return fd;
#endif
}

// The TCP connection to `address` (as LoopbackAddress took it), or -1. A
// player that never takes it is treated as on the local socket (above).
int ConnectTcp(const sockaddr_storage& address, Length length) {
  int fd = NewSocket(address.ss_family, SOCK_STREAM);
  if (fd < 0) return -1;
  if (const int error = ConnectWithin(fd, reinterpret_cast<const sockaddr*>(&address), length); error != 0) {
    if (error == ETIMEDOUT) return fd;
    CloseSocket(fd);
    return -1;
  }
  // A command's messages are small and answered one by one: none waits to
  // be merged with the next.
  NoDelay(fd);
  SetPipeTimeouts(fd);
  return fd;
}

// recv of exactly `size` bytes; false on a time-out, an error or a hang-up.
bool ReceiveAll(int fd, void* buf, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(buf);
  while (size > 0) {
    const long long n = Receive(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::uint8_t* p, std::size_t size) {
  while (size > 0) {
    const long long n = Send(fd, p, size);
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

BulkHandle Share(int fd) {
  if (fd < 0) return kInvalidBulkHandle;
  int copy = Duplicate(fd);
  return copy < 0 ? kInvalidBulkHandle : copy;
}

}  // namespace

BulkHandle SocketBackend::OpenTcp(const std::string& address) {
  sockaddr_storage peer;
  const Length length = LoopbackAddress(address, false, &peer);
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
    CloseSocket(connection_);
    connection_ = -1;
  }
  return connection_ < 0 ? kInvalidBulkHandle : connection_;
}

BulkHandle SocketBackend::OpenRead() { return Share(connection_); }
BulkHandle SocketBackend::OpenWrite() { return Share(connection_); }

bool SocketBackend::Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (tcp_) return ReadFrame(static_cast<int>(pipe), buf, size, done);
  long long n;
  do {
    n = Receive(static_cast<int>(pipe), buf, size);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;  // time-out, error, or the player hung up
  *done = static_cast<std::uint32_t>(n);
  return true;
}

bool SocketBackend::Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (tcp_) return WriteFrame(static_cast<int>(pipe), buf, size, done);
  long long n;
  do {
    n = Send(static_cast<int>(pipe), buf, size);
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
  CloseSocket(static_cast<int>(handle));
  if (handle == connection_) connection_ = -1;
}

}  // namespace bulkusb
