// The device link byte by byte, against a scripted driver: the CommandBlock of
// each command, the order of the driver calls, and every way a command can
// fail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include "card_image.h"
#include "card_source.h"
#include "support/engine.h"
#include "support/player_protocol.h"

using namespace zk27_test;

namespace {

using Clock = std::chrono::steady_clock;

// A driver that answers from a script and writes down every call.
class ScriptedDriver final : public bulkusb::Backend {
 public:
  static constexpr BulkHandle kDev = 501, kIn = 502, kOut = 503;

  // The script.
  bool openFails[3] = {false, false, false};  // open_dev, open_read, open_write
  Bytes status = {0x00, 0x00};
  bool commandWriteFails = false;
  bool commandWriteShort = false;
  bool statusReadFails = false;
  bool dataFails = false;  // the data phase's call fails ...
  bool dataShort = false;  // ... or reports half the bytes asked for
  bool completionFails = false;
  bool completionShort = false;
  Bytes completion = Bytes(13, 0x53);  // signed by nobody: says nothing
  // The player's sector i of a read's data phase.
  std::function<Bytes(int)> sectorToRead = [](int i) { return Pattern(100 + i); };

  // What happened.
  std::vector<std::string> calls;
  std::vector<Bytes> commandBlocks;
  std::vector<Bytes> dataWritten;  // one element per data call
  Clock::time_point commandSent, statusAsked;

  BulkHandle OpenDev() override {
    calls.push_back("open_dev");
    return openFails[0] ? kInvalidBulkHandle : kDev;
  }
  BulkHandle OpenRead() override {
    calls.push_back("open_read");
    return openFails[1] ? kInvalidBulkHandle : kIn;
  }
  BulkHandle OpenWrite() override {
    calls.push_back("open_write");
    return openFails[2] ? kInvalidBulkHandle : kOut;
  }

  bool Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) override {
    calls.push_back((pipe == kIn ? "read " : "read on a wrong handle ") + std::to_string(size));
    Bytes reply;
    bool fail = false, cut = false;
    if (size == 2) {
      statusAsked = Clock::now();
      reply = status;
      fail = statusReadFails;
    } else if (size == 13) {
      reply = completion;
      fail = completionFails;
      cut = completionShort;
    } else {
      for (std::uint32_t i = 0; i < size / 512; ++i) {
        const Bytes sector = sectorToRead(static_cast<int>(i));
        reply.insert(reply.end(), sector.begin(), sector.end());
      }
      fail = dataFails;
      cut = dataShort;
    }
    if (fail) return false;
    const std::uint32_t n = cut ? size / 2 : size;
    std::memcpy(buf, reply.data(), std::min<std::size_t>(n, reply.size()));
    *done = n;
    return true;
  }

  bool Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) override {
    calls.push_back((pipe == kOut ? "write " : "write on a wrong handle ") + std::to_string(size));
    const auto* p = static_cast<const std::uint8_t*>(buf);
    if (size == 31) {
      commandSent = Clock::now();
      commandBlocks.emplace_back(p, p + size);
      if (commandWriteFails) return false;
      *done = commandWriteShort ? 16 : size;
      return true;
    }
    dataWritten.emplace_back(p, p + size);
    if (dataFails) return false;
    *done = dataShort ? size / 2 : size;
    return true;
  }

  void Close(BulkHandle h) override {
    calls.push_back(h == kDev ? "close dev" : h == kIn ? "close read" : h == kOut ? "close write" : "close ?");
  }

  // The calls after the three opens and before the closes.
  std::vector<std::string> Conversation() const {
    std::vector<std::string> v;
    for (const auto& c : calls)
      if (c.rfind("open", 0) != 0 && c.rfind("close", 0) != 0) v.push_back(c);
    return v;
  }
  std::vector<std::string> Closes() const {
    std::vector<std::string> v;
    for (const auto& c : calls)
      if (c.rfind("close", 0) == 0) v.push_back(c);
    std::sort(v.begin(), v.end());
    return v;
  }
};

const std::vector<std::string> kAllClosed = {"close dev", "close read", "close write"};


class engine_protocol : public EngineTest {
 protected:
  // A fresh driver for the next command; the old one keeps its records.
  ScriptedDriver& Use() {
    drivers_.push_back(std::make_unique<ScriptedDriver>());
    bulkusb::InstallInProcessBackend(drivers_.back().get());
    return *drivers_.back();
  }
  std::vector<std::unique_ptr<ScriptedDriver>> drivers_;
};

Bytes Block(std::initializer_list<int> from8) {
  Bytes b = {0x55, 0x53, 0x42, 0x43, 0x30, 0x00, 0x00, 0x00};
  for (int v : from8) b.push_back(static_cast<std::uint8_t>(v));
  b.resize(31, 0x00);
  return b;
}

TEST_F(engine_protocol, EachCommandSendsItsCommandBlock) {
  ScriptedDriver& read = Use();
  EXPECT_EQ(ReadSectorsRaw(32, 1), 0);
  ASSERT_EQ(read.commandBlocks.size(), 1u);
  EXPECT_EQ(read.commandBlocks[0],
            Block({0x00, 0x00, 0x02, 0x00, 0x80, 0x00, 0x0A, 0xFF, 0x52, 0x00, 0x00, 0x00, 0x20, 0x00, 0x01}));

  ScriptedDriver& write = Use();
  EXPECT_EQ(WriteSectorsRaw(0x01234567, 3), 0);
  ASSERT_EQ(write.commandBlocks.size(), 1u);
  EXPECT_EQ(write.commandBlocks[0],
            Block({0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x0A, 0xFF, 0x51, 0x01, 0x23, 0x45, 0x67, 0x00, 0x03}));

  ScriptedDriver& status = Use();
  EXPECT_EQ(QueryDeviceStatus(), 0);
  ASSERT_EQ(status.commandBlocks.size(), 1u);
  EXPECT_EQ(status.commandBlocks[0], Block({0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x0A, 0xFF, 0x00}));

  ScriptedDriver& identify = Use();
  EXPECT_EQ(IdentifyCard(), 0);
  ASSERT_EQ(identify.commandBlocks.size(), 1u);
  EXPECT_EQ(identify.commandBlocks[0],
            Block({0x00, 0x00, 0x02, 0x00, 0x80, 0x00, 0x0A, 0xFF, 0x53, 0, 0, 0, 0, 0x00, 0x01}));
}

TEST_F(engine_protocol, CallsFollowTheConversationOrder) {
  std::memset(SectorBuffer, 0xEE, sizeof(SectorBuffer));
  ScriptedDriver& read = Use();
  EXPECT_EQ(ReadSectorsRaw(40, 3), 0);
  ASSERT_GE(read.calls.size(), 3u);
  EXPECT_EQ((std::vector<std::string>(read.calls.begin(), read.calls.begin() + 3)),
            (std::vector<std::string>{"open_dev", "open_read", "open_write"}));
  // The data phase is one call of all three sectors.
  EXPECT_EQ(read.Conversation(), (std::vector<std::string>{"write 31", "read 2", "read 1536", "read 13"}));
  EXPECT_EQ(read.Closes(), kAllClosed);
  EXPECT_GE(read.statusAsked - read.commandSent, std::chrono::milliseconds(10));
  // Sector i lands at offset i * 512; the rest of the buffer is untouched.
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Bytes(SectorBuffer + i * 512, SectorBuffer + (i + 1) * 512), Pattern(100 + i));
  EXPECT_EQ(SectorBuffer[3 * 512], 0xEE);

  for (int i = 0; i < 2 * 512; ++i) SectorBuffer[i] = static_cast<std::uint8_t>(i * 13);
  ScriptedDriver& write = Use();
  EXPECT_EQ(WriteSectorsRaw(7, 2), 0);
  EXPECT_EQ(write.Conversation(), (std::vector<std::string>{"write 31", "read 2", "write 1024", "read 13"}));
  ASSERT_EQ(write.dataWritten.size(), 1u);
  EXPECT_EQ(write.dataWritten[0], Bytes(SectorBuffer, SectorBuffer + 2 * 512));
  EXPECT_EQ(write.Closes(), kAllClosed);

  // No data phase: the status and the completion only.
  for (auto command : {+[] { return ReadSectorsRaw(5, 0); }, +[] { return QueryDeviceStatus(); }}) {
    ScriptedDriver& d = Use();
    EXPECT_EQ(command(), 0);
    EXPECT_EQ(d.Conversation(), (std::vector<std::string>{"write 31", "read 2", "read 13"}));
    ASSERT_EQ(d.commandBlocks.size(), 1u);
    EXPECT_EQ(Bytes(d.commandBlocks[0].begin() + 8, d.commandBlocks[0].begin() + 12), Bytes(4, 0));
  }
}

TEST_F(engine_protocol, HandlesThatCannotBeOpenedSendNothing) {
  for (int missing = 0; missing < 3; ++missing) {
    SCOPED_TRACE("handle " + std::to_string(missing) + " missing");
    ScriptedDriver& raw = Use();
    raw.openFails[missing] = true;
    EXPECT_EQ(ReadSectorsRaw(32, 1), kRawNoHandles);
    EXPECT_TRUE(raw.Conversation().empty());
    // Exactly the handles that did open are given back.
    std::vector<std::string> opened;
    const char* names[] = {"close dev", "close read", "close write"};
    for (int h = 0; h < 3; ++h)
      if (h != missing) opened.push_back(names[h]);
    EXPECT_EQ(raw.Closes(), opened);

    Use().openFails[missing] = true;
    ReadCardSectors(32, 1);
    EXPECT_EQ(DeviceState, 4);

    DeviceState = kDeviceReady;
    Use().openFails[missing] = true;
    hooks_.deviceStates.clear();
    ProbeDevice();
    EXPECT_EQ(DeviceState, 4);
    EXPECT_EQ(hooks_.deviceStates, std::vector<DeviceStateCode>{kDeviceNotAttached});
  }
  EXPECT_TRUE(hooks_.messages.empty());
}

TEST_F(engine_protocol, TransportFailuresStopTheConversation) {
  // The CommandBlock refused, or taken only in part: nothing is read.
  for (bool shortWrite : {false, true}) {
    ScriptedDriver& d = Use();
    (shortWrite ? d.commandWriteShort : d.commandWriteFails) = true;
    ReadCardSectors(32, 1);
    EXPECT_EQ(DeviceState, 5);
    EXPECT_EQ(LastTransportCause(), TransportCause::kNoAnswer);
    EXPECT_EQ(d.Conversation(), (std::vector<std::string>{"write 31"}));
    EXPECT_EQ(d.Closes(), kAllClosed);
  }

  // The StatusReply cannot be read: no data, no completion.
  ScriptedDriver& status = Use();
  status.statusReadFails = true;
  EXPECT_EQ(ReadSectorsRaw(32, 2), kRawTransportFailure);
  EXPECT_EQ(status.Conversation(), (std::vector<std::string>{"write 31", "read 2"}));
  EXPECT_EQ(status.Closes(), kAllClosed);

  // A failed or short data phase fails the command; the completion is not
  // read.
  for (bool shortData : {false, true}) {
    SCOPED_TRACE(shortData ? "short data phase" : "failed data phase");
    ScriptedDriver& read = Use();
    (shortData ? read.dataShort : read.dataFails) = true;
    EXPECT_EQ(ReadSectorsRaw(60, 3), kRawTransportFailure);
    EXPECT_EQ(read.Conversation(), (std::vector<std::string>{"write 31", "read 2", "read 1536"}));
    EXPECT_EQ(read.Closes(), kAllClosed);

    ScriptedDriver& write = Use();
    (shortData ? write.dataShort : write.dataFails) = true;
    const std::uint64_t writes = CardWritesMade();
    WriteCardSectors(60, 3);
    EXPECT_EQ(DeviceState, 5);
    EXPECT_EQ(LastTransportCause(), TransportCause::kNoAnswer);
    EXPECT_EQ(CardWritesMade(), writes + 1) << "a write cut off in its data may have reached the card";
    EXPECT_EQ(write.Conversation(), (std::vector<std::string>{"write 31", "read 2", "write 1536"}));
    EXPECT_EQ(write.Closes(), kAllClosed);
  }

  EXPECT_TRUE(hooks_.messages.empty());
}

// The player's CompletionBlock is its last word on a command: the only one it
// has on a write it could not store.
TEST_F(engine_protocol, TheCompletionBlockCanFailTheCommand) {
  const Bytes otherSignature = {0x55, 0x53, 0x42, 0x43, 0x30, 0, 0, 0, 0, 0, 0, 0, 0x01};
  struct Case {
    const char* what;
    Bytes completion;
    bool fails, cut;
    std::uint16_t raw;
  };
  const Case cases[] = {
      {"signed, passed", Completion(0), false, false, kRawSuccess},
      {"signed, failed", Completion(1), false, false, kRawTransportFailure},
      {"signed otherwise", otherSignature, false, false, kRawSuccess},
      {"not read", Completion(0), true, false, kRawTransportFailure},
      {"short", Completion(0), false, true, kRawTransportFailure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool write : {false, true}) {
      ScriptedDriver& d = Use();
      d.completion = c.completion;
      d.completionFails = c.fails;
      d.completionShort = c.cut;
      EXPECT_EQ(write ? WriteSectorsRaw(40, 2) : ReadSectorsRaw(40, 2), c.raw);
      EXPECT_EQ(d.Closes(), kAllClosed);
      ScriptedDriver& again = Use();
      again.completion = c.completion;
      again.completionFails = c.fails;
      again.completionShort = c.cut;
      write ? WriteCardSectors(40, 2) : ReadCardSectors(40, 2);
      EXPECT_EQ(DeviceState, c.raw == kRawSuccess ? 0 : 5);
      // A failure the player signed is its word, not its silence.
      EXPECT_EQ(LastTransportCause(), c.fails || c.cut ? TransportCause::kNoAnswer : TransportCause::kNone);
    }
  }
  // A status that already failed the command stays its answer.
  ScriptedDriver& noCard = Use();
  noCard.status = {0x00, 0x80};
  noCard.completion = Completion(1);
  ReadCardSectors(32, 1);
  EXPECT_EQ(DeviceState, 2);
}

// A card attached directly keeps the errno of a failed write, as the cause
// the front ends word; a write that wrote nothing does not count as made.
TEST_F(engine_protocol, ACardAttachedDirectlyTellsWhyAWriteFailed) {
  const std::string image = dir_ / "direct.img";
  ASSERT_TRUE(MakeBlankImage(image, 2048));
  struct Case {
    const char* what;
    bool readOnlyOpen;
    rlim_t sizeLimit;  // RLIM_INFINITY: none
    TransportCause cause;
    int error;
  };
  const Case cases[] = {
      {"written", false, RLIM_INFINITY, TransportCause::kNone, 0},
      {"opened for reading only", true, RLIM_INFINITY, TransportCause::kWriteProtected, EBADF},
      {"its disk full", false, 100 * 512, TransportCause::kDiskFull, EFBIG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    ASSERT_TRUE(AttachCardImage(image, &error)) << error;
    // A card reader that is write-protected can only be opened for reading.
    if (c.readOnlyOpen) {
      const int readOnly = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(::dup3(readOnly, card_source::Fd(), O_CLOEXEC), 0);
      ::close(readOnly);
    }
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = c.sizeLimit;
    auto* const oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limited);
    const std::uint64_t writes = CardWritesMade();
    WriteCardSectors(200, 2);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(DeviceState, c.cause == TransportCause::kNone ? 0 : 5);
    EXPECT_EQ(LastTransportCause(), c.cause);
    EXPECT_EQ(LastTransportErrno(), c.error);
    EXPECT_EQ(CardWritesMade(), writes + (c.cause == TransportCause::kNone ? 1 : 0));
    // The next command starts afresh.
    ReadCardSectors(0, 1);
    EXPECT_EQ(LastTransportCause(), TransportCause::kNone);
    DetachCardImage();
  }
}

TEST_F(engine_protocol, StatusRepliesSetTheDeviceStateFromTheSecondByte) {
  struct Case {
    Bytes reply;
    int state;
  };
  const Case cases[] = {{{0x00, 0x80}, 2}, {{0x00, 0x01}, 1}, {{0x00, 0x02}, 3},
                        {{0x00, 0x03}, 4}, {{0x00, 0x7F}, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE("status " + std::to_string(c.reply[1]));
    hooks_.messages.clear();
    ScriptedDriver& raw = Use();
    raw.status = c.reply;
    EXPECT_EQ(ReadSectorsRaw(32, 4), c.reply[1]);
    // No data phase, but the completion is still read.
    EXPECT_EQ(raw.Conversation(), (std::vector<std::string>{"write 31", "read 2", "read 13"}));

    for (bool write : {false, true}) {
      Use().status = c.reply;
      DeviceState = kDeviceReady;
      write ? WriteCardSectors(32, 4) : ReadCardSectors(32, 4);
      EXPECT_EQ(DeviceState, c.state);
    }
    if (c.state == 1) {
      // Once per failing command: the read and the write.
      EXPECT_EQ(hooks_.messages, (std::vector<std::string>(2, " The Device is Busy\r\nPlease Reconnect the device.")));
    } else {
      EXPECT_TRUE(hooks_.messages.empty());
    }
  }

  // A first byte that holds the data back is a failure even with a zero
  // second byte, and so is a second byte the link does not know.
  for (const Bytes& reply : {Bytes{0x01, 0x00}, Bytes{0x00, 0x10}}) {
    ScriptedDriver& d = Use();
    d.status = reply;
    ReadCardSectors(32, 1);
    EXPECT_NE(DeviceState, 0) << int{reply[0]} << " " << int{reply[1]};
    EXPECT_EQ(d.Conversation(), (std::vector<std::string>{"write 31", "read 2", "read 13"}));
  }
}

TEST_F(engine_protocol, MoreThan128SectorsAreRefusedBeforeAnyPipeCall) {
  ScriptedDriver& d = Use();
  EXPECT_EQ(ReadSectorsRaw(0, 129), kRawTransportFailure);
  WriteCardSectors(0, 200);
  EXPECT_EQ(DeviceState, 5);
  EXPECT_TRUE(d.calls.empty());

  EXPECT_EQ(ReadSectorsRaw(0, 128), 0);
  EXPECT_EQ(d.Conversation(), (std::vector<std::string>{"write 31", "read 2", "read 65536", "read 13"}));
}

TEST_F(engine_protocol, ProbeDeviceTellsTheWindow) {
  struct Case {
    Bytes reply;
    DeviceStateCode before, after;
  };
  const Case cases[] = {
      {{0x00, 0x00}, kDeviceNotReady, kDeviceReady},
      {{0x00, 0x01}, kDeviceReady, kDeviceBusy},
      {{0x00, 0x80}, kDeviceReady, kDeviceNoCard},
      {{0x00, 0x02}, kDeviceReady, kDeviceRecheck},
      {{0x00, 0x10}, kDeviceRecheck, kDeviceRecheck},  // an answer the link does not know keeps the state
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("status " + std::to_string(c.reply[1]));
    hooks_.deviceStates.clear();
    hooks_.cursor.clear();
    Use().status = c.reply;
    DeviceState = c.before;
    ProbeDevice();
    EXPECT_EQ(DeviceState, c.after);
    EXPECT_EQ(hooks_.deviceStates, std::vector<DeviceStateCode>{c.after});
    EXPECT_EQ(hooks_.cursor, (std::vector<bool>{true, false}));
  }
  // The busy message belongs to the sector commands, not to the probe.
  EXPECT_TRUE(hooks_.messages.empty());
}

TEST_F(engine_protocol, FormatWritesNothingWithoutACardIdentity) {
  // An identify reply that is not a card's.
  ScriptedDriver& foreign = Use();
  foreign.sectorToRead = [](int) {
    Bytes info(512, 0);
    info[0] = 0x84;
    info[1] = 0x8B;
    info[15] = 0x03;  // a card of 250,000 sectors otherwise
    info[16] = 0xD0;
    info[17] = 0x90;
    return info;
  };
  EXPECT_EQ(FormatCard(), kFormatNotIdentified);
  EXPECT_EQ(DeviceState, 0);
  ASSERT_EQ(foreign.commandBlocks.size(), 1u);
  EXPECT_EQ(foreign.commandBlocks[0][16], kCmdIdentify);

  // A player without a card.
  ScriptedDriver& empty = Use();
  empty.status = {0x00, 0x80};
  EXPECT_EQ(FormatCard(), kFormatDeviceFailed);
  EXPECT_EQ(DeviceState, 2);
  EXPECT_EQ(empty.commandBlocks.size(), 1u);
}

// A player on the virtual player's socket, run by a thread of the test: the
// player core behind a SOCK_SEQPACKET listener, as the daemon serves it. It
// notes the size of every message the host sends, and can send the data of
// the next read cut short and hang up, as a player unplugged half-way would.
class SocketPlayer {
 public:
  SocketPlayer(const std::string& socketPath, const std::string& imagePath) {
    std::string error;
    imageFd_ = player::OpenCardImage(imagePath, 1, &error);
    core_ = std::make_unique<player::PlayerCore>(imageFd_);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", socketPath.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && ::listen(listener_, 4) == 0)
      thread_ = std::thread([this] { Serve(); });
  }
  ~SocketPlayer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
    ::close(imageFd_);
  }
  bool ok() const { return thread_.joinable(); }
  std::vector<std::size_t> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
  }
  void CutNextReadData() { cutNextRead_ = true; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Converse(fd);
      ::close(fd);
    }
  }
  void Converse(int fd) {
    core_->BeginCommand();
    std::vector<std::uint8_t> buf(128 * 512 + 1);
    for (;;) {
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) return;
      {
        std::lock_guard lock(mutex_);
        received_.push_back(static_cast<std::size_t>(n));
      }
      std::vector<std::vector<std::uint8_t>> replies;
      if (core_->OnHostMessage(buf.data(), static_cast<std::size_t>(n), replies) == player::Step::kDrop) return;
      for (const auto& r : replies) {
        if (r.size() > 512 && cutNextRead_.exchange(false)) {
          ::send(fd, r.data(), 16384, MSG_NOSIGNAL);
          return;
        }
        ::send(fd, r.data(), r.size(), MSG_NOSIGNAL);
      }
    }
  }

  int imageFd_ = -1;
  int listener_ = -1;
  std::unique_ptr<player::PlayerCore> core_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cutNextRead_{false};
  std::mutex mutex_;
  std::vector<std::size_t> received_;
};

TEST_F(engine_protocol, SocketCarriesTheDataPhaseAsOneMessage) {
  TempDir dir;
  ::setenv("ZK27_PLAYERS_FILE", (dir / "no-players").c_str(), 1);  // no player on USB
  ::setenv("ZK27_PLAYER_SOCKET", (dir / "player.sock").c_str(), 1);
  bulkusb::InstallInProcessBackend(nullptr);
  SocketPlayer player(dir / "player.sock", dir / "card.img");
  ASSERT_TRUE(player.ok());

  const Bytes cluster = Content(128 * 512, 5);
  StoreToSectorBuffer(cluster.data(), 128);
  ASSERT_EQ(WriteSectorsRaw(256, 128), 0);
  EXPECT_EQ(player.Received(), (std::vector<std::size_t>{31, 128 * 512}));  // block, then the data whole
  std::memset(SectorBuffer, 0, cluster.size());
  player.ClearReceived();
  ASSERT_EQ(ReadSectorsRaw(256, 128), 0);
  EXPECT_EQ(player.Received(), (std::vector<std::size_t>{31}));
  EXPECT_EQ(Bytes(SectorBuffer, SectorBuffer + cluster.size()), cluster);

  // The data cut short and the player gone: the command fails, the next works.
  player.CutNextReadData();
  EXPECT_EQ(ReadSectorsRaw(256, 128), kRawTransportFailure);
  std::memset(SectorBuffer, 0, cluster.size());
  ASSERT_EQ(ReadSectorsRaw(256, 128), 0);
  EXPECT_EQ(Bytes(SectorBuffer, SectorBuffer + cluster.size()), cluster);
  ::unsetenv("ZK27_PLAYER_SOCKET");
  ::unsetenv("ZK27_PLAYERS_FILE");
}

}  // namespace
