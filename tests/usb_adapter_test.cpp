// The libusb backend against an emulated player on an emulated bus.
//
// umockdev builds a sysfs and /dev of its own (the test must run with its
// preload library, which CTest arranges) with three devices: a player with a
// bulk IN/OUT pair, another bulk device and a device with no bulk pipes. The
// player's device node answers the usbfs ioctls that libusb sends through
// UsbPlayerNode below, which puts the real virtual player core behind the two
// bulk endpoints and can stall, shorten, withhold or drop a transfer.
#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <optional>
#include <random>
#include <sys/file.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>
#include <vector>

#include "bulkusb.h"
#include "card_image.h"
#include "player_core.h"
#include "usb_backend.h"
#include "usb_devices.h"
#include "support/files.h"
#include "usbfunc.h"

namespace {

using namespace zk27_test;

constexpr const char* kPlayerNode = "/dev/bus/usb/001/002";
constexpr std::uint8_t kIn = 0x81;
constexpr std::uint8_t kOut = 0x02;

// A device on bus 1 as umockdev's text describes it: sysfs attributes, the
// device node, and the descriptors as the kernel shows them in sysfs (the
// device descriptor, then the configuration with its interfaces and
// endpoints).
std::string UsbDevice(int address, const std::string& descriptors, const std::string& names = "") {
  const std::string n = std::to_string(address);
  char node[16];
  std::snprintf(node, sizeof(node), "001/%03d", address);
  return "P: /devices/usb1/1-" + n + "\nN: bus/usb/" + node +
         "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=" +
         std::string(node + 4) + "\nE: DEVNAME=/dev/bus/usb/" + node + "\nA: busnum=1\\n\nA: devnum=" + n +
         "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n" + names + "H: descriptors=" + descriptors + "\n";
}

// f0ff:2700, address 2: interface 0 of vendor class, bulk IN 0x81 and bulk
// OUT 0x02 of 512 bytes.
const std::string kPlayerDevice = UsbDevice(2,
    "1201000200000040fff000270001010200010902200001010080320904000002ff"
    "ffff000705810200020007050202000200",
    "A: manufacturer=Test Works\\n\nA: product=Card Player\\n\n");
// f0ff:0099, address 3: interface 0 has an interrupt endpoint only,
// interface 1 a bulk pair (0x83 IN, 0x04 OUT).
const std::string kOtherBulkDevice = UsbDevice(3,
    "1201000200000040fff099000001000000010902300002010080320904000001"
    "030000000705850308000a0904010002ffffff000705830200020007050402000200");
// f0ff:0042, address 4: one interrupt IN endpoint, nothing else.
const std::string kNoBulkDevice = UsbDevice(4,
    "1201000200000008fff042000001000000010902190001010080320904000001"
    "030000000705810308000a");

// The player's device node: the usbfs ioctls of one emulated device. Runs on
// umockdev's worker thread; the test thread arms faults and reads the log
// under the same lock.
class UsbPlayerNode {
 public:
  explicit UsbPlayerNode(int imageFd) : core_(imageFd) {}

  // The n-th counts the IN URBs from now; libusb may cut one transfer into
  // several URBs.
  struct Faults {
    int stallIn = 0;        // the n-th IN URB stalls, and the pipe stays halted until cleared
    int stallOut = 0;       // the n-th OUT URB stalls, the player takes none of its bytes
    int shortIn = 0;        // the n-th IN URB brings 100 bytes only
    int unplugAtIn = 0;     // the player vanishes while the n-th IN URB waits
    bool silent = false;    // IN URBs are never answered
  };

  void Arm(const Faults& f) {
    std::lock_guard lock(mutex_);
    faults_ = f;
    inCount_ = 0;
    outCount_ = 0;
  }
  // What the host controller can do, as the kernel tells libusb when it opens
  // the device: whether one transfer goes down as one URB (scatter-gather) or
  // in URBs of 16 KiB chained as one transfer (bulk continuation).
  static constexpr guint32 kContinuationCaps =
      USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
  static constexpr guint32 kScatterGatherCaps =
      USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
  void SetCaps(guint32 caps) {
    std::lock_guard lock(mutex_);
    caps_ = caps;
  }
  // A kernel driver takes the interface, as one does when the player is
  // plugged in.
  void BindKernelDriver() {
    std::lock_guard lock(mutex_);
    kernelDriverBound_ = true;
  }
  void Replug() {
    std::lock_guard lock(mutex_);
    unplugged_ = false;
  }
  player::PlayerCore& core() { return core_; }
  std::mutex& mutex() { return mutex_; }

  // What the host did, in order: "claim 0", "release 0", "detach 0",
  // "clear-halt 81", and one entry per URB: "out 31", "in 2", "in 16384+"
  // (a URB that continues the transfer before it), ...
  std::vector<std::string> Log() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  void ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
  }
  std::size_t PendingUrbs() {
    std::lock_guard lock(mutex_);
    return waitingIn_.size() + done_.size();
  }

  // The signal handler of umockdev's ioctl emulation.
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbPlayerNode*>(self)->Handle(client) ? TRUE : FALSE;
  }

 private:
  struct Urb {
    UMockdevIoctlData* data;  // the client's usbdevfs_urb, its buffer resolved
    int status = 0;
    int actual = 0;
  };

  static usbdevfs_urb* UrbOf(UMockdevIoctlData* d) { return reinterpret_cast<usbdevfs_urb*>(d->data); }

  bool Handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (unplugged_ && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return true;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) = caps_;
        g_object_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
      }
      case USBDEVFS_GETDRIVER: {
        // A kernel driver holds the interface until the host detaches it.
        auto* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
        auto* gd = reinterpret_cast<usbdevfs_getdriver*>(d->data);
        if (kernelDriverBound_) {
          std::snprintf(gd->driver, sizeof(gd->driver), "%s", "vendor-storage");
          umockdev_ioctl_client_complete(client, 0, 0);
        } else {
          umockdev_ioctl_client_complete(client, -1, ENODATA);
        }
        g_object_unref(d);
        return true;
      }
      case USBDEVFS_IOCTL: {
        auto* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
        const auto* io = reinterpret_cast<usbdevfs_ioctl*>(d->data);
        if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
          log_.push_back("detach " + std::to_string(io->ifno));
          kernelDriverBound_ = false;
          umockdev_ioctl_client_complete(client, 0, 0);
        } else {
          umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
        g_object_unref(d);
        return true;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        auto* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        const unsigned ifno = *reinterpret_cast<unsigned*>(d->data);
        g_object_unref(d);
        const bool claim = request == USBDEVFS_CLAIMINTERFACE;
        if (claim && kernelDriverBound_) {
          log_.push_back("claim refused " + std::to_string(ifno));
          umockdev_ioctl_client_complete(client, -1, EBUSY);
          return true;
        }
        log_.push_back((claim ? "claim " : "release ") + std::to_string(ifno));
        // Each command claims the interface anew: a new conversation.
        if (claim) {
          core_.BeginCommand();
          replies_.clear();
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
      }
      case USBDEVFS_CLEAR_HALT: {
        auto* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        char text[24];
        const unsigned endpoint = *reinterpret_cast<unsigned*>(d->data);
        std::snprintf(text, sizeof(text), "clear-halt %02x", endpoint);
        g_object_unref(d);
        if (endpoint == kIn) haltedIn_ = false;
        if (endpoint == kOut) haltedOut_ = false;
        log_.push_back(text);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
      }
      case USBDEVFS_SUBMITURB: return Submit(client, arg);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: return Reap(client, arg);
      case USBDEVFS_DISCARDURB: {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        for (auto it = waitingIn_.begin(); it != waitingIn_.end(); ++it) {
          if ((*it).data->client_addr != address) continue;
          Urb urb = *it;
          waitingIn_.erase(it);
          urb.status = -ENOENT;
          done_.push_back(urb);
          umockdev_ioctl_client_complete(client, 0, 0);
          return true;
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
      }
      default:
        std::fprintf(stderr, "emulated player: unhandled ioctl 0x%lx\n", request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
  }

  bool Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb* urb = UrbOf(data);
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
    g_object_unref(buffer);  // kept alive by `data`, which syncs it back
    if (urb->type != USBDEVFS_URB_TYPE_BULK || (urb->endpoint != kIn && urb->endpoint != kOut)) {
      g_object_unref(data);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return true;
    }
    Urb u{data};
    log_.push_back(std::string(urb->endpoint == kOut ? "out " : "in ") + std::to_string(urb->buffer_length) +
                   (urb->flags & USBDEVFS_URB_BULK_CONTINUATION ? "+" : ""));
    if (urb->endpoint == kOut && (++outCount_ == faults_.stallOut || haltedOut_)) {
      u.status = -EPIPE;
      done_.push_back(u);
      haltedOut_ = true;
    } else if (urb->endpoint == kOut) {
      std::vector<std::vector<std::uint8_t>> replies;
      core_.OnHostMessage(static_cast<const std::uint8_t*>(urb->buffer),
                          static_cast<std::size_t>(urb->buffer_length), replies);
      for (auto& r : replies) replies_.push_back(std::move(r));
      u.actual = urb->buffer_length;
      done_.push_back(u);
    } else {
      ++inCount_;
      if (inCount_ == faults_.stallIn || haltedIn_) {
        u.status = -EPIPE;
        done_.push_back(u);
        haltedIn_ = true;
      } else if (inCount_ == faults_.unplugAtIn) {
        // The cable is pulled while this transfer waits: it ends with the
        // device, and so does everything after it.
        u.status = -ESHUTDOWN;
        done_.push_back(u);
        unplugged_ = true;
      } else {
        waitingIn_.push_back(u);
      }
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    AnswerWaitingIn();
    return true;
  }

  // Hands the player's next message to the oldest waiting IN URB, as the
  // packets of a bulk pipe would: a URB of whole packets that the message
  // overfills takes what fits and leaves the rest to the next URB; a message
  // that ends inside a URB ends it short; a packet larger than the URB's room
  // is an overflow.
  void AnswerWaitingIn() {
    while (!faults_.silent && !waitingIn_.empty() && !replies_.empty()) {
      Urb u = waitingIn_.front();
      waitingIn_.pop_front();
      usbdevfs_urb* urb = UrbOf(u.data);
      const auto room = static_cast<std::size_t>(urb->buffer_length);
      Bytes& reply = replies_.front();
      std::size_t n = std::min(reply.size(), room);
      const bool rest = reply.size() > room;
      if (rest && room % kMaxPacket != 0) u.status = -EOVERFLOW;
      if (inCount_ == faults_.shortIn && n > 100) n = 100;
      std::memcpy(urb->buffer, reply.data(), n);
      u.actual = static_cast<int>(n);
      if (rest && u.status == 0)
        reply.erase(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(room));
      else
        replies_.pop_front();
      done_.push_back(u);
    }
  }

  bool Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (done_.empty()) {
      umockdev_ioctl_client_complete(client, -1, unplugged_ ? ENODEV : EAGAIN);
      return true;
    }
    Urb u = done_.front();
    done_.pop_front();
    usbdevfs_urb* urb = UrbOf(u.data);
    urb->status = u.status;
    urb->actual_length = u.actual;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, u.data);
    g_object_unref(slot);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(u.data);
    return true;
  }

  static constexpr std::size_t kMaxPacket = 512;  // of both bulk endpoints

  std::mutex mutex_;
  player::PlayerCore core_;
  Faults faults_;
  guint32 caps_ = kContinuationCaps;
  int inCount_ = 0;
  int outCount_ = 0;
  bool haltedIn_ = false;
  bool haltedOut_ = false;
  bool unplugged_ = false;
  bool kernelDriverBound_ = true;
  std::deque<Bytes> replies_;    // the player's messages not yet fetched
  std::deque<Urb> waitingIn_;    // IN transfers the player has not answered
  std::deque<Urb> done_;         // transfers ready to be reaped, in order
  std::vector<std::string> log_;
};

// The emulated bus, built once per process: libusb keeps one context for the
// process, and it must find this bus from its first look on.
class EmulatedBus {
 public:
  static EmulatedBus* Get() {
    static const std::unique_ptr<EmulatedBus> bus(Preloaded() ? new EmulatedBus : nullptr);
    return bus.get();
  }
  // umockdev's own check looks for a testbed, which is made only after it.
  static bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
  }
  ~EmulatedBus() {
    g_clear_object(&handler_);
    g_clear_object(&testbed_);
    node_.reset();
    if (imageFd_ >= 0) ::close(imageFd_);
  }
  UsbPlayerNode& player() { return *node_; }
  const std::string& image() const { return image_; }
  const std::string& dir() const { return dir_.path(); }

 private:
  EmulatedBus() {
    image_ = dir_ / "card.img";
    std::string error;
    imageFd_ = player::OpenCardImage(image_, 4, &error);
    node_ = std::make_unique<UsbPlayerNode>(imageFd_);
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(UsbPlayerNode::OnIoctl), node_.get());
    umockdev_testbed_attach_ioctl(testbed_, kPlayerNode, handler_, nullptr);
    umockdev_testbed_add_from_string(testbed_, kPlayerDevice.c_str(), nullptr);
    umockdev_testbed_add_from_string(testbed_, kOtherBulkDevice.c_str(), nullptr);
    umockdev_testbed_add_from_string(testbed_, kNoBulkDevice.c_str(), nullptr);
    std::ofstream(dir_ / "players") << "# the emulated player\nF0FF:2700\n";
    ::setenv("ZK27_PLAYERS_FILE", (dir_ / "players").c_str(), 1);
    ::setenv("ZK27_PLAYER_SOCKET", (dir_ / "no-player.sock").c_str(), 1);
  }

  TempDir dir_;
  std::string image_;
  int imageFd_ = -1;
  std::unique_ptr<UsbPlayerNode> node_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
};

class usb_adapter : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = EmulatedBus::Get();
    if (!bus_) GTEST_SKIP() << "not running under umockdev's preload library";
    bus_->player().Arm({});
    bus_->player().Replug();
    bus_->player().ClearLog();
    bulkusb::SetUsbPipeTimeout(std::chrono::seconds(bulkusb::kPipeTimeoutSeconds));
  }
  void TearDown() override {
    if (bus_) ::setenv("ZK27_PLAYERS_FILE", (bus_->dir() + "/players").c_str(), 1);
  }

  Bytes ImageBytes(std::uint32_t lba, std::uint32_t count) {
    Bytes b = ReadAt(bus_->image(), std::uint64_t{lba} * 512, std::size_t{count} * 512);
    EXPECT_EQ(b.size(), std::size_t{count} * 512);
    return b;
  }
  void PutImageBytes(std::uint32_t lba, const Bytes& b) {
    EXPECT_TRUE(WriteAt(bus_->image(), std::uint64_t{lba} * 512, b));
  }
  static Bytes SectorBufferBytes(std::size_t size) { return Bytes(SectorBuffer, SectorBuffer + size); }

  EmulatedBus* bus_ = nullptr;
};

using Clock = std::chrono::steady_clock;

TEST_F(usb_adapter, StatusCommandReachesThePlayerAndLeavesNothingClaimed) {
  bus_->player().BindKernelDriver();
  const auto served = bus_->player().core().CommandsServed();
  EXPECT_EQ(QueryDeviceStatus(), 0);
  {
    std::lock_guard lock(bus_->player().mutex());
    bus_->player().core().SetBusy(true);
  }
  EXPECT_EQ(QueryDeviceStatus(), 0x0001);  // the player's own status bytes
  {
    std::lock_guard lock(bus_->player().mutex());
    bus_->player().core().SetBusy(false);
  }
  EXPECT_EQ(bus_->player().core().CommandsServed(), served + 2);
  // Every command claims and releases the interface; the kernel's driver was
  // detached before the first claim and is not bound again.
  const auto log = bus_->player().Log();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[0], "detach 0");
  EXPECT_EQ(log[1], "claim 0");
  EXPECT_EQ(std::count(log.begin(), log.end(), "detach 0"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "claim 0"), 2);
  EXPECT_EQ(std::count(log.begin(), log.end(), "release 0"), 2);
  EXPECT_EQ(log.back(), "release 0");
  EXPECT_EQ(bus_->player().PendingUrbs(), 0u);
}

TEST_F(usb_adapter, OneSectorWriteAndReadMoveTheCardsBytes) {
  const Bytes sector = Content(512, 7);
  StoreToSectorBuffer(sector.data(), 1);
  ASSERT_EQ(WriteSectorsRaw(40, 1), 0);
  EXPECT_EQ(ImageBytes(40, 1), sector);

  std::memset(SectorBuffer, 0, 512);
  ASSERT_EQ(ReadSectorsRaw(40, 1), 0);
  EXPECT_EQ(SectorBufferBytes(512), sector);
}

TEST_F(usb_adapter, ReadOf128SectorsFillsTheWholeBuffer) {
  const Bytes cluster = Content(128 * 512, 11);
  PutImageBytes(256, cluster);
  std::memset(SectorBuffer, 0, cluster.size());
  ASSERT_EQ(ReadSectorsRaw(256, 128), 0);
  EXPECT_EQ(SectorBufferBytes(cluster.size()), cluster);
}

// The URBs between the command block and the completion of the last command.
std::vector<std::string> DataUrbs(const std::vector<std::string>& log) {
  std::vector<std::string> urbs;
  for (const auto& e : log)
    if (e.rfind("in ", 0) == 0 || e.rfind("out ", 0) == 0) urbs.push_back(e);
  if (urbs.size() < 3) return {};
  return std::vector<std::string>(urbs.begin() + 2, urbs.end() - 1);  // less block, status, completion
}

TEST_F(usb_adapter, DataPhaseIsOneBulkTransfer) {
  struct Mode {
    const char* name;
    guint32 caps;
    std::vector<std::string> writeUrbs, readUrbs;
  };
  const Mode modes[] = {
      // The whole transfer in one URB.
      {"scatter-gather", UsbPlayerNode::kScatterGatherCaps, {"out 65536"}, {"in 65536"}},
      // One transfer that libusb hands the kernel in chained URBs.
      {"bulk continuation", UsbPlayerNode::kContinuationCaps,
       {"out 16384", "out 16384+", "out 16384+", "out 16384+"},
       {"in 16384", "in 16384+", "in 16384+", "in 16384+"}},
  };
  for (const Mode& m : modes) {
    SCOPED_TRACE(m.name);
    bus_->player().SetCaps(m.caps);
    const Bytes cluster = Content(128 * 512, m.caps & USBDEVFS_CAP_BULK_SCATTER_GATHER ? 21 : 22);
    StoreToSectorBuffer(cluster.data(), 128);
    bus_->player().ClearLog();
    ASSERT_EQ(WriteSectorsRaw(512, 128), 0);
    EXPECT_EQ(DataUrbs(bus_->player().Log()), m.writeUrbs);
    EXPECT_EQ(ImageBytes(512, 128), cluster);

    std::memset(SectorBuffer, 0, cluster.size());
    bus_->player().ClearLog();
    ASSERT_EQ(ReadSectorsRaw(512, 128), 0);
    EXPECT_EQ(DataUrbs(bus_->player().Log()), m.readUrbs);
    EXPECT_EQ(SectorBufferBytes(cluster.size()), cluster);
  }
  bus_->player().SetCaps(UsbPlayerNode::kContinuationCaps);
  EXPECT_EQ(bus_->player().PendingUrbs(), 0u);
}

TEST_F(usb_adapter, StallInsideTheDataPhaseFailsTheCommandAndTheNextWorks) {
  const Bytes before = Content(128 * 512, 31);
  PutImageBytes(1024, before);
  for (guint32 caps : {UsbPlayerNode::kContinuationCaps, UsbPlayerNode::kScatterGatherCaps}) {
    SCOPED_TRACE(caps);
    bus_->player().SetCaps(caps);
    const bool split = caps == UsbPlayerNode::kContinuationCaps;
    // A read: IN URB 1 is the status, the data follows.
    bus_->player().Arm({.stallIn = split ? 3 : 2});
    bus_->player().ClearLog();
    EXPECT_EQ(ReadSectorsRaw(1024, 128), 0xFF7F);
    auto log = bus_->player().Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "clear-halt 81"), log.end());

    // A write: OUT URB 1 is the command block. The player never has the
    // whole data, so nothing of it reaches the card.
    bus_->player().Arm({.stallOut = split ? 3 : 2});
    const Bytes lost = Content(128 * 512, 32);
    StoreToSectorBuffer(lost.data(), 128);
    bus_->player().ClearLog();
    EXPECT_EQ(WriteSectorsRaw(1024, 128), 0xFF7F);
    log = bus_->player().Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "clear-halt 02"), log.end());
    EXPECT_EQ(ImageBytes(1024, 128), before);

    bus_->player().Arm({});
    std::memset(SectorBuffer, 0, before.size());
    ASSERT_EQ(ReadSectorsRaw(1024, 128), 0);
    EXPECT_EQ(SectorBufferBytes(before.size()), before);
    EXPECT_EQ(bus_->player().PendingUrbs(), 0u);
  }
  bus_->player().SetCaps(UsbPlayerNode::kContinuationCaps);
}

TEST_F(usb_adapter, StalledPipeFailsTheCommandAndIsClearedForTheNext) {
  // IN transfers of a 1-sector read: status reply, the sector, completion.
  bus_->player().Arm({.stallIn = 2});
  EXPECT_EQ(ReadSectorsRaw(0, 1), 0xFF7F);
  const auto log = bus_->player().Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "clear-halt 81"), log.end());
  bus_->player().Arm({});
  EXPECT_EQ(QueryDeviceStatus(), 0);
}

TEST_F(usb_adapter, ShortTransferIsAFailedCall) {
  bus_->player().Arm({.shortIn = 2});
  std::uint8_t block[31] = {0x55, 0x53, 0x42, 0x43, 0x30};
  block[10] = 0x02;  // 512 bytes, big-endian from offset 8
  block[12] = 0x80;
  block[14] = 10;
  block[15] = 0xFF;
  block[16] = 0x52;  // read one sector at LBA 0
  block[22] = 1;
  const BulkHandle dev = open_dev();
  const BulkHandle in = open_read();
  const BulkHandle out = open_write();
  ASSERT_NE(dev, kInvalidBulkHandle);
  ASSERT_NE(in, kInvalidBulkHandle);
  ASSERT_NE(out, kInvalidBulkHandle);
  std::uint32_t done = 0;
  EXPECT_TRUE(pipe_write(out, block, sizeof(block), &done));
  EXPECT_EQ(done, 31u);
  std::uint8_t status[2] = {0xEE, 0xEE};
  EXPECT_TRUE(pipe_read(in, status, 2, &done));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(status[0], 0);
  EXPECT_EQ(status[1], 0);
  std::uint8_t piece[512];
  EXPECT_FALSE(pipe_read(in, piece, 512, &done));
  EXPECT_EQ(done, 100u);
  close_handle(out);
  close_handle(in);
  close_handle(dev);
  EXPECT_EQ(bus_->player().Log().back(), "release 0");
}

TEST_F(usb_adapter, UnplugDuringTheDataPhaseFailsAtOnceAndAReplugWorks) {
  // IN URBs of a 128-sector read: the status, then the data in four of 16 KiB;
  // the cable goes during the second of them.
  bus_->player().Arm({.unplugAtIn = 3});
  const auto start = Clock::now();
  EXPECT_EQ(ReadSectorsRaw(0, 128), 0xFF7F);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(QueryDeviceStatus(), 0x0003);  // gone: no handles, and no socket either
  bus_->player().Replug();
  EXPECT_EQ(QueryDeviceStatus(), 0);
}

TEST_F(usb_adapter, SilentPlayerTimesOut) {
  bulkusb::SetUsbPipeTimeout(std::chrono::milliseconds(300));
  bus_->player().Arm({.silent = true});
  const auto start = Clock::now();
  EXPECT_EQ(QueryDeviceStatus(), 0xFF7F);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::seconds(3));
  // The withheld transfer was taken back; the next command starts clean.
  EXPECT_EQ(bus_->player().PendingUrbs(), 0u);
  bus_->player().Arm({});
  EXPECT_EQ(QueryDeviceStatus(), 0);
}

// A player on USB is held through its device node, the one name that every
// user, session and environment reaches it by.
TEST_F(usb_adapter, APlayerOnUsbIsLockedOnItsDeviceNode) {
  EXPECT_EQ(bulkusb::PlayerIdentity(), std::string("usb:") + kPlayerNode);
  ASSERT_EQ(LockCard(CardLock::kExclusive), kLockOk);
  const int other = ::open(kPlayerNode, O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(::flock(other, LOCK_SH | LOCK_NB), 0);
  UnlockCard();
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
}

TEST_F(usb_adapter, UnlistedPlayerIsLeftAloneAndTheSocketIsTried) {
  std::ofstream(bus_->dir() + "/other-players") << "f0ff:7777  # not attached\n";
  ::setenv("ZK27_PLAYERS_FILE", (bus_->dir() + "/other-players").c_str(), 1);
  EXPECT_EQ(QueryDeviceStatus(), 0x0003);  // neither a player on USB nor a socket
  EXPECT_TRUE(bus_->player().Log().empty());
  // The list is read again once it changed.
  std::ofstream(bus_->dir() + "/other-players") << "f0ff:7777\nf0ff:2700\n";
  EXPECT_EQ(QueryDeviceStatus(), 0);
}

TEST_F(usb_adapter, DeviceListShowsBulkDevicesAndWhichAreListed) {
  std::vector<bulkusb::UsbBulkDevice> devices;
  ASSERT_EQ(bulkusb::ListBulkDevices(&devices), bulkusb::UsbScan::kDone);
  ASSERT_EQ(devices.size(), 2u);  // the interrupt-only device is not one
  EXPECT_EQ(bulkusb::FormatUsbId(devices[0].id), "f0ff:2700");
  EXPECT_EQ(devices[0].address, 2);
  EXPECT_TRUE(devices[0].listed);
  EXPECT_EQ(devices[0].bulkIn, kIn);
  EXPECT_EQ(devices[0].bulkOut, kOut);
  EXPECT_EQ(devices[0].product, "Card Player");
  EXPECT_EQ(bulkusb::FormatUsbId(devices[1].id), "f0ff:0099");
  EXPECT_FALSE(devices[1].listed);
  EXPECT_EQ(devices[1].interfaceNumber, 1);
  EXPECT_EQ(devices[1].bulkIn, 0x83);
  EXPECT_EQ(devices[1].bulkOut, 0x04);
}

// zk27 devices sees the same emulated bus: the preload library and the
// testbed's folder reach the child through the environment.
TEST_F(usb_adapter, DevicesCommandNamesThePlayerAndTellsHowToListAnother) {
  std::ofstream(bus_->dir() + "/none") << "# nothing listed\n";
  ::setenv("ZK27_PLAYERS_FILE", (bus_->dir() + "/none").c_str(), 1);
  std::string out;
  FILE* p = ::popen(ZK27_BIN_DIR "/zk27 devices 2>&1", "r");
  ASSERT_NE(p, nullptr);
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), p)) > 0;) out.append(chunk, n);
  const int status = ::pclose(p);
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("f0ff:2700  bus 001 address 002  Test Works Card Player"), std::string::npos) << out;
  EXPECT_NE(out.find("f0ff:0099  bus 001 address 003"), std::string::npos) << out;
  EXPECT_EQ(out.find("f0ff:0042"), std::string::npos) << out;  // no bulk pipes
  EXPECT_NE(out.find("None of them is listed"), std::string::npos) << out;
  EXPECT_NE(out.find("echo f0ff:2700 >> " + bus_->dir() + "/none"), std::string::npos) << out;
  EXPECT_NE(out.find("ATTR{idVendor}==\"f0ff\", ATTR{idProduct}==\"2700\", TAG+=\"uaccess\""),
            std::string::npos) << out;
}

// ---- the players files, without any bus ------------------------------------

TEST(usb_players_list, ParsesIdsCommentsAndSkipsMalformedLines) {
  const auto ids = bulkusb::ParsePlayersList(
      "# players\n"
      "  1A2b:0C3d   # mine\n"
      "\n"
      "1a2b:0c3d\n"       // again: kept once
      "12345:0001\n"      // five digits
      "zz12:0001\n"
      "0000:1234\n"       // no vendor
      "abcd\n"
      "f0ff:27\r\n");
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(bulkusb::FormatUsbId(ids[0]), "1a2b:0c3d");
  EXPECT_EQ(bulkusb::FormatUsbId(ids[1]), "f0ff:0027");
}

TEST(usb_players_list, UserAndSystemFilesAndAMissingOneIsNoError) {
  const TempDir temp;
  const std::string& dir = temp.path();
  const char* saved = std::getenv("ZK27_PLAYERS_FILE");
  const std::string savedValue = saved ? saved : "";
  ::unsetenv("ZK27_PLAYERS_FILE");
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  auto paths = bulkusb::PlayersFilePaths();
  ASSERT_GE(paths.size(), 2u);
  EXPECT_EQ(paths[0], dir + "/zk27/players");
  EXPECT_EQ(paths[1], "/etc/zk27/players");

  ::setenv("ZK27_PLAYERS_FILE", (dir + "/absent").c_str(), 1);
  auto list = bulkusb::ReadPlayersLists();
  EXPECT_TRUE(list.ids.empty());
  EXPECT_TRUE(list.filesRead.empty());
  fs::create_directories(dir + "/adir");
  ::setenv("ZK27_PLAYERS_FILE", (dir + "/adir").c_str(), 1);
  EXPECT_TRUE(bulkusb::ReadPlayersLists().filesRead.empty());

  std::ofstream(dir + "/list") << "0a0b:0c0d\n";
  ::setenv("ZK27_PLAYERS_FILE", (dir + "/list").c_str(), 1);
  list = bulkusb::ReadPlayersLists();
  ASSERT_EQ(list.ids.size(), 1u);
  EXPECT_EQ(list.filesRead, std::vector<std::string>{dir + "/list"});

  if (saved) ::setenv("ZK27_PLAYERS_FILE", savedValue.c_str(), 1);
  else ::unsetenv("ZK27_PLAYERS_FILE");
}

}  // namespace
