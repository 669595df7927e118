// One writer at a time: two zk27 on one card image, two zk27 clients of one
// virtual player, zk27 --image on an image the player serves, locks held by
// the test itself (on the image and on the player's lock file), and zk27
// while a program that holds the card in-process (as the window does) has
// it. Nothing is lost or mixed; the one that cannot go is told so.
#include <sys/file.h>

#include "bulk_backend.h"
#include "support/card_image.h"
#include "support/cli.h"
#include "usbfunc.h"

using namespace zk27_test;

namespace {

using Files = std::map<std::string, Bytes>;
constexpr const char* kInUse = "zk27: the card is in use by another program";

// A file held with flock by this test; close-on-exec, so that no program the
// test starts inherits (and so shares) the lock.
class HeldLock {
 public:
  HeldLock(const std::string& path, int operation) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ok_ = fd_ >= 0 && ::flock(fd_, operation | LOCK_NB) == 0;
  }
  ~HeldLock() { Release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  bool ok() const { return ok_; }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

class cli_locks : public CliTest {
 protected:
  using CliTest::Z;
  void SetUp() override {
    CliTest::SetUp();
    run_ = dir_.Sub("run");
    socket_ = dir_ / "player.sock";
  }
  void TearDown() override { player_.reset(); }

  // zk27 args... with its own scratch folder, so that runs can overlap.
  RunResult Run(std::vector<std::string> args, const std::string& wait, bool image, const std::string& scratch,
                const std::string& cwd = "", const std::string& socket = "") {
    std::vector<std::string> argv = {Zk27()};
    if (image) argv.insert(argv.end(), {"--image", card_});
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = image ? dir_ / "nobody.sock" : socket.empty() ? socket_ : socket;
    o.env["XDG_RUNTIME_DIR"] = run_;
    o.env["ZK27_LOCK_WAIT"] = wait;
    RunResult r = RunProgram(argv, scratch, o);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut) << r;
    EXPECT_FALSE(r.signaled) << r;
    return r;
  }
  RunResult Z(std::vector<std::string> args, const std::string&) override {
    return Run(std::move(args), "0.3", image_, dir_.path());
  }

  // Two zk27 put at once, of x.mp3 and y.mp3: each either stores its file
  // whole or exits 3 saying the card is in use and leaves it off the card.
  // With a wait longer than a put both must get through. `ySocket`: the
  // player's socket as y's put names it.
  void TwoPutsAtOnce(const std::string& wait, bool bothMustStore, const std::string& ySocket = "") {
    const Files files = {{"x.mp3", x_}, {"y.mp3", y_}};
    RunResult rx, ry;
    const std::string sx = dir_.Sub("scratch-x"), sy = dir_.Sub("scratch-y");
    std::thread tx([&] { rx = Run({"put", "x.mp3"}, wait, image_, sx); });
    std::thread ty([&] { ry = Run({"put", "y.mp3"}, wait, image_, sy, "", ySocket); });
    tx.join();
    ty.join();
    std::map<std::string, bool> stored;
    for (const auto& [name, r] : std::vector<std::pair<std::string, RunResult>>{{"x.mp3", rx}, {"y.mp3", ry}}) {
      SCOPED_TRACE(name);
      if (bothMustStore) {
        EXPECT_EQ(r.exit, 0) << r;
      }
      EXPECT_TRUE(r.exit == 0 || (r.exit == 3 && Holds(r.err, kInUse))) << r;
      stored[name] = r.exit == 0;
    }
    const std::vector<std::string> listed = LsNames();
    const std::string back = dir_.Sub("back-" + std::to_string(++round_));
    for (const auto& [name, bytes] : files) {
      const bool onCard = std::find(listed.begin(), listed.end(), name) != listed.end();
      EXPECT_EQ(onCard, stored[name]) << name << (stored[name] ? " was lost" : " is there though refused");
      if (!onCard) continue;
      const RunResult got = Run({"get", name}, "5", image_, dir_.path(), back);
      EXPECT_EQ(got.exit, 0) << got;
      EXPECT_TRUE(SameBytes(back + "/" + name, bytes));
    }
    if (image_) {
      const card_oracle::Survey s = card_oracle::Examine(card_);
      EXPECT_TRUE(s.faults.empty()) << s.Describe();
      EXPECT_EQ(s.lostClusters, 0u) << s.Describe();
      for (const auto& [name, bytes] : files) {
        if (const card_oracle::File* f = s.Find(name)) {
          EXPECT_TRUE(f->data == bytes) << name << " is mixed";
        }
      }
    }
    // Off the card again for the next round.
    std::vector<std::string> rm = {"rm"};
    for (const auto& [name, on] : stored)
      if (on) rm.push_back(name);
    if (rm.size() > 1) {
      EXPECT_EQ(Run(rm, "5", image_, dir_.path()).exit, 0);
    }
  }

  void Files3MiB() {
    x_ = Content(3 << 20, 11);
    y_ = Content(3 << 20, 12);
    ASSERT_TRUE(WriteFile(pc_ + "/x.mp3", x_));
    ASSERT_TRUE(WriteFile(pc_ + "/y.mp3", y_));
  }

  void StartPlayer(std::uint32_t mib) {
    player_ = std::make_unique<PlayerProcess>(card_, socket_, dir_.path());
    const std::string ready = player_->Start(mib);
    ASSERT_NE(ready.find("serving"), std::string::npos) << ready;
  }

  bool image_ = true;
  std::string run_;
  std::string socket_;
  Bytes x_, y_;
  int round_ = 0;
  std::unique_ptr<PlayerProcess> player_;
};

TEST_F(cli_locks, TwoImagePutsAtOnceNeverLoseOrMixAFile) {
  ASSERT_TRUE(MakeBlankImage(card_, 16 * kSectorsPerMiB));
  ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
  Files3MiB();
  // The second waits for the first, well within the default wait.
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE("waiting, round " + std::to_string(i));
    TwoPutsAtOnce("5", true);
  }
  // No wait: the one that comes second, when they meet, is refused whole.
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE("not waiting, round " + std::to_string(i));
    TwoPutsAtOnce("0", false);
  }
}

TEST_F(cli_locks, TwoClientsOfOnePlayerNeverLoseOrMixAFile) {
  image_ = false;
  StartPlayer(4);
  ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
  // Three clusters each: a put takes many commands of 10 ms, so the two meet.
  x_ = Content(3 * 65536 - 5, 21);
  y_ = Content(3 * 65536 - 6, 22);
  ASSERT_TRUE(WriteFile(pc_ + "/x.mp3", x_));
  ASSERT_TRUE(WriteFile(pc_ + "/y.mp3", y_));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("waiting, round " + std::to_string(i));
    TwoPutsAtOnce("5", true);
  }
  {
    SCOPED_TRACE("not waiting");
    TwoPutsAtOnce("0", false);
  }
  // A link to the socket is the same player, and the same lock.
  const std::string link = dir_ / "link.sock";
  ASSERT_EQ(::symlink(socket_.c_str(), link.c_str()), 0);
  for (const char* wait : {"5", "0"}) {
    SCOPED_TRACE(std::string("through a link, wait ") + wait);
    TwoPutsAtOnce(wait, *wait == '5', link);
  }
}

TEST_F(cli_locks, AnImageThePlayerServesIsRefused) {
  StartPlayer(2);
  ASSERT_TRUE(WriteFile(pc_ + "/x.mp3", Content(1000, 31)));
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"put", "x.mp3"}, {"format", "-y"}, {"ls"}}) {
    SCOPED_TRACE(args[0]);
    const Bytes before = *ReadFile(card_);
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, 3) << r;
    EXPECT_TRUE(Holds(r.err, kInUse));
    EXPECT_TRUE(*ReadFile(card_) == before) << "the served image was written";
  }
}

TEST_F(cli_locks, ALockHeldOnTheImageMakesWritersWaitAndThenRefuses) {
  ASSERT_TRUE(MakeBlankImage(card_, 2 * kSectorsPerMiB));
  ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
  const Bytes x = Content(70000, 41);
  ASSERT_TRUE(WriteFile(pc_ + "/x.mp3", x));
  {
    HeldLock held(card_, LOCK_EX);
    ASSERT_TRUE(held.ok());
    const RunResult put = Run({"put", "x.mp3"}, "0.3", true, dir_.path());
    EXPECT_EQ(put.exit, 3) << put;
    EXPECT_TRUE(Holds(put.err, kInUse));
    EXPECT_GE(put.seconds, 0.3) << "refused without waiting";
    const RunResult ls = Run({"ls"}, "0.3", true, dir_.path());
    EXPECT_EQ(ls.exit, 3) << "a reader must not read while a writer holds the card\n" << ls;
  }
  {
    // A reader's lock: other readers go on, writers wait and are refused.
    HeldLock reading(card_, LOCK_SH);
    ASSERT_TRUE(reading.ok());
    const RunResult ls = Run({"ls"}, "0.3", true, dir_.path());
    EXPECT_EQ(ls.exit, 0) << ls;
    const RunResult put = Run({"put", "x.mp3"}, "0.3", true, dir_.path());
    EXPECT_EQ(put.exit, 3) << put;
    EXPECT_TRUE(Holds(put.err, kInUse));
  }
  EXPECT_TRUE(LsNames().empty()) << "a refused put stored its file";
  {
    // Let go within the wait: the writer goes through.
    HeldLock held(card_, LOCK_EX);
    ASSERT_TRUE(held.ok());
    RunResult put;
    std::thread writer([&] { put = Run({"put", "x.mp3"}, "5", true, dir_.Sub("scratch")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    held.Release();
    writer.join();
    EXPECT_EQ(put.exit, 0) << put;
    EXPECT_GE(put.seconds, 0.35) << "the writer did not wait for the lock";
  }
  EXPECT_EQ(LsNames(), std::vector<std::string>{"x.mp3"});
}

TEST_F(cli_locks, ALockHeldOnThePlayersLockFileMakesWritersWaitAndThenRefuses) {
  image_ = false;
  StartPlayer(2);
  ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
  ASSERT_TRUE(WriteFile(pc_ + "/x.mp3", Content(1000, 51)));
  // The virtual player's lock file lies beside its socket.
  const std::string lockFile = bulkusb::PlayerLockFile(bulkusb::SocketIdentity(socket_));
  ASSERT_EQ(lockFile.rfind(dir_.path() + "/player-", 0), 0u) << lockFile;
  {
    HeldLock held(lockFile, LOCK_EX);
    ASSERT_TRUE(held.ok());
    const RunResult put = Run({"put", "x.mp3"}, "0.3", false, dir_.path());
    EXPECT_EQ(put.exit, 3) << put;
    EXPECT_TRUE(Holds(put.err, kInUse));
    EXPECT_GE(put.seconds, 0.3);
  }
  {
    HeldLock reading(lockFile, LOCK_SH);
    ASSERT_TRUE(reading.ok());
    const RunResult ls = Run({"ls"}, "0.3", false, dir_.path());
    EXPECT_EQ(ls.exit, 0) << ls;
    const RunResult put = Run({"put", "x.mp3"}, "0.3", false, dir_.path());
    EXPECT_EQ(put.exit, 3) << put;
    EXPECT_TRUE(Holds(put.err, kInUse));
  }
  EXPECT_TRUE(LsNames().empty());
  {
    HeldLock held(lockFile, LOCK_EX);
    ASSERT_TRUE(held.ok());
    RunResult put;
    std::thread writer([&] { put = Run({"put", "x.mp3"}, "5", false, dir_.Sub("scratch")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    held.Release();
    writer.join();
    EXPECT_EQ(put.exit, 0) << put;
    EXPECT_GE(put.seconds, 0.35);
  }
  EXPECT_EQ(LsNames(), std::vector<std::string>{"x.mp3"});
}

// The window holds the card through the engine for the whole of an action;
// zk27 on the same image meanwhile is refused and writes nothing.
TEST_F(cli_locks, ZkWhileAProgramHoldsTheCardInProcessIsRefused) {
  ASSERT_TRUE(MakeBlankImage(card_, 2 * kSectorsPerMiB));
  ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
  ASSERT_TRUE(WriteFile(pc_ + "/x.mp3", Content(1000, 61)));
  std::string error;
  ASSERT_TRUE(AttachCardImage(card_, &error)) << error;
  {
    CardLockScope lock(CardLock::kExclusive);
    ASSERT_EQ(lock.Result(), kLockOk);
    const Bytes before = *ReadFile(card_);
    const RunResult put = Run({"put", "x.mp3"}, "0.3", true, dir_.path());
    EXPECT_EQ(put.exit, 3) << put;
    EXPECT_TRUE(Holds(put.err, kInUse));
    EXPECT_TRUE(*ReadFile(card_) == before);
  }
  DetachCardImage();
  const RunResult put = Run({"put", "x.mp3"}, "0.3", true, dir_.path());
  EXPECT_EQ(put.exit, 0) << put;
}

}  // namespace
