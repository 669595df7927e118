#include "gadget.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bulk_backend.h"

namespace player {

namespace {

using Clock = std::chrono::steady_clock;

// A command block arrives as one short packet; a read of one high-speed
// packet (eight full-speed ones) takes it whole whatever the speed.
constexpr std::size_t kCommandRead = 512;
constexpr unsigned kMaxTransfers = 32;
// A read that fails again and again at once (an endpoint the kernel took
// away) is not tried once more before the host configures the device anew.
constexpr int kMaxFailedReads = 3;
// How soon a halt the controller refused for now is tried again.
constexpr int kHaltRetryMs = 2;

volatile std::sig_atomic_t g_continued = 0;

void Put16(std::vector<std::uint8_t>* v, unsigned x) {
  v->push_back(static_cast<std::uint8_t>(x));
  v->push_back(static_cast<std::uint8_t>(x >> 8));
}
void Put32(std::vector<std::uint8_t>* v, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v->push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void Set32(std::vector<std::uint8_t>* v, std::size_t at, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) (*v)[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
}

// One speed's descriptors: the interface, bulk IN 0x81, bulk OUT 0x02.
void PutSpeed(std::vector<std::uint8_t>* v, unsigned packet) {
  const std::uint8_t interface[] = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_VENDOR_SPEC, 0, 0, 1};
  v->insert(v->end(), std::begin(interface), std::end(interface));
  for (const std::uint8_t address : {std::uint8_t{USB_DIR_IN | 1}, std::uint8_t{USB_DIR_OUT | 2}}) {
    v->insert(v->end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
    Put16(v, packet);
    v->push_back(0);  // bInterval: no NAK limit
  }
}

long IoSetup(unsigned n, aio_context_t* ctx) { return ::syscall(__NR_io_setup, n, ctx); }
long IoDestroy(aio_context_t ctx) { return ::syscall(__NR_io_destroy, ctx); }
long IoSubmit(aio_context_t ctx, long n, iocb** cbs) { return ::syscall(__NR_io_submit, ctx, n, cbs); }
long IoCancel(aio_context_t ctx, iocb* cb, io_event* result) { return ::syscall(__NR_io_cancel, ctx, cb, result); }
long IoGetEvents(aio_context_t ctx, long least, long most, io_event* events, timespec* wait) {
  return ::syscall(__NR_io_getevents, ctx, least, most, events, wait);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  ssize_t n;
  do {
    n = ::write(fd, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

// The UDC file holds one line: the controller's name, or nothing.
bool ReadLine(const std::string& path, std::string* line, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buf[256];
  const ssize_t n = fd < 0 ? -1 : ::read(fd, buf, sizeof(buf) - 1);
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (n < 0) {
    *error = "cannot read " + path + ": " + std::strerror(err);
    return false;
  }
  line->assign(buf, static_cast<std::size_t>(n));
  while (!line->empty() && (line->back() == '\n' || line->back() == ' ')) line->pop_back();
  return true;
}

bool WriteLine(const std::string& path, const std::string& line, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const std::string text = line + "\n";
  const bool ok = fd >= 0 && WriteAll(fd, std::vector<std::uint8_t>(text.begin(), text.end()));
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(err);
  return ok;
}

}  // namespace

std::vector<std::uint8_t> GadgetDescriptors() {
  std::vector<std::uint8_t> v;
  Put32(&v, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  Put32(&v, 0);  // the length, set below
  Put32(&v, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  Put32(&v, 3);  // descriptors at full speed
  Put32(&v, 3);  // and at high speed
  PutSpeed(&v, 64);
  PutSpeed(&v, 512);
  Set32(&v, 4, static_cast<std::uint32_t>(v.size()));
  return v;
}

std::vector<std::uint8_t> GadgetStrings() {
  static const char kInterface[] = "ZK27 player";
  std::vector<std::uint8_t> v;
  Put32(&v, FUNCTIONFS_STRINGS_MAGIC);
  Put32(&v, 0);
  Put32(&v, 1);  // strings
  Put32(&v, 1);  // languages
  Put16(&v, 0x0409);
  v.insert(v.end(), std::begin(kInterface), std::end(kInterface));  // with its NUL
  Set32(&v, 4, static_cast<std::uint32_t>(v.size()));
  return v;
}

Gadget::Gadget(PlayerCore& core, GadgetOptions options) : core_(core), options_(std::move(options)) {}

Gadget::~Gadget() { Close(); }

bool Gadget::Open(std::string* error) {
  Close();
  const std::string ep0 = options_.dir + "/ep0";
  ep0_ = ::open(ep0.c_str(), O_RDWR | O_CLOEXEC);
  if (ep0_ < 0) {
    *error = "cannot open " + ep0 + ": " + std::strerror(errno) + " (is a functionfs instance mounted on " +
             options_.dir + "?)";
    return false;
  }
  if (!WriteAll(ep0_, GadgetDescriptors()) || !WriteAll(ep0_, GadgetStrings())) {
    *error = "the function on " + options_.dir + " refused the player's descriptors: " + std::strerror(errno) +
             " (is another program serving it?)";
    Close();
    return false;
  }
  // Events are read as they come, without waiting.
  ::fcntl(ep0_, F_SETFL, ::fcntl(ep0_, F_GETFL) | O_NONBLOCK);
  const std::string ep1 = options_.dir + "/ep1", ep2 = options_.dir + "/ep2";
  in_ = ::open(ep1.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  out_ = in_ < 0 ? -1 : ::open(ep2.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (out_ < 0) {
    *error = "cannot open the endpoints " + ep1 + " and " + ep2 + ": " + std::strerror(errno);
    Close();
    return false;
  }
  events_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  aio_ = 0;
  if (events_ < 0 || IoSetup(kMaxTransfers, &aio_) != 0) {
    *error = std::string("cannot set up asynchronous I/O: ") + std::strerror(errno);
    aio_ = 0;
    Close();
    return false;
  }
  return true;
}

void Gadget::Close() {
  // Destroying the context cancels what is in flight and waits for it.
  if (aio_ != 0) IoDestroy(aio_);
  aio_ = 0;
  transfers_.clear();
  read_ = nullptr;
  for (int* fd : {&out_, &in_, &events_, &ep0_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  bound_ = enabled_ = active_ = false;
  core_.BeginCommand();
}

void Gadget::AddPollFds(std::vector<pollfd>* fds) const {
  if (ep0_ >= 0) fds->push_back({ep0_, POLLIN, 0});
  if (events_ >= 0) fds->push_back({events_, POLLIN, 0});
}

void Gadget::OnReady(int fd) {
  if (fd == ep0_) ReadEvents();
  if (fd == events_) ReapTransfers();
}

int Gadget::TimeoutMs() const {
  if (haltInPending_) return kHaltRetryMs;
  if (!active_) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        activeSince_ + std::chrono::seconds(bulkusb::kPipeTimeoutSeconds) - Clock::now())
                        .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void Gadget::OnTick() {
  if (haltInPending_) {
    // Given up once the host's own wait for the data is over.
    if (Halt(in_) != EAGAIN || Clock::now() - haltInSince_ > std::chrono::seconds(bulkusb::kPipeTimeoutSeconds))
      haltInPending_ = false;
  }
  // A host that stops half-way through a conversation must not hold the
  // player: its next command starts afresh.
  if (active_ && TimeoutMs() == 0) {
    DropAll();
    ArmRead();
  }
}

void Gadget::ReadEvents() {
  usb_functionfs_event events[4];
  for (;;) {
    const ssize_t n = ::read(ep0_, events, sizeof(events));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof(events[0]); ++i) {
      switch (events[i].type) {
        case FUNCTIONFS_BIND:
          bound_ = true;
          break;
        case FUNCTIONFS_UNBIND:
          bound_ = false;
          [[fallthrough]];
        case FUNCTIONFS_DISABLE:
          enabled_ = false;
          DropAll();
          break;
        case FUNCTIONFS_ENABLE:
          // A new configuration: whatever was in flight went with the old one.
          DropAll();
          enabled_ = true;
          failedReads_ = 0;
          ArmRead();
          break;
        case FUNCTIONFS_SETUP: {
          // The player answers no request of its own on the control pipe:
          // each is stalled, by the transfer of the wrong direction.
          std::uint8_t byte = 0;
          ssize_t r;
          if (events[i].u.setup.bRequestType & USB_DIR_IN)
            r = ::read(ep0_, &byte, 1);
          else
            r = ::write(ep0_, &byte, 1);
          (void)r;
          break;
        }
        default:  // suspend, resume
          break;
      }
    }
  }
}

void Gadget::ReapTransfers() {
  std::uint64_t count;
  [[maybe_unused]] ssize_t n = ::read(events_, &count, sizeof(count));
  io_event done[16];
  timespec none{0, 0};
  for (;;) {
    const long got = IoGetEvents(aio_, 0, 16, done, &none);
    if (got <= 0) return;
    CheckContinued();
    for (long i = 0; i < got; ++i) {
      Transfer* t = reinterpret_cast<Transfer*>(static_cast<std::uintptr_t>(done[i].data));
      Completed(t, done[i].res);
      transfers_.remove_if([t](const Transfer& x) { return &x == t; });
    }
  }
}

void Gadget::Completed(Transfer* t, long long result) {
  if (t == read_) read_ = nullptr;
  if (t->dropped) return;
  if (!t->in) {
    if (result > 0) {
      failedReads_ = 0;
      OnHostMessage(t->buf.data(), static_cast<std::size_t>(result));
    } else if (++failedReads_ >= kMaxFailedReads) {
      return;  // the endpoint is gone until the next configuration
    }
    ArmRead();
    return;
  }
  if (result < 0) {  // a reply the host never got: the conversation is broken
    DropAll();
    ArmRead();
    return;
  }
  // A controller may report a short IN transfer done once it holds it,
  // before the host took it, and refuses to halt the pipe until then: the
  // halt is tried again shortly.
  if (t->haltAfter && Halt(in_) == EAGAIN) {
    haltInPending_ = true;
    haltInSince_ = Clock::now();
  }
}

void Gadget::OnHostMessage(const std::uint8_t* data, std::size_t size) {
  if (g_continued) {  // stopped after this arrived: its host gave up on it
    CheckContinued();
    return;
  }
  bool fresh = !core_.AwaitingData();
  if (!fresh && size % kSectorSize != 0) {
    // A command where a write's data was awaited: the host gave that write up.
    core_.BeginCommand();
    fresh = true;
  }
  if (fresh) {
    haltInPending_ = false;
    // Replies still queued answer a command the host has given up on; the
    // host would take them for answers to this one.
    DropReplies();
    active_ = true;
  }
  activeSince_ = Clock::now();
  const CommandInfo command = fresh ? ParseCommandBlock(data, size) : CommandInfo{};
  std::vector<std::vector<std::uint8_t>> replies;
  const Step step = core_.OnHostMessage(data, size, replies);
  if (step == Step::kDrop) {  // left unanswered: the host's wait runs out
    active_ = false;
    return;
  }
  const bool passed = !replies.empty() && replies[0].size() == kStatusReplySize && replies[0][1] == kStatusOk;
  const bool writeData = step == Step::kAwaitData;
  const bool readData = command.code != kCodeWriteCardSectors && replies.size() == 3;
  if (fresh && stallArmed_ && passed && (writeData || readData)) {
    stallArmed_ = false;
    active_ = false;
    if (writeData) {
      // The data never reaches the card: the OUT pipe halts before it.
      Send(std::move(replies[0]));
      core_.BeginCommand();
      Halt(out_);
    } else {
      Send(std::move(replies[0]), /*haltAfter=*/true);
    }
    return;
  }
  for (auto& r : replies) Send(std::move(r));
  if (step == Step::kComplete) active_ = false;
}

bool Gadget::Submit(Transfer* t) {
  if (aio_ == 0 || transfers_.size() > kMaxTransfers) return false;
  t->cb.aio_data = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(t));
  t->cb.aio_lio_opcode = t->in ? IOCB_CMD_PWRITE : IOCB_CMD_PREAD;
  t->cb.aio_fildes = static_cast<std::uint32_t>(t->in ? in_ : out_);
  t->cb.aio_buf = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(t->buf.data()));
  t->cb.aio_nbytes = t->buf.size();
  t->cb.aio_flags = IOCB_FLAG_RESFD;
  t->cb.aio_resfd = static_cast<std::uint32_t>(events_);
  iocb* list[1] = {&t->cb};
  return IoSubmit(aio_, 1, list) == 1;
}

void Gadget::Send(std::vector<std::uint8_t> bytes, bool haltAfter) {
  if (!enabled_) return;
  Transfer& t = transfers_.emplace_back();
  t.in = true;
  t.buf = std::move(bytes);
  t.haltAfter = haltAfter;
  if (!Submit(&t)) {
    transfers_.pop_back();
    DropAll();
    ArmRead();
  }
}

void Gadget::ArmRead() {
  if (!enabled_ || read_ != nullptr || out_ < 0) return;
  Transfer& t = transfers_.emplace_back();
  // The data of a write comes as full packets with no short one after it:
  // the read must ask for exactly what is still to come.
  t.buf.resize(core_.AwaitingData() ? core_.DataAwaited() : kCommandRead);
  if (Submit(&t)) {
    read_ = &t;
  } else {
    transfers_.pop_back();
  }
}

void Gadget::DropReplies() {
  for (Transfer& t : transfers_) {
    if (!t.in || t.dropped) continue;
    t.dropped = true;
    io_event ignored;
    IoCancel(aio_, &t.cb, &ignored);
  }
}

void Gadget::DropAll() {
  core_.BeginCommand();  // a half-received write is never written
  active_ = false;
  haltInPending_ = false;
  DropReplies();
  if (read_ != nullptr) {
    read_->dropped = true;
    io_event ignored;
    IoCancel(aio_, &read_->cb, &ignored);
    read_ = nullptr;
  }
}

void Gadget::Resync() {
  DropAll();
  ArmRead();
}

void Gadget::NoteContinued() { g_continued = 1; }

void Gadget::CheckContinued() {
  if (!g_continued) return;
  g_continued = 0;
  Resync();
}

// A transfer against an endpoint's direction halts it (functionfs's way to
// stall); the host sees the pipe stalled until it clears the halt.
int Gadget::Halt(int fd) {
  if (fd < 0) return EBADF;
  std::uint8_t byte = 0;
  const bool in = fd == in_;
  const ssize_t r = in ? ::read(fd, &byte, 1) : ::write(fd, &byte, 1);
  if (r >= 0) return EIO;  // cannot be: the transfer went against the pipe's direction
  if (errno != EBADMSG) return errno;
  ++(in ? haltsIn_ : haltsOut_);
  return 0;
}

bool Gadget::Unplug(std::string* text) {
  core_.SetPlugged(false);
  if (options_.udcFile.empty()) {
    Close();
    *text = "unplugged (the function's files are closed)";
    return true;
  }
  std::string name, error;
  if (ReadLine(options_.udcFile, &name, &error) && !name.empty()) udcName_ = name;
  DropAll();
  if (!WriteLine(options_.udcFile, "", &error)) {
    *text = error;
    return false;
  }
  *text = "unplugged (unbound from " + (udcName_.empty() ? std::string("its controller") : udcName_) + ")";
  return true;
}

bool Gadget::Plug(std::string* text) {
  if (options_.udcFile.empty()) {
    if (ep0_ < 0 && !Open(text)) return false;
    core_.SetPlugged(true);
    *text = "plugged (the function is ready; the gadget is attached once bound to its controller)";
    return true;
  }
  std::string current, error;
  if (ReadLine(options_.udcFile, &current, &error) && !current.empty()) {
    core_.SetPlugged(true);
    *text = "plugged (bound to " + current + ")";
    return true;
  }
  if (udcName_.empty()) {
    *text = "no controller to bind to: the gadget was not bound when it was unplugged";
    return false;
  }
  if (!WriteLine(options_.udcFile, udcName_, &error)) {
    *text = error;
    return false;
  }
  core_.SetPlugged(true);
  *text = "plugged (bound to " + udcName_ + ")";
  return true;
}

std::string Gadget::Status() const {
  std::string s = "usb function: " + options_.dir + "\n";
  s += std::string("usb bound: ") + (bound_ ? "yes" : "no") + "\n";
  s += std::string("usb configured: ") + (enabled_ ? "yes" : "no") + "\n";
  s += std::string("stall armed: ") + (stallArmed_ ? "yes" : "no") + "\n";
  s += "halted: " + std::to_string(haltsIn_) + " in, " + std::to_string(haltsOut_) + " out\n";
  return s;
}

}  // namespace player
