// The daemon: one poll loop over the data socket, the control socket and
// their connections. A data connection carries one command conversation at a
// time; the core serves one conversation at a time, as the player on its one
// USB port does, so while a write waits for its data the other connections
// wait their turn.
#include "daemon.h"

#include <cerrno>
#include <sched.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <list>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "bulk_backend.h"
#include "loopback_tcp.h"
#include "card_image.h"
#include "gadget.h"
#include "player_core.h"
#include "voc_writer.h"

namespace player {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 64;
constexpr std::size_t kMaxConnections = 64;
// Room for a whole 128-sector read reply, so it leaves in one go.
constexpr int kDataSendBuffer = 1 << 20;
// One byte more than the largest message of the protocol (a write's data
// phase of 128 sectors): a longer one arrives truncated to a length no
// command takes, and is refused all the same.
constexpr std::size_t kReceiveBuffer = std::size_t{kMaxSectorsPerCommand} * kSectorSize + 1;
constexpr std::size_t kControlBuffer = 16384;

int g_signalPipe[2] = {-1, -1};

// The byte written is the signal's number: SIGCONT resumes, the others end.
void OnSignal(int sig) {
  const int saved = errno;
  if (sig == SIGCONT) Gadget::NoteContinued();
  const char byte = static_cast<char>(sig);
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

void Fail(const std::string& message) { std::fprintf(stderr, "zk27-player: %s\n", message.c_str()); }

// Why the folder of the socket, or the process answering on it, is refused.
std::string RefusalText(const bulkusb::OpenRefusal& why) {
  char line[128];
  if (why.kind == bulkusb::Refusal::kPeer) {
    std::snprintf(line, sizeof(line), ": answered by another user (uid %u); it is not taken for the player",
                  static_cast<unsigned>(why.peer));
    return why.path + line;
  }
  std::snprintf(line, sizeof(line), ": %s of your own (owner %u, mode %04o); the player does not use it",
                why.directory ? "not a folder" : "not a real folder", static_cast<unsigned>(why.owner),
                static_cast<unsigned>(why.mode));
  return why.path + line;
}

// The player's lock file, opened (and made when missing); -1 when there is
// none to be had. A link is never followed.
int OpenLockFile(const std::string& identity) {
  const std::string path = bulkusb::PlayerLockFile(identity);
  if (path.empty()) return -1;
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  if (path.empty() || path.size() >= sizeof(addr->sun_path)) return false;
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when something accepts connections on `path`.
bool Answering(const std::string& path) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return false;
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

// A socket file left by a daemon that died is removed; one that a live
// daemon answers on, or anything that is not a socket, is left alone.
bool ClearStaleSocket(const std::string& path, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return true;
  if (!S_ISSOCK(st.st_mode)) {
    *error = path + " exists and is not a socket";
    return false;
  }
  if (Answering(path)) {
    *error = "another zk27-player is already answering on " + path;
    return false;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    *error = "cannot remove stale socket " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

int Listen(const std::string& path, std::string* error) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) {
    *error = "socket path too long: " + path;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // The socket file is made 0600 by bind itself: there is no moment in which
  // another user could connect to it.
  bool bound = false;
  if (fd >= 0) {
    const mode_t previous = ::umask(0177);
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::umask(previous);
  }
  if (!bound || ::listen(fd, kListenBacklog) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

// A listening TCP socket on the loopback `address`, or -1 with the reason in
// `*error`. Its bound address (the port chosen for a PORT of 0) goes to
// `*bound`.
int ListenTcp(const std::string& address, std::string* bound, std::string* error) {
  sockaddr_storage addr;
  const socklen_t length = bulkusb::LoopbackAddress(address, true, &addr);
  if (length == 0) {
    *error = "--tcp " + address + ": not an address on the loopback (127.0.0.1:PORT)";
    return -1;
  }
  int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // A port left in TIME_WAIT by the last run (or by unplug) is taken again.
  const int on = 1;
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  socklen_t boundLength = sizeof(addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 || ::listen(fd, kListenBacklog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &boundLength) != 0) {
    *error = "cannot listen on " + address + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *bound = bulkusb::AddressText(addr);
  return fd;
}

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof(buf), "0x%02X", v & 0xFF);
  return buf;
}

struct Connection {
  int fd = -1;
  bool control = false;
  bool closing = false;
  std::list<std::vector<std::uint8_t>> out;  // replies not yet taken by the socket
  bool tcp = false;               // a stream: messages are framed by their length
  std::size_t sent = 0;           // bytes of out.front() a stream already took
  std::vector<std::uint8_t> in{};  // a stream's bytes not yet a whole message
};

class Daemon {
 public:
  // With a gadget the player is on a USB bus, which takes the place of the
  // data socket; the control socket is there either way.
  // `tcp` is a loopback address to answer on beside the data socket, or empty.
  Daemon(std::string card, int imageFd, std::string socket, std::string tcp, const GadgetOptions* gadget)
      : card_(std::move(card)), core_(imageFd), imageFd_(imageFd), socket_(std::move(socket)),
        control_(bulkusb::PlayerControlPath(socket_)), tcp_(std::move(tcp)),
        gadget_(gadget ? std::make_unique<Gadget>(core_, *gadget) : nullptr) {}

  // The TCP address answered on ("127.0.0.1:PORT", the port chosen when it
  // was asked as 0); empty without one.
  const std::string& TcpAddress() const { return tcp_; }

  bool Start(std::string* error);
  int Run();
  void Stop();

 private:
  void Accept(int listener, bool control, bool tcp);
  bool ListenData(std::string* error);
  void ServeData(Connection& c);
  void ServeFrames(Connection& c);
  // One message of the host; false when the connection was closed for it.
  bool OnMessage(Connection& c, const std::uint8_t* data, std::size_t size);
  void Queue(Connection& c, std::vector<std::uint8_t> reply);
  void ServeControl(Connection& c);
  void Flush(Connection& c);
  void Close(Connection& c);
  void DropActive();
  std::string Handle(const std::string& cmd, const std::string& arg, bool* ok);
  std::string Status() const;
  std::string RecordFile(const std::string& path, bool* ok);
  bool Unplug();
  bool Plug(std::string* error);
  // Stops listening on the data socket and removes it, and its lock file.
  void CloseDataSocket();

  std::string card_;
  PlayerCore core_;
  int imageFd_;
  std::string socket_;
  std::string control_;
  int dataListener_ = -1;
  std::string tcp_;
  int tcpListener_ = -1;
  int controlListener_ = -1;
  std::list<Connection> connections_;
  int active_ = -1;  // the data connection whose conversation is in progress
  Clock::time_point activeSince_;
  bool quit_ = false;
  std::vector<std::uint8_t> receiveBuffer_ = std::vector<std::uint8_t>(kReceiveBuffer);
  std::unique_ptr<Gadget> gadget_;
};

bool Daemon::Start(std::string* error) {
  if (!ClearStaleSocket(socket_, error) || !ClearStaleSocket(control_, error)) return false;
  if (!gadget_ && !ListenData(error)) return false;
  controlListener_ = Listen(control_, error);
  if (controlListener_ < 0 || (gadget_ && !gadget_->Open(error))) {
    Stop();
    return false;
  }
  return true;
}

void Daemon::Stop() {
  if (gadget_) gadget_->Close();
  for (auto& c : connections_) ::close(c.fd);
  connections_.clear();
  CloseDataSocket();
  if (controlListener_ >= 0) {
    ::close(controlListener_);
    ::unlink(control_.c_str());
    controlListener_ = -1;
  }
}

// The data socket, and the TCP port when one was asked for.
bool Daemon::ListenData(std::string* error) {
  if (!ClearStaleSocket(socket_, error)) return false;
  dataListener_ = Listen(socket_, error);
  if (dataListener_ < 0) return false;
  if (tcp_.empty()) return true;
  tcpListener_ = ListenTcp(tcp_, &tcp_, error);
  if (tcpListener_ >= 0) return true;
  CloseDataSocket();
  return false;
}

void Daemon::CloseDataSocket() {
  if (tcpListener_ >= 0) {
    if (const std::string lock = bulkusb::PlayerLockFile("tcp:" + tcp_); !lock.empty()) ::unlink(lock.c_str());
    ::close(tcpListener_);
    tcpListener_ = -1;
  }
  if (dataListener_ < 0) return;
  // The lock file is named after this socket, which no later one is: it
  // goes with it.
  if (const std::string lock = bulkusb::PlayerLockFile(bulkusb::SocketIdentity(socket_)); !lock.empty())
    ::unlink(lock.c_str());
  ::close(dataListener_);
  ::unlink(socket_.c_str());
  dataListener_ = -1;
}

void Daemon::Accept(int listener, bool control, bool tcp) {
  int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (connections_.size() >= kMaxConnections) {
    ::close(fd);
    return;
  }
  if (!control) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kDataSendBuffer, sizeof(kDataSendBuffer));
  if (tcp) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  }
  connections_.push_back(Connection{fd, control, false, {}, tcp});
}

void Daemon::Flush(Connection& c) {
  while (!c.out.empty() && !c.closing) {
    const auto& m = c.out.front();
    ssize_t n = ::send(c.fd, m.data() + c.sent, m.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // POLLOUT will call again
    if (n < 0) {
      Close(c);
      return;
    }
    // A packet leaves whole; a stream may take part of a message.
    c.sent += static_cast<std::size_t>(n);
    if (c.sent < m.size()) continue;
    c.sent = 0;
    c.out.pop_front();
  }
}

void Daemon::DropActive() {
  active_ = -1;
  core_.BeginCommand();  // a half-received write is never written
}

void Daemon::Close(Connection& c) {
  if (c.closing) return;
  if (c.fd == active_) DropActive();
  ::close(c.fd);
  c.closing = true;
}

void Daemon::ServeData(Connection& c) {
  std::vector<std::uint8_t>& buf = receiveBuffer_;
  while (!c.closing) {
    if (active_ >= 0 && active_ != c.fd) return;  // another conversation holds the player
    ssize_t n = ::recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // the host hung up (or the connection broke)
      Close(c);
      return;
    }
    if (c.tcp) {
      c.in.insert(c.in.end(), buf.begin(), buf.begin() + n);
      ServeFrames(c);
    } else if (!OnMessage(c, buf.data(), static_cast<std::size_t>(n))) {
      return;
    }
  }
}

// The whole messages a stream holds, in order. A length no message of the
// protocol has is a broken host: it is dropped before its bytes are kept.
void Daemon::ServeFrames(Connection& c) {
  std::size_t used = 0;
  while (!c.closing && c.in.size() - used >= bulkusb::kFrameHeaderSize) {
    const std::uint32_t length = bulkusb::FrameLength(c.in.data() + used);
    if (length >= kReceiveBuffer) {
      Close(c);
      return;
    }
    if (c.in.size() - used - bulkusb::kFrameHeaderSize < length) break;
    used += bulkusb::kFrameHeaderSize;
    if (!OnMessage(c, c.in.data() + used, length)) return;
    used += length;
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
}

bool Daemon::OnMessage(Connection& c, const std::uint8_t* data, std::size_t size) {
  if (active_ < 0) {
    core_.BeginCommand();
    active_ = c.fd;
  }
  activeSince_ = Clock::now();
  std::vector<std::vector<std::uint8_t>> replies;
  const Step step = core_.OnHostMessage(data, size, replies);
  if (step == Step::kDrop) {
    Close(c);  // transport failure: nothing more is said
    return false;
  }
  for (auto& r : replies) Queue(c, std::move(r));
  if (step == Step::kComplete) active_ = -1;
  Flush(c);
  return !c.closing;
}

void Daemon::Queue(Connection& c, std::vector<std::uint8_t> reply) {
  if (c.tcp) {
    std::uint8_t header[bulkusb::kFrameHeaderSize];
    bulkusb::PutFrameLength(static_cast<std::uint32_t>(reply.size()), header);
    reply.insert(reply.begin(), header, header + sizeof(header));
  }
  c.out.push_back(std::move(reply));
}

void Daemon::ServeControl(Connection& c) {
  char buf[kControlBuffer];
  ssize_t n;
  do {
    n = ::recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    Close(c);
    return;
  }
  // A request is the command, then optionally a NUL and its argument.
  std::string request(buf, static_cast<std::size_t>(n));
  std::string cmd = request, arg;
  if (auto nul = request.find('\0'); nul != std::string::npos) {
    cmd = request.substr(0, nul);
    arg = request.substr(nul + 1);
  }
  bool ok = true;
  std::string text = Handle(cmd, arg, &ok);
  if (!text.empty() && text.back() != '\n') text += '\n';
  std::vector<std::uint8_t> reply;
  reply.push_back(ok ? '0' : '1');
  reply.insert(reply.end(), text.begin(), text.end());
  c.out.push_back(std::move(reply));
  Flush(c);
}

std::string Daemon::Status() const {
  std::string s;
  s += "card: " + card_ + "\n";
  s += "size: " + std::to_string(core_.SectorCount()) + " sectors\n";
  s += std::string("card inserted: ") + (core_.CardPresent() ? "yes" : "no") + "\n";
  s += std::string("busy: ") + (core_.Busy() ? "on" : "off") + "\n";
  s += std::string("ready: ") + (core_.NotReady() ? "no" : "yes") + "\n";
  s += std::string("recheck pending: ") + (core_.RecheckPending() ? "yes" : "no") + "\n";
  s += std::string("plugged: ") + (core_.Plugged() ? "yes" : "no") + "\n";
  s += "fail-after: " + (core_.FailCountdown() ? std::to_string(core_.FailCountdown()) : std::string("off")) + "\n";
  s += "commands: " + std::to_string(core_.CommandsServed()) + "\n";
  if (gadget_) s += gadget_->Status();
  return s;
}

bool Daemon::Unplug() {
  core_.SetPlugged(false);
  // The cable is out: conversations in progress break, and nobody can connect.
  for (auto& c : connections_)
    if (!c.control) Close(c);
  DropActive();
  CloseDataSocket();
  return true;
}

bool Daemon::Plug(std::string* error) {
  if (dataListener_ < 0 && !ListenData(error)) return false;
  core_.SetPlugged(true);
  return true;
}

// The file is a sound file (a WAV file, or anything else libsndfile reads);
// the card gets it as the voice file the player's recorder would make of it.
std::string Daemon::RecordFile(const std::string& path, bool* ok) {
  *ok = false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "not recorded: cannot read " + path + ": " + std::strerror(errno);
  // A pipe or a device would stall the daemon's one loop.
  if (!S_ISREG(st.st_mode)) return "not recorded: " + path + " is not a regular file";
  // No sound file takes more than 8 bytes a sample and the voice file 2: a
  // file four times the card's size cannot fit, and is not read.
  if (static_cast<std::uint64_t>(st.st_size) > 4 * std::uint64_t{core_.SectorCount()} * kSectorSize)
    return std::string("not recorded: ") + RecordResultText(RecordResult::kCardFull);
  std::vector<std::uint8_t> bytes;
  std::string problem;
  if (!tvdh::WavToVoiceFile(path, &bytes, &problem)) return "not recorded: " + problem;

  // A program on the PC that holds the card works on the tables it read;
  // a recording filed under it would be overwritten by its next flush.
  // Programs that reach it over TCP hold the lock named after its port.
  const int lock = OpenLockFile(bulkusb::SocketIdentity(socket_));
  const int tcpLock = tcpListener_ < 0 ? -1 : OpenLockFile("tcp:" + tcp_);
  const bool held = (lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) != 0) ||
                    (tcpLock >= 0 && ::flock(tcpLock, LOCK_EX | LOCK_NB) != 0);
  RecordInfo info;
  const RecordResult r = held ? RecordResult::kOk : core_.Record(bytes, &info);
  if (lock >= 0) ::close(lock);
  if (tcpLock >= 0) ::close(tcpLock);
  if (held) return "not recorded: a program on the PC is using the card";
  if (r != RecordResult::kOk) return std::string("not recorded: ") + RecordResultText(r);
  *ok = true;
  std::string s = "recorded " + path + " as voice file " + Hex2(info.fileId) + " (number " +
                  std::to_string(info.fileId & 0x7F) + "), " + std::to_string(info.size) + " bytes";
  if (info.clusterCount > 0)
    s += " in " + std::to_string(info.clusterCount) + " cluster(s) from cluster " + std::to_string(info.firstCluster);
  s += ", directory sector " + std::to_string(info.dirLba) + " offset " + std::to_string(info.dirOffset);
  return s;
}

std::string Daemon::Handle(const std::string& cmd, const std::string& arg, bool* ok) {
  *ok = true;
  if (cmd == "status" && arg.empty()) return Status();
  if (cmd == "eject" && arg.empty()) {
    core_.Eject();
    return "card ejected";
  }
  if (cmd == "insert" && arg.empty()) {
    core_.Insert();
    return "card inserted";
  }
  if (cmd == "busy" && (arg == "on" || arg == "off")) {
    core_.SetBusy(arg == "on");
    return "busy " + arg;
  }
  if (cmd == "not-ready" && (arg == "on" || arg == "off")) {
    core_.SetNotReady(arg == "on");
    return "not-ready " + arg;
  }
  if (cmd == "recheck" && arg.empty()) {
    core_.RequestRecheck();
    return "the next command reports that the card must be checked again";
  }
  if (gadget_ && (cmd == "unplug" || cmd == "plug") && arg.empty()) {
    std::string text;
    *ok = cmd == "unplug" ? gadget_->Unplug(&text) : gadget_->Plug(&text);
    return text;
  }
  if (cmd == "stall" && arg.empty()) {
    if (!gadget_) {
      *ok = false;
      return "stall needs the player on a USB bus (serve --gadget)";
    }
    gadget_->StallNextDataPhase();
    return "the next data phase halts its endpoint";
  }
  if (cmd == "unplug" && arg.empty()) {
    Unplug();
    return "unplugged";
  }
  if (cmd == "plug" && arg.empty()) {
    std::string error;
    if (Plug(&error)) return "plugged";
    *ok = false;
    return error;
  }
  if (cmd == "fail-after" && !arg.empty() && arg.size() <= 18 &&
      arg.find_first_not_of("0123456789") == std::string::npos) {
    const std::uint64_t n = std::strtoull(arg.c_str(), nullptr, 10);
    core_.FailAfter(n);
    return n == 0 ? std::string("fail-after cancelled")
                  : "command " + std::to_string(n) + " from now fails with a transport failure";
  }
  if (cmd == "record" && !arg.empty()) return RecordFile(arg, ok);
  if (cmd == "quit" && arg.empty()) {
    quit_ = true;
    return "quitting";
  }
  *ok = false;
  return "unknown request: " + cmd;
}

int Daemon::Run() {
  std::vector<pollfd> fds;
  std::vector<Connection*> owners;
  while (!quit_) {
    fds.clear();
    owners.clear();
    fds.push_back({g_signalPipe[0], POLLIN, 0});
    owners.push_back(nullptr);
    if (dataListener_ >= 0 && connections_.size() < kMaxConnections) {
      fds.push_back({dataListener_, POLLIN, 0});
      owners.push_back(nullptr);
    }
    if (tcpListener_ >= 0 && connections_.size() < kMaxConnections) {
      fds.push_back({tcpListener_, POLLIN, 0});
      owners.push_back(nullptr);
    }
    fds.push_back({controlListener_, POLLIN, 0});
    owners.push_back(nullptr);
    if (gadget_) {
      gadget_->AddPollFds(&fds);
      owners.resize(fds.size(), nullptr);
    }
    for (auto& c : connections_) {
      short events = c.out.empty() ? 0 : POLLOUT;
      // While a conversation is in progress only its connection is heard.
      if (c.control || active_ < 0 || active_ == c.fd) events |= POLLIN;
      fds.push_back({c.fd, events, 0});
      owners.push_back(&c);
    }

    int timeout = -1;
    if (active_ >= 0) {
      // A host that stops half-way through a write must not block the player.
      auto deadline = activeSince_ + std::chrono::seconds(bulkusb::kPipeTimeoutSeconds);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    if (const int bus = gadget_ ? gadget_->TimeoutMs() : -1; bus >= 0 && (timeout < 0 || bus < timeout))
      timeout = bus;
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      Fail(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (gadget_) gadget_->OnTick();
    if (ready <= 0) {
      if (active_ >= 0 && Clock::now() - activeSince_ >= std::chrono::seconds(bulkusb::kPipeTimeoutSeconds)) {
        for (auto& c : connections_)
          if (c.fd == active_) Close(c);
      }
      continue;
    }

    for (std::size_t i = 0; i < fds.size(); ++i) {
      const short ev = fds[i].revents;
      if (ev == 0) continue;
      const int fd = fds[i].fd;
      if (fd == g_signalPipe[0]) {
        char sig = 0;
        while (::read(fd, &sig, 1) == 1) {
          if (sig == SIGCONT && gadget_) gadget_->CheckContinued();  // the host gave up on what was in flight
          if (sig != SIGCONT) quit_ = true;
        }
        continue;
      }
      if (gadget_ && gadget_->Owns(fd)) {
        gadget_->OnReady(fd);
        continue;
      }
      if (owners[i] == nullptr) {
        if (fd == dataListener_) Accept(fd, false, false);
        if (fd == tcpListener_) Accept(fd, false, true);
        if (fd == controlListener_) Accept(fd, true, false);
        continue;
      }
      Connection& c = *owners[i];
      if (c.closing) continue;
      if (ev & POLLOUT) Flush(c);
      if (!c.closing && (ev & POLLIN)) c.control ? ServeControl(c) : ServeData(c);
      // Hung up with nothing left to read: the host is gone.
      if (!c.closing && (ev & (POLLHUP | POLLERR)) && !(ev & POLLIN)) Close(c);
    }
    // Replies to a control request (the answer to "quit" included) leave
    // before the loop ends or the connection goes.
    for (auto& c : connections_)
      if (!c.closing && !c.out.empty()) Flush(c);
    connections_.remove_if([](const Connection& c) { return c.closing; });
  }
  Stop();
  return 0;
}

bool InstallSignalHandlers() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGCONT, &sa, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, nullptr);
  return true;
}

}  // namespace

std::string DefaultCardPath() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    return std::string(data) + "/zk27/card.img";
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  return home + "/.local/share/zk27/card.img";
}

int Serve(const ServeOptions& options) {
  std::string error;
  // Refuse before a blank card is created for nothing.
  if (sockaddr_storage tcp; !options.tcp.empty() && bulkusb::LoopbackAddress(options.tcp, true, &tcp) == 0) {
    Fail("--tcp " + options.tcp + ": not an address on the loopback (127.0.0.1:PORT)");
    return 1;
  }
  if (auto slash = options.socket.rfind('/'); slash != std::string::npos && slash > 0) {
    if (!MakeFolders(options.socket.substr(0, slash), 0700, &error)) {
      Fail(error);
      return 1;
    }
  }
  if (bulkusb::OpenRefusal why; !bulkusb::SocketFolderTrusted(options.socket, &why)) {
    Fail(why.kind == bulkusb::Refusal::kNone ? "cannot create folder " + bulkusb::RuntimeFolder() : RefusalText(why));
    return 1;
  }
  if (!ClearStaleSocket(options.socket, &error) ||
      !ClearStaleSocket(bulkusb::PlayerControlPath(options.socket), &error)) {
    Fail(error);
    return 1;
  }
  int imageFd = OpenCardImage(options.card, options.sizeMiB, &error);
  if (imageFd < 0) {
    Fail(error);
    return 1;
  }
  // Two players writing one card would corrupt it.
  if (::flock(imageFd, LOCK_EX | LOCK_NB) != 0) {
    Fail("card image " + options.card + " is already served by another zk27-player");
    ::close(imageFd);
    return 1;
  }
  if (!InstallSignalHandlers()) {
    Fail(std::string("cannot set up signal handling: ") + std::strerror(errno));
    ::close(imageFd);
    return 1;
  }

  // Woken by each of a command's messages, the player would preempt the host
  // that sent it, often before the host reaches its next wait. As a batch
  // task it runs when the host waits or on another processor.
  sched_param batch{};
  ::sched_setscheduler(0, SCHED_BATCH, &batch);

  int status;
  {
    const GadgetOptions gadget{options.gadget, options.udcFile};
    Daemon daemon(options.card, imageFd, options.socket, options.tcp, options.gadget.empty() ? nullptr : &gadget);
    if (!daemon.Start(&error)) {
      Fail(error);
      status = 1;
    } else {
      if (!daemon.TcpAddress().empty())
        std::printf("zk27-player: serving %s on %s and on TCP %s\n", options.card.c_str(), options.socket.c_str(),
                    daemon.TcpAddress().c_str());
      else if (options.gadget.empty())
        std::printf("zk27-player: serving %s on %s\n", options.card.c_str(), options.socket.c_str());
      else
        std::printf("zk27-player: serving %s on the USB function %s (control socket %s)\n", options.card.c_str(),
                    options.gadget.c_str(), bulkusb::PlayerControlPath(options.socket).c_str());
      std::fflush(stdout);
      status = daemon.Run();
    }
  }
  ::close(imageFd);
  return status;
}

int Control(const std::string& socket, const std::vector<std::string>& words) {
  const std::string path = bulkusb::PlayerControlPath(socket);
  sockaddr_un addr;
  if (words.empty() || !FillAddress(path, &addr)) {
    Fail("invalid control socket path " + path);
    return 1;
  }
  bulkusb::OpenRefusal why;
  if (!bulkusb::SocketFolderTrusted(socket, &why) && why.kind != bulkusb::Refusal::kNone) {
    Fail(RefusalText(why));
    return 1;
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    Fail("no zk27-player is running on " + socket + " (" + std::strerror(errno) + ")");
    if (fd >= 0) ::close(fd);
    return 1;
  }
  // Files named to the player (a recording's) go to no other user.
  if (!bulkusb::TrustedPeer(fd, path, &why)) {
    Fail(RefusalText(why));
    ::close(fd);
    return 1;
  }
  // A recording of a large file takes a while; a daemon that hangs must not.
  timeval tv{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));

  std::string request = words[0];
  if (words.size() > 1) {
    request += '\0';
    request += words[1];
  }
  std::vector<char> reply(kControlBuffer);
  ssize_t n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  if (n == static_cast<ssize_t>(request.size())) {
    do {
      n = ::recv(fd, reply.data(), reply.size(), 0);
    } while (n < 0 && errno == EINTR);
  } else {
    n = -1;
  }
  const int err = errno;
  ::close(fd);
  if (n <= 0) {
    Fail("no answer from zk27-player on " + socket + (n < 0 ? std::string(" (") + std::strerror(err) + ")" : ""));
    return 1;
  }
  const bool ok = reply[0] == '0';
  std::fwrite(reply.data() + 1, 1, static_cast<std::size_t>(n - 1), ok ? stdout : stderr);
  return ok ? 0 : 1;
}

}  // namespace player
