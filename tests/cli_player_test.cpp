// zk27 against zk27-player: the card reached over the player's socket, the
// player's states steered with `zk27-player ctl`, transport failures, voice
// recordings made on the player, and a player that dies.
#include "bulk_backend.h"
#include "support/cli.h"
#include "support/notifications.h"
#include "voc_writer.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

using namespace zk27_test;

namespace {

// The suite's name starts with cli_ like its program's, so that
// `ctest -R cli_` selects these cases.
class cli_player : public CliTest {
 protected:
  using CliTest::Z;
  void SetUp() override {
    CliTest::SetUp();
    socket_ = dir_ / "run/player.sock";
  }

  void StartPlayer(std::uint32_t mib = 4) {
    player_ = std::make_unique<PlayerProcess>(card_, socket_, dir_.path());
    if (PlayerOverTcp()) {
      // zk27 goes to the port; ctl still speaks on the socket.
      const std::string line = player_->Start(mib, {"--tcp", "127.0.0.1:0"});
      const std::string ready = "zk27-player: serving " + card_ + " on " + socket_ + " and on TCP ";
      ASSERT_EQ(line.rfind(ready, 0), 0u) << line;
      tcp_ = line.substr(ready.size(), line.size() - ready.size() - 1);
      return;
    }
    const std::string line = player_->Start(mib);
    ASSERT_EQ(line, "zk27-player: serving " + card_ + " on " + socket_ + "\n");
  }

  RunResult Sane(RunResult r, const std::string& what) {
    EXPECT_TRUE(r.started) << what;
    EXPECT_FALSE(r.timedOut) << what << "\n" << r;
    EXPECT_FALSE(r.signaled) << what << "\n" << r;
    return r;
  }

  // zk27 args... on the player behind this test's socket, run in `cwd`
  // (default: the PC folder).
  RunResult Z(std::vector<std::string> args, const std::string& cwd) override {
    std::vector<std::string> argv = {Zk27()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = socket_;
    if (!tcp_.empty()) o.env["ZK27_PLAYER_TCP"] = tcp_;
    return Sane(RunProgram(argv, dir_.path(), o), args.empty() ? "zk27" : "zk27 " + args[0]);
  }
  // zk27 --image on the player's card file, beside the running player.
  RunResult ZImage(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {Zk27(), "--image", card_};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = pc_;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "nobody.sock";
    o.env["ZK27_LOCK_WAIT"] = "0.3";
    return Sane(RunProgram(argv, dir_.path(), o), "zk27 --image");
  }
  RunResult Ctl(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {PlayerBin(), "ctl", "--socket", socket_};
    argv.insert(argv.end(), words.begin(), words.end());
    RunResult r = Sane(RunProgram(argv, dir_.path()), "ctl " + words[0]);
    EXPECT_EQ(r.exit, 0) << "ctl " << words[0] << "\n" << r;
    return r;
  }
  // The player's "commands: N".
  std::uint64_t Commands() {
    return CommandCount(Ctl({"status"}).out);
  }

  // A WAV file of `seconds` written by `zk27-player tone` at `path`; returns
  // the voice file the player makes of it.
  Bytes Memo(const std::string& path, const std::string& seconds) {
    const RunResult made = RunProgram({PlayerBin(), "tone", seconds, path}, dir_.path());
    EXPECT_EQ(made.exit, 0) << made;
    Bytes voc;
    std::string problem;
    EXPECT_TRUE(tvdh::WavToVoiceFile(path, &voc, &problem)) << problem;
    return voc;
  }

  void Format() {
    const RunResult r = Z({"format", "--yes"});
    ASSERT_EQ(r.exit, 0) << r;
    ASSERT_TRUE(r.err.empty()) << r;
  }

  std::string socket_;
  std::string tcp_;  // ZK27_PLAYER_TCP for zk27, when set
  std::unique_ptr<PlayerProcess> player_;  // declared last: stopped before the folder goes
};

using Names = std::vector<std::string>;

TEST_F(cli_player, FormatPutGetRmOverThePlayer) {
  StartPlayer(4);
  const std::uint64_t atStart = Commands();
  Format();
  const std::uint64_t afterFormat = Commands();
  EXPECT_GT(afterFormat, atStart);

  const RunResult info = Z({"info"});
  EXPECT_EQ(info.exit, 0) << info;
  EXPECT_TRUE(Holds(info.out, "in the player"));
  EXPECT_EQ(FreeClustersIn(info.out), 62) << info;

  const Bytes a = Pc("a.mp3", 150000, 1);
  const Bytes b = Pc("b.voc", 100, 2);
  const RunResult put = Z({"put", "a.mp3", "b.voc"});
  EXPECT_EQ(put.exit, 0) << put;
  EXPECT_TRUE(put.err.empty()) << put;
  const std::uint64_t afterPut = Commands();
  // At least one write per cluster went over the socket.
  EXPECT_GE(afterPut, afterFormat + 4);

  const std::vector<LongLine> l = ParseLong(Z({"ls", "-l"}).out);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].name, "a.mp3");
  EXPECT_EQ(l[0].size, 150000u);
  EXPECT_EQ(l[0].first, "2");
  EXPECT_EQ(l[1].name, "b.voc");
  EXPECT_EQ(l[1].id, 0x81u);
  // The player wrote the card file itself: the entries are in the image.
  EXPECT_NE(FindEntry(card_, "a.mp3"), 0u);
  EXPECT_NE(FindEntry(card_, "b.voc"), 0u);
  // While the player serves the image it is the player's: zk27 --image
  // waits, then says so and leaves it alone. (Not under wine: its
  // LockFileEx does not meet the player's flock.)
  if (!Zk27UnderWine()) {
    const RunResult refused = ZImage({"ls"});
    EXPECT_EQ(refused.exit, 3) << refused;
    EXPECT_TRUE(Holds(refused.err, "zk27: the card is in use by another program"));
    EXPECT_TRUE(refused.out.empty());
  }

  const std::string back = dir_.Sub("back");
  const RunResult got = Z({"get", "b.voc", "a.mp3"}, back);
  EXPECT_EQ(got.exit, 0) << got;
  EXPECT_TRUE(SameBytes(back + "/a.mp3", a));
  EXPECT_TRUE(SameBytes(back + "/b.voc", b));
  const std::uint64_t afterGet = Commands();
  EXPECT_GT(afterGet, afterPut);

  const RunResult rm = Z({"rm", "a.mp3"});
  EXPECT_EQ(rm.exit, 0) << rm;
  EXPECT_EQ(LsNames(), Names{"b.voc"});
  EXPECT_GT(Commands(), afterGet);
  EXPECT_EQ(FreeClustersIn(Z({"info"}).out), 61);
}

TEST_F(cli_player, StartUpChecksFollowThePlayersState) {
  StartPlayer(4);
  Format();
  Pc("keep.mp3", 70000, 1);
  ASSERT_EQ(Z({"put", "keep.mp3"}).exit, 0);
  Pc("new.mp3", 100, 2);

  Ctl({"eject"});
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls"}, {"put", "new.mp3"}, {"format", "-y"}}) {
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, 3) << args[0] << "\n" << r;
    EXPECT_EQ(r.err, "zk27: there is no card in the player\n") << args[0];
  }
  Ctl({"insert"});
  EXPECT_EQ(LsNames(), Names{"keep.mp3"});

  // A player that is not ready answers the status with 0x7F: the start-up's
  // busy text. A player that drops that very first command stopped answering.
  Ctl({"not-ready", "on"});
  const RunResult notReady = Z({"ls"});
  EXPECT_EQ(notReady.exit, 3) << notReady;
  EXPECT_EQ(notReady.err, "zk27: the player is busy; reconnect it and try again\n");
  Ctl({"not-ready", "off"});
  Ctl({"fail-after", "1"});
  const RunResult broken = Z({"ls"});
  EXPECT_EQ(broken.exit, 3) << broken;
  EXPECT_EQ(broken.err, "zk27: the player stopped answering; reconnect it and try again\n");
  EXPECT_EQ(LsNames(), Names{"keep.mp3"});

  // A busy player answers 0x01, which the status test lets through; the card
  // check that follows reads the boot sector and reports the busy device.
  Ctl({"busy", "on"});
  const RunResult busy = Z({"ls"});
  EXPECT_EQ(busy.exit, 3) << busy;
  EXPECT_EQ(busy.err, "zk27: the player is busy; reconnect it and try again\n");
  const RunResult busyPut = Z({"put", "new.mp3"});
  EXPECT_EQ(busyPut.exit, 3) << busyPut;
  Ctl({"busy", "off"});
  EXPECT_EQ(LsNames(), Names{"keep.mp3"});

  Ctl({"unplug"});
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls"}, {"get", "keep.mp3"}, {"format", "-y"}}) {
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, 3) << args[0] << "\n" << r;
    EXPECT_TRUE(Holds(r.err, "zk27: no player is attached")) << args[0];
  }
  Ctl({"plug"});
  EXPECT_EQ(LsNames(), Names{"keep.mp3"}) << "nothing was written or formatted while the player was away";
  EXPECT_EQ(FolderNames(pc_), (Names{"keep.mp3", "new.mp3"}));
}

// The player on a TCP port of the loopback, as a host without packet
// sockets reaches it: whole files go there and back, and an address off the
// loopback is refused by both programs.
TEST_F(cli_player, ThePlayerOverTcpOnTheLoopback) {
  player_ = std::make_unique<PlayerProcess>(card_, socket_, dir_.path());
  const std::string line = player_->Start(4, {"--tcp", "127.0.0.1:0"});
  const std::string marker = " and on TCP ";
  ASSERT_TRUE(Holds(line, marker)) << line;
  tcp_ = line.substr(line.find(marker) + marker.size());
  tcp_.pop_back();
  socket_ = dir_ / "run/nobody.sock";  // only the port leads to the player
  Format();
  const Bytes a = Pc("a.mp3", 300000, 3);
  ASSERT_EQ(Z({"put", "a.mp3"}).exit, 0);
  fs::remove(fs::path(pc_) / "a.mp3");
  const RunResult get = Z({"get", "a.mp3"});
  ASSERT_EQ(get.exit, 0) << get;
  EXPECT_TRUE(SameBytes(fs::path(pc_) / "a.mp3", a));
  EXPECT_NE(FindEntry(card_, "a.mp3"), 0u);

  for (const std::string bad : {"10.0.0.1:5000", "localhost:5000", "0.0.0.0:5000", "127.0.0.1", "127.0.0.1:0"}) {
    tcp_ = bad;
    const RunResult r = Z({"ls"});
    EXPECT_EQ(r.exit, 3) << bad << "\n" << r;
    EXPECT_EQ(r.err, "zk27: ZK27_PLAYER_TCP=" + bad +
                         ": not an address on the loopback (127.0.0.1:PORT); the player is not looked for there\n")
        << r;
  }
  const RunResult serve = Sane(
      RunProgram({PlayerBin(), "serve", "--card", dir_ / "other.img", "--socket", dir_ / "run/other.sock", "--tcp",
                  "192.168.0.1:5000"},
                 dir_.path()),
      "serve");
  EXPECT_EQ(serve.exit, 1) << serve;
  EXPECT_EQ(serve.err, "zk27-player: --tcp 192.168.0.1:5000: not an address on the loopback (127.0.0.1:PORT)\n");
  EXPECT_FALSE(fs::exists(dir_ / "other.img"));
}

TEST_F(cli_player, NoPlayerAnswering) {
  // Nothing at the socket's path.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls"}, {"info"}, {"format", "--yes"}}) {
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, 3) << args[0] << "\n" << r;
    EXPECT_TRUE(Holds(r.err, "zk27: no player is attached")) << args[0];
  }
  // A socket file that nobody listens on any more.
  fs::create_directories(fs::path(socket_).parent_path());
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socket_.size(), sizeof(addr.sun_path));
  std::memcpy(addr.sun_path, socket_.c_str(), socket_.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ::close(fd);
  const RunResult stale = Z({"ls"});
  EXPECT_EQ(stale.exit, 3) << stale;
  EXPECT_TRUE(Holds(stale.err, "zk27: no player is attached"));
}

// A player that is there but does not answer. `accepting`: it takes each
// connection, answers the command's status and then says nothing more (no
// data, no completion). Otherwise it never accepts, and its listen backlog is
// full, as when the player was stopped.
class SilentPlayer {
 public:
  SilentPlayer(const std::string& path, bool accepting) : path_(path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    if (::bind(listener_, a, sizeof(addr)) != 0 || ::listen(listener_, 0) != 0) return;
    if (accepting) {
      thread_ = std::thread([this] { Answer(); });
      return;
    }
    for (int i = 0; i < 64; ++i) {
      const int c = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      held_.push_back(c);
      if (::connect(c, a, sizeof(addr)) != 0) return;  // EAGAIN: the backlog is full
    }
  }
  ~SilentPlayer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : held_) ::close(fd);
    ::close(listener_);
    ::unlink(path_.c_str());
  }

 private:
  void Answer() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::uint8_t command[64];
      const std::uint8_t ok[2] = {0, 0};
      if (::recv(fd, command, sizeof(command), 0) > 0) ::send(fd, ok, sizeof(ok), MSG_NOSIGNAL);
      held_.push_back(fd);
    }
  }

  std::string path_;
  int listener_ = -1;
  std::vector<int> held_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

TEST_F(cli_player, APlayerThatStopsAnsweringFailsTheRunInTime) {
  ZK27_SKIP_UNDER_WINE("the player that stops answering is the test's own, on a Unix socket");
  fs::create_directories(fs::path(socket_).parent_path());
  for (bool accepting : {false, true}) {
    SCOPED_TRACE(accepting ? "no completion" : "never accepts");
    SilentPlayer silent(socket_, accepting);
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = Z({"ls"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12)) << r;
    EXPECT_EQ(r.exit, 3) << r;
    EXPECT_TRUE(r.out.empty()) << r;
    EXPECT_EQ(r.err, "zk27: the player stopped answering; reconnect it and try again\n") << r;
  }
}

// A player whose card image cannot take the data (its disk full: here, a
// file size limit that it meets with EFBIG) reports the failed write in its
// completion block: the put fails, and nothing on the card claims the bytes
// that were not stored.
TEST_F(cli_player, AWriteThePlayerCouldNotStoreFailsThePut) {
  StartPlayer(4);
  Format();
  const Bytes keep = Pc("keep.mp3", 1000, 1);
  ASSERT_EQ(Z({"put", "keep.mp3"}).exit, 0);
  player_->Stop();
  const Layout layout = ReadLayout(card_);

  // The second cluster of the song lies past the limit.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit limited = old;
  limited.rlim_cur = layout.ClusterOffset(4) + 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  auto* const oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  StartPlayer(4);
  std::signal(SIGXFSZ, oldHandler);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);

  Pc("song.mp3", 200000, 2);
  const RunResult put = Z({"put", "song.mp3"});
  EXPECT_NE(put.exit, 0) << put;
  EXPECT_EQ(Lines(put.err).size(), 1u) << put;
  EXPECT_EQ(LsNames(), Names{"keep.mp3"});
  EXPECT_EQ(Z({"check"}).exit, 0);
  const std::string back = dir_.Sub("back");
  EXPECT_EQ(Z({"get", "song.mp3"}, back).exit, 1);
  ASSERT_EQ(Z({"get", "keep.mp3"}, back).exit, 0);
  EXPECT_EQ(FolderNames(back), Names{"keep.mp3"});
  EXPECT_TRUE(SameBytes(back + "/keep.mp3", keep));
}

TEST_F(cli_player, TransportFailureInTheSecondFileKeepsTheFirst) {
  StartPlayer(4);
  Format();
  const Bytes a = Pc("a.mp3", 100000, 1);  // 2 clusters
  const Bytes b = Pc("b.mp3", 250000, 2);  // 4 clusters
  const Bytes c = Pc("c.voc", 100, 3);

  // What a run costs up to and including the first file: measured with a
  // run of that file alone on the same, empty card.
  const std::uint64_t before = Commands();
  ASSERT_EQ(Z({"put", "a.mp3"}).exit, 0);
  const std::uint64_t untilFirstStored = Commands() - before;
  ASSERT_EQ(Z({"rm", "a.mp3"}).exit, 0);
  ASSERT_TRUE(LsNames().empty());

  // The second cluster write of b.mp3 breaks off.
  Ctl({"fail-after", std::to_string(untilFirstStored + 2)});
  const RunResult r = Z({"put", "a.mp3", "b.mp3", "c.voc"});
  EXPECT_EQ(r.exit, 3) << r;
  // One line: what failed, where, and how far the run got.
  EXPECT_EQ(r.err, "zk27: the player stopped answering during b.mp3; 1 of 3 files sent\n") << r;

  // The player still serves; the fault fired once.
  EXPECT_TRUE(Holds(Ctl({"status"}).out, "fail-after: off\n"));
  const RunResult listed = Z({"ls", "-l"});
  EXPECT_EQ(listed.exit, 0) << listed;
  const std::vector<LongLine> l = ParseLong(listed.out);
  ASSERT_EQ(l.size(), 1u) << listed.out;
  EXPECT_EQ(l[0].name, "a.mp3");
  EXPECT_EQ(l[0].size, 100000u);
  // The failure hit inside b.mp3: its first cluster (4, after a.mp3's 2 and
  // 3) reached the card, its second did not, and the table still calls both
  // free.
  const Layout layout = ReadLayout(card_);
  const Bytes cluster4 = ReadAt(card_, layout.data + 2 * kCluster, kCluster);
  const Bytes cluster5 = ReadAt(card_, layout.data + 3 * kCluster, kCluster);
  EXPECT_TRUE(cluster4 == Bytes(b.begin(), b.begin() + kCluster)) << "b.mp3 did not start before the failure";
  EXPECT_FALSE(cluster5 == Bytes(b.begin() + kCluster, b.begin() + 2 * kCluster)) << "the failure came too late";
  EXPECT_EQ(ReadAt(card_, layout.TableEntry(4), 4), Bytes(4, 0));
  EXPECT_EQ(FreeClustersIn(Z({"info"}).out), 60);
  const std::string back = dir_.Sub("back");
  const RunResult got = Z({"get", "a.mp3", "b.mp3"}, back);
  EXPECT_EQ(got.exit, 1) << got;
  EXPECT_TRUE(SameBytes(back + "/a.mp3", a));
  EXPECT_EQ(FolderNames(back), Names{"a.mp3"});

  // The card is whole: the rest goes on afterwards.
  const RunResult rest = Z({"put", "b.mp3", "c.voc"});
  EXPECT_EQ(rest.exit, 0) << rest;
  ASSERT_EQ(Z({"get", "b.mp3", "c.voc"}, back).exit, 0);
  EXPECT_TRUE(SameBytes(back + "/b.mp3", b));
  EXPECT_TRUE(SameBytes(back + "/c.voc", c));
  EXPECT_TRUE(SameBytes(back + "/a.mp3", a));
}

TEST_F(cli_player, RecordingsMadeOnThePlayerAreListedAndFetched) {
  StartPlayer(4);
  Format();
  Pc("song.mp3", 500, 1);
  ASSERT_EQ(Z({"put", "song.mp3"}).exit, 0);
  const std::string memos = dir_.Sub("memos");
  const Bytes first = Memo(memos + "/one.wav", "4.5");  // more than a cluster
  const Bytes second = Memo(memos + "/two.wav", "0.02");
  EXPECT_TRUE(Holds(Ctl({"record", memos + "/one.wav"}).out, "voice file 0x81"));
  EXPECT_TRUE(Holds(Ctl({"record", memos + "/two.wav"}).out, "voice file 0x82"));

  const std::string dayBefore = TodayYymmdd();
  const RunResult listed = Z({"ls", "-l"});
  const std::string dayAfter = TodayYymmdd();
  EXPECT_EQ(listed.exit, 0) << listed;
  const std::vector<LongLine> l = ParseLong(listed.out);
  ASSERT_EQ(l.size(), 3u) << listed.out;
  EXPECT_EQ(l[0].name, "song.mp3");
  EXPECT_EQ(l[1].id, 0x81u);
  EXPECT_EQ(l[1].size, first.size());
  EXPECT_EQ(l[2].id, 0x82u);
  EXPECT_EQ(l[2].size, second.size());
  const std::string day = l[1].name.substr(0, 6);
  EXPECT_TRUE(day == dayBefore || day == dayAfter) << l[1].name;
  EXPECT_EQ(l[1].name, day + "001.voc");
  EXPECT_EQ(l[2].name, day + "002.voc");

  // Listing only reads the card: the names reach it with the next command
  // that changes the card, and are kept from then on.
  EXPECT_EQ(FindEntry(card_, day + "001.voc"), 0u);
  Pc("late.mp3", 10, 3);
  ASSERT_EQ(Z({"put", "late.mp3"}).exit, 0);
  EXPECT_NE(FindEntry(card_, day + "001.voc"), 0u);
  EXPECT_NE(FindEntry(card_, day + "002.voc"), 0u);
  EXPECT_EQ(LsNames(), (Names{"song.mp3", "late.mp3", day + "001.voc", day + "002.voc"}));

  const std::string back = dir_.Sub("back");
  const RunResult got = Z({"get", day + "001.voc", day + "002.voc"}, back);
  EXPECT_EQ(got.exit, 0) << got;
  EXPECT_TRUE(SameBytes(back + "/" + day + "001.voc", first));
  EXPECT_TRUE(SameBytes(back + "/" + day + "002.voc", second));
}

TEST_F(cli_player, FailedFetchKeepsTheOlderPcFile) {
  StartPlayer(4);
  Format();
  Pc("empty.mp3", 0, 1);
  const Bytes big = Pc("big.mp3", 4 * kCluster - 10, 2);
  ASSERT_EQ(Z({"put", "empty.mp3", "big.mp3"}).exit, 0);

  // An empty file needs no read: a fetch of it costs what comes before the
  // first read of any file.
  const std::string back = dir_.Sub("back");
  const std::uint64_t before = Commands();
  ASSERT_EQ(Z({"get", "empty.mp3"}, back).exit, 0);
  const std::uint64_t beforeFirstRead = Commands() - before;

  const Bytes older = Content(5000, 3);
  ASSERT_TRUE(WriteFile(back + "/big.mp3", older));
  Ctl({"fail-after", std::to_string(beforeFirstRead + 2)});  // the second cluster's read
  const RunResult r = Z({"get", "big.mp3", "empty.mp3"}, back);
  EXPECT_EQ(r.exit, 3) << r;
  EXPECT_EQ(r.err, "zk27: the player stopped answering during big.mp3; 0 of 2 files fetched\n") << r;
  EXPECT_TRUE(SameBytes(back + "/big.mp3", older)) << "a failed fetch cost the older PC file";
  EXPECT_EQ(FolderNames(back), (Names{"big.mp3", "empty.mp3"})) << "a failed fetch left a part behind";

  ASSERT_EQ(Z({"get", "big.mp3"}, back).exit, 0);
  EXPECT_TRUE(SameBytes(back + "/big.mp3", big));
}

// The player's folder in the runtime folder is used only when it is a real
// directory of the user's own that nobody else can use: a player served
// there is refused, and so is a zk27-player asked to serve there.
TEST_F(cli_player, APlayersFolderNotTheUsersOwnIsRefused) {
  ZK27_SKIP_UNDER_WINE("owners and uids of Unix sockets and folders are Linux's");
  struct Row {
    const char* what;
    int (*spoil)(const std::string& folder);
    bool real;       // still a real directory after the spoiling
    unsigned owner;  // as the message gives it
    bool asRoot;
  };
  const unsigned me = ::geteuid();
  const Row rows[] = {
      {"open to everyone", [](const std::string& f) { return ::chmod(f.c_str(), 0777); }, true, me, false},
      {"another user's", [](const std::string& f) { return ::chown(f.c_str(), 65534, 65534); }, true, 65534, true},
      {"a link to a folder of the user's",
       [](const std::string& f) {
         const std::string real = f + "-real";
         return ::rename(f.c_str(), real.c_str()) != 0 ? -1 : ::symlink(real.c_str(), f.c_str());
       },
       false, me, false},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.asRoot && me != 0) continue;
    const std::string run = dir_.Sub("xdg-" + std::to_string(++n));
    const std::string folder = run + "/zk27";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    socket_ = folder + "/player.sock";
    StartPlayer(2);
    ASSERT_EQ(row.spoil(folder), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    char said[96];
    std::snprintf(said, sizeof(said), ": %s of your own (owner %u, mode %04o); the player ",
                  row.real ? "not a folder" : "not a real folder", row.owner, st.st_mode & 07777u);
    RunOptions o;
    o.cwd = pc_;
    o.env["ZK27_PLAYER_SOCKET"] = std::nullopt;
    o.env["XDG_RUNTIME_DIR"] = run;
    const RunResult ls = Sane(RunProgram({Zk27(), "ls"}, dir_.path(), o), "zk27 ls");
    EXPECT_EQ(ls.exit, 3) << ls;
    EXPECT_EQ(ls.err, "zk27: " + folder + said + "is not looked for there\n");
    const RunResult serve = Sane(RunProgram({PlayerBin(), "serve", "--card", run + "/card.img"}, dir_.path(), o), "serve");
    EXPECT_EQ(serve.exit, 1) << serve;
    EXPECT_EQ(serve.err, "zk27-player: " + folder + said + "does not use it\n");
    player_.reset();
  }
}

// A player served by another user is not believed, whatever path leads to it.
TEST_F(cli_player, APlayerOfAnotherUserIsRefused) {
  ZK27_SKIP_UNDER_WINE("owners and uids of Unix sockets and folders are Linux's");
  if (::geteuid() != 0) GTEST_SKIP() << "serving as another user needs root";
  TempDir theirs;
  ASSERT_EQ(::chown(theirs.path().c_str(), 65534, 65534), 0);
  PlayerProcess other(theirs / "card.img", theirs / "player.sock", dir_.path(), 65534);
  ASSERT_NE(other.Start(2).find("serving"), std::string::npos);
  RunOptions o;
  o.cwd = pc_;
  o.env["ZK27_PLAYER_SOCKET"] = theirs / "player.sock";
  const RunResult ls = Sane(RunProgram({Zk27(), "ls"}, dir_.path(), o), "zk27 ls");
  EXPECT_EQ(ls.exit, 3) << ls;
  EXPECT_EQ(ls.err, "zk27: " + theirs / "player.sock" + ": answered by another user (uid 65534); it is not taken "
                    "for the player\n");
}

// A program on the PC holds the card for a whole operation: another program
// waits and is then refused, and the player records nothing under it.
TEST_F(cli_player, ACardHeldByOneProgramIsLeftAloneByOthers) {
  ZK27_SKIP_UNDER_WINE("wine's LockFileEx does not meet the Linux programs' flock");
  StartPlayer(4);
  Format();
  const std::string memos = dir_.Sub("memos");
  Memo(memos + "/one.wav", "0.1");
  const int lock = ::open(bulkusb::PlayerLockFile(bulkusb::SocketIdentity(socket_)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  Pc("a.mp3", 1000, 1);
  RunOptions o;
  o.cwd = pc_;
  o.env["ZK27_PLAYER_SOCKET"] = socket_;
  o.env["ZK27_LOCK_WAIT"] = "0.3";
  const RunResult put = Sane(RunProgram({Zk27(), "put", "a.mp3"}, dir_.path(), o), "zk27 put");
  EXPECT_EQ(put.exit, 3) << put;
  EXPECT_TRUE(Holds(put.err, "zk27: the card is in use by another program"));
  const RunResult recorded =
      Sane(RunProgram({PlayerBin(), "ctl", "--socket", socket_, "record", memos + "/one.wav"}, dir_.path()), "ctl");
  EXPECT_NE(recorded.exit, 0) << recorded;
  EXPECT_TRUE(Holds(recorded.out + recorded.err, "a program on the PC is using the card"));

  // A reader shares the card with another reader.
  ASSERT_EQ(::flock(lock, LOCK_SH), 0);
  const RunResult ls = Sane(RunProgram({Zk27(), "ls"}, dir_.path(), o), "zk27 ls");
  EXPECT_EQ(ls.exit, 0) << ls;
  ::close(lock);
  EXPECT_EQ(Z({"put", "a.mp3"}).exit, 0);
  EXPECT_TRUE(Holds(Ctl({"record", memos + "/one.wav"}).out, "voice file 0x81"));
  EXPECT_EQ(LsNames(), (Names{"a.mp3", TodayYymmdd() + "001.voc"}));
}

// A recording that reaches a card whose 240 name slots are all taken stays
// unnamed (name mark 0, name slot 0) and is listed under its recording name.
// It was once listed under the name that slot 0 holds (here m1.mp3): `get` of
// its recording name found nothing, and `rm m1.mp3` deleted the recording and
// emptied the real m1.mp3's name slot.
TEST_F(cli_player, RecordingOnACardWithEveryNameSlotTaken) {
  // Filled directly on the image (quick), then served by the player.
  ASSERT_TRUE(MakeBlankImage(card_, 4 * kSectorsPerMiB));
  {
    std::vector<std::string> argv = {Zk27(), "--image", card_, "format", "--yes"};
    ASSERT_EQ(RunProgram(argv, dir_.path()).exit, 0);
    argv = {Zk27(), "--image", card_, "put"};
    for (int i = 1; i <= 127; ++i) argv.push_back("m" + std::to_string(i) + ".mp3");
    for (int i = 1; i <= 113; ++i) argv.push_back("v" + std::to_string(i) + ".voc");
    for (std::size_t k = 4; k < argv.size(); ++k) ASSERT_TRUE(WriteFile(pc_ + "/" + argv[k], {}));
    RunOptions o;
    o.cwd = pc_;
    const RunResult filled = RunProgram(argv, dir_.path(), o);
    ASSERT_EQ(filled.exit, 0) << filled;
  }
  StartPlayer(4);
  const Bytes memo = Memo(dir_ / "memo.wav", "0.1");
  EXPECT_TRUE(Holds(Ctl({"record", dir_ / "memo.wav"}).out, "voice file 0xF2"));

  const std::string day = TodayYymmdd();
  const std::string recording = day + "114.voc";
  const RunResult listed = Z({"ls", "-l"});
  EXPECT_EQ(listed.exit, 0) << listed;
  const std::vector<LongLine> l = ParseLong(listed.out);
  ASSERT_EQ(l.size(), 241u);
  EXPECT_EQ(l.back().id, 0xF2u);
  EXPECT_EQ(l.back().size, memo.size());
  EXPECT_EQ(l.back().name, recording) << "the recording is listed under another file's name";
  EXPECT_EQ(Count(listed.out, "  m1.mp3\n"), 1) << listed.out.substr(0, 200);

  const std::string back = dir_.Sub("back");
  const RunResult got = Z({"get", recording}, back);
  EXPECT_EQ(got.exit, 0) << got;
  EXPECT_TRUE(SameBytes(back + "/" + recording, memo));

  // Deleting m1.mp3 deletes the music file, not the recording.
  const RunResult rm = Z({"rm", "m1.mp3"});
  EXPECT_EQ(rm.exit, 0) << rm;
  const RunResult after = Z({"ls", "-l"});
  EXPECT_FALSE(Holds(after.err, "has no readable name")) << after.err;
  const std::vector<LongLine> left = ParseLong(after.out);
  ASSERT_EQ(left.size(), 240u);
  EXPECT_EQ(left.front().name, "m2.mp3");
  EXPECT_EQ(left.front().id, 0x01u);
  EXPECT_EQ(left.back().id, 0xF2u);
  EXPECT_EQ(left.back().size, memo.size());
}

TEST_F(cli_player, FilesSurviveAPlayerKilledRightAfterThePut) {
  StartPlayer(4);
  Format();
  const Bytes a = Pc("a.mp3", 200000, 1);
  const Bytes b = Pc("b.voc", 1000, 2);
  const RunResult put = Z({"put", "a.mp3", "b.voc"});
  ASSERT_EQ(put.exit, 0) << put;
  player_->Kill();

  const RunResult gone = Z({"ls"});
  EXPECT_EQ(gone.exit, 3) << gone;
  EXPECT_TRUE(Holds(gone.err, "zk27: no player is attached"));

  // A new player on the same card and socket (its stale socket file is
  // cleared) finds both files whole.
  StartPlayer(4);
  const std::vector<LongLine> l = ParseLong(Z({"ls", "-l"}).out);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].name, "a.mp3");
  EXPECT_EQ(l[0].size, 200000u);
  EXPECT_EQ(l[1].name, "b.voc");
  const std::string back = dir_.Sub("back");
  ASSERT_EQ(Z({"get", "a.mp3", "b.voc"}, back).exit, 0);
  EXPECT_TRUE(SameBytes(back + "/a.mp3", a));
  EXPECT_TRUE(SameBytes(back + "/b.voc", b));
}

// Ctrl-C during a put, once or twice in a row: the file in flight is not
// kept, the files before it are whole, the card checks clean, and zk27 says
// it was interrupted (exit 130) after the count of what it stored.
TEST_F(cli_player, InterruptedPutKeepsTheCardSound) {
  StartPlayer(8);
  const Bytes a = Pc("a.mp3", 1000, 1);
  Pc("big.mp3", 3 * 1024 * 1024, 2);  // 48 clusters: half a second through the player
  for (int signals : {1, 2}) {
    SCOPED_TRACE(std::to_string(signals) + " interrupt(s)");
    Format();
    const std::string err = dir_ / "put.err";
    const std::uint64_t before = Commands();
    const pid_t pid = StartInBackground({Zk27(), "put", "a.mp3", "big.mp3"}, pc_, socket_, err, tcp_);
    // Under way: the card opened and a few clusters sent.
    for (int i = 0; i < 500 && Commands() < before + 12; ++i) ::usleep(10000);
    for (int k = 0; k < signals; ++k) {
      ::kill(pid, SIGINT);
      ::usleep(20000);
    }
    EXPECT_EQ(WaitFor(pid), 130);
    // One line, with what was done.
    const std::vector<std::string> said = FileLines(err);
    const Names listed = LsNames();
    EXPECT_TRUE(listed.empty() || listed == Names{"a.mp3"}) << listed.size() << " files listed";
    EXPECT_EQ(said, std::vector<std::string>{"zk27: interrupted; " + std::to_string(listed.size()) +
                                             " of 2 files sent"});
    const RunResult check = Z({"check"});
    EXPECT_EQ(check.exit, 0) << check;
    if (!listed.empty()) {
      ASSERT_EQ(Z({"get", "a.mp3"}, dir_.Sub("back")).exit, 0);
      EXPECT_EQ(*ReadFile(dir_ / "back/a.mp3"), a);
    }
  }
}

// Ctrl-C during a get: nothing of the file in flight is left in the folder.
TEST_F(cli_player, InterruptedGetLeavesNoPartOfTheFile) {
  StartPlayer(8);
  Format();
  Pc("big.mp3", 3 * 1024 * 1024, 2);
  ASSERT_EQ(Z({"put", "big.mp3"}).exit, 0);
  const std::string out = dir_.Sub("out");
  const std::uint64_t before = Commands();
  const pid_t pid = StartInBackground({Zk27(), "get", "big.mp3"}, out, socket_, dir_ / "get.err", tcp_);
  for (int i = 0; i < 500 && Commands() < before + 12; ++i) ::usleep(10000);
  // Windows has no SIGTERM (wine ends the program on it at once); its
  // Ctrl-C is wine's SIGINT.
  ::kill(pid, Zk27UnderWine() ? SIGINT : SIGTERM);
  EXPECT_EQ(WaitFor(pid), 130);
  EXPECT_TRUE(std::filesystem::is_empty(out)) << "something was left in the folder";
  EXPECT_EQ(FileLines(dir_ / "get.err"), std::vector<std::string>{"zk27: interrupted; 0 of 1 file fetched"});
}

// The card taken out of the player during a put: one line says what
// happened, to which file, and how far the run got; the files sent before
// are on the card when it is back.
TEST_F(cli_player, CardPulledDuringAPutIsOneLine) {
  StartPlayer(8);
  Format();
  const Bytes a = Pc("a.mp3", 1000, 1);
  Pc("big.mp3", 3 * 1024 * 1024, 2);
  Pc("c.mp3", 1000, 3);
  const std::string err = dir_ / "put.err";
  const std::uint64_t before = Commands();
  const pid_t pid = StartInBackground({Zk27(), "put", "a.mp3", "big.mp3", "c.mp3"}, pc_, socket_, err, tcp_);
  for (int i = 0; i < 500 && Commands() < before + 20; ++i) ::usleep(10000);
  Ctl({"eject"});
  EXPECT_EQ(WaitFor(pid), 3);
  EXPECT_EQ(FileLines(err), std::vector<std::string>{"zk27: card removed during big.mp3; 1 of 3 files sent"});
  Ctl({"insert"});
  EXPECT_EQ(LsNames(), Names{"a.mp3"});
  ASSERT_EQ(Z({"get", "a.mp3"}, dir_.Sub("back")).exit, 0);
  EXPECT_EQ(*ReadFile(dir_ / "back/a.mp3"), a);
}

}  // namespace

namespace {

// The settings folder of a test's own, for the commands it runs.
class ConfigHome {
 public:
  explicit ConfigHome(const std::string& path) { ::setenv("XDG_CONFIG_HOME", path.c_str(), 1); }
  ~ConfigHome() { ::unsetenv("XDG_CONFIG_HOME"); }
};

// Every file under `folder` as "day/name", its record left out.
Names ImportedFiles(const std::string& folder) {
  Names found;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder, ec)) {
    const std::string rel = std::filesystem::relative(e.path(), folder).string();
    if (e.is_regular_file() && rel != ".zk27-imports") found.push_back(rel);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::size_t RecordLines(const std::string& folder) { return FileLines(folder + "/.zk27-imports").size(); }

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A size as zk27 shows it: "200 bytes", "20.0 kB", "1.2 MB".
std::string HumanSizeOf(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  char text[32];
  if (bytes < 999950) std::snprintf(text, sizeof text, "%.1f kB", double(bytes) / 1e3);
  else std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
  return text;
}

// A voice file whose signature is spoilt: the decoder refuses it.
Bytes Damaged() {
  const std::string head = "Creative Voxce F?le\x1A";
  Bytes b(head.begin(), head.end());
  b.resize(200, 0x11);
  return b;
}

}  // namespace

// zk27 import over the player: recordings made on the player go to today's
// folder, a date name to its own day; once only; --dry-run lists; the
// damaged one is named, left on the card, and fails the run (1); --free
// deletes only what was proven; the settings give the folder and a bad
// line is named.
TEST_F(cli_player, ImportBringsRecordingsHomeAndFreesOnlyWhatItProved) {
  ZK27_SKIP_UNDER_WINE("its settings are put in $XDG_CONFIG_HOME, and the notification is D-Bus's");
  StartPlayer(4);
  Format();
  const ConfigHome config(dir_.Sub("config"));
  const Bytes memo = Memo(dir_.Sub("memos") + "/one.wav", "1.5");
  Ctl({"record", dir_ / "memos/one.wav"});
  const Bytes dated = Pc("250704001.voc", 20000, 1);  // any bytes are headerless ADPCM
  ASSERT_TRUE(WriteFile(pc_ + "/bad.voc", Damaged()));
  Pc("song.mp3", 500, 2);
  ASSERT_EQ(Z({"put", "250704001.voc", "bad.voc", "song.mp3"}).exit, 0);
  const std::string today = TodayYymmdd();
  const std::string day = "20" + today.substr(0, 2) + "-" + today.substr(2, 2) + "-" + today.substr(4, 2);
  const std::string home = dir_ / "home";

  const RunResult plan = Z({"import", "--dry-run", home});
  EXPECT_EQ(plan.exit, 0) << plan;
  EXPECT_EQ(Lines(plan.out), (Names{today + "001.voc  " + HumanSizeOf(memo.size()) + "  -> " + home + "/" + day +
                                        "/" + today + "001.wav",
                                    "250704001.voc  20.0 kB  -> " + home + "/2025-07-04/250704001.wav",
                                    "bad.voc  200 bytes  -> " + home + "/" + day + "/bad.wav",
                                    "3 recordings to import (" + HumanSizeOf(memo.size() + 20200) + ")"}));
  EXPECT_FALSE(std::filesystem::exists(home)) << "a dry run wrote into DIR";

  const RunResult first = Z({"import", home});
  EXPECT_EQ(first.exit, 1) << first;
  EXPECT_EQ(first.err, "zk27: bad.voc: the decoder cannot read this recording (damaged?); it was not imported and "
                       "stays on the card\n");
  const std::uint64_t bytes = std::filesystem::file_size(home + "/" + day + "/" + today + "001.wav") +
                              std::filesystem::file_size(home + "/2025-07-04/250704001.wav");
  EXPECT_EQ(first.out, "2 recordings imported (" + HumanSizeOf(bytes) + ")\n");
  EXPECT_EQ(ImportedFiles(home), (Names{"2025-07-04/250704001.wav", day + "/" + today + "001.wav"}));
  EXPECT_EQ(RecordLines(home), 2u);

  // Nothing new; then --free with nothing new frees nothing.
  const RunResult second = Z({"import", "--free", home});
  EXPECT_EQ(second.exit, 1) << second;
  EXPECT_EQ(second.out, "0 recordings imported (0 bytes)\n");
  EXPECT_EQ(LsNames(), (Names{"song.mp3", today + "001.voc", "250704001.voc", "bad.voc"}));

  // --again --free, the settings giving the folder and the format.
  std::filesystem::create_directories(dir_ / "config/zk27");
  ASSERT_TRUE(WriteFile(dir_ / "config/zk27/import.conf", ToBytes("folder = " + home + "\nformat = flac\n")));
  const RunResult freed = Z({"import", "--again", "--free", "--keep-voc"});
  EXPECT_EQ(freed.exit, 1) << freed;
  EXPECT_TRUE(Holds(freed.out, "2 recordings imported (")) << freed;
  EXPECT_TRUE(Holds(freed.out, "), 2 freed from the card (" + HumanSizeOf(memo.size() + 20000) + ")\n")) << freed;
  EXPECT_EQ(LsNames(), (Names{"song.mp3", "bad.voc"}));
  EXPECT_TRUE(SameBytes(home + "/2025-07-04/250704001.voc", dated));
  EXPECT_TRUE(std::filesystem::exists(home + "/2025-07-04/250704001.flac"));
  EXPECT_EQ(RecordLines(home), 4u);

  ASSERT_TRUE(WriteFile(dir_ / "config/zk27/import.conf", ToBytes("# memos\nfolder = " + home + "\nfree = maybe\n")));
  const RunResult bad = Z({"import"});
  EXPECT_EQ(bad.exit, 2) << bad;
  EXPECT_EQ(bad.err, "zk27: " + (dir_ / "config/zk27/import.conf") + ":3: free takes yes or no\n");
}

// zk27 import --notify as the plug-in unit runs it: no DIR, the settings
// giving the folder; the summary line reaches the desktop's notifications.
TEST_F(cli_player, ImportWithNotifyTakesTheSettingsAndTellsTheDesktop) {
  ZK27_SKIP_UNDER_WINE("its settings are put in $XDG_CONFIG_HOME, and the notification is D-Bus's");
  if (std::system("command -v dbus-run-session >/dev/null") != 0) GTEST_SKIP() << "no dbus-run-session";
  const std::string python = PythonWithGi();
  if (python.empty()) GTEST_SKIP() << "no python3 with GLib's bindings (package python3-gi)";
  StartPlayer(4);
  Format();
  const ConfigHome config(dir_.Sub("config"));
  Pc("250704001.voc", 20000, 1);
  ASSERT_EQ(Z({"put", "250704001.voc"}).exit, 0);
  const std::string home = dir_ / "home";
  std::filesystem::create_directories(dir_ / "config/zk27");
  ASSERT_TRUE(WriteFile(dir_ / "config/zk27/import.conf", ToBytes("folder = " + home + "\n")));
  FakeService service(dir_, python);
  ASSERT_TRUE(service.Running());
  const RunResult r = Z({"import", "--notify"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(ImportedFiles(home), Names{"2025-07-04/250704001.wav"});
  const std::vector<std::string> calls = service.Calls();
  ASSERT_EQ(calls.size(), 1u) << r;
  EXPECT_TRUE(Holds(r.out, "1 recording imported (")) << r;
  EXPECT_EQ(Field(calls[0], "summary"), "\"" + r.out.substr(0, r.out.size() - 1) + "\"");
  EXPECT_NE(Field(calls[0], "body").find(home), std::string::npos) << calls[0];
}

// An import cut by Ctrl-C, by the card pulled and by a full disk: no part
// file in DIR, no line for what was not proven, the card not freed; the
// next import completes.
TEST_F(cli_player, ImportCutAnywhereGoesOnNextTime) {
  StartPlayer(8);
  const ConfigHome config(dir_.Sub("config"));
  Pc("a.voc", 3000, 1);
  Pc("big.voc", 3 * 1024 * 1024, 2);  // half a second through the player
  enum class Cut { kInterrupt, kPull, kDiskFull };
  struct Case {
    const char* what;
    Cut cut;
    int exit;
    std::string err;
    std::size_t proven;
  } cases[] = {
      {"Ctrl-C", Cut::kInterrupt, 130,
       "zk27: the card was not freed: the import did not end whole\nzk27: interrupted; 1 recording imported\n", 1},
      {"card pulled", Cut::kPull, 3,
       "zk27: card removed during big.voc\nzk27: the card was not freed: the import did not end whole\n", 1},
      {"disk full", Cut::kDiskFull, 1,
       "zk27: a.voc: its sound file could not be written (is the disk full?); nothing was kept\n"
       "zk27: the card was not freed: the import did not end whole\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Format();
    ASSERT_EQ(Z({"put", "a.voc", "big.voc"}).exit, 0);
    const std::string home = dir_ / ("home" + std::to_string(&c - cases));
    int exit = -1;
    std::vector<std::string> err;
    if (c.cut == Cut::kDiskFull) {
      rlimit old{};
      ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
      rlimit limited = old;
      limited.rlim_cur = 4000;  // a.voc's fetch goes in, its sound file does not
      auto* const oldHandler = std::signal(SIGXFSZ, SIG_IGN);
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
      const RunResult r = Z({"import", "--free", home});
      ::setrlimit(RLIMIT_FSIZE, &old);
      std::signal(SIGXFSZ, oldHandler);
      exit = r.exit;
      err = Lines(r.err);
    } else {
      const std::string errFile = dir_ / "import.err";
      const std::uint64_t before = Commands();
      const pid_t pid = StartInBackground({Zk27(), "import", "--free", home}, pc_, socket_, errFile, tcp_);
      // Under way: a.voc home, big.voc's fetch begun.
      for (int i = 0; i < 500 && Commands() < before + 16; ++i) ::usleep(10000);
      if (c.cut == Cut::kInterrupt) ::kill(pid, SIGINT);
      else Ctl({"eject"});
      exit = WaitFor(pid);
      err = FileLines(errFile);
      if (c.cut == Cut::kPull) Ctl({"insert"});
    }
    EXPECT_EQ(exit, c.exit);
    EXPECT_EQ(err, Lines(c.err));
    EXPECT_EQ(ImportedFiles(home), c.proven ? Names{ImportedFiles(home).front()} : Names{});
    if (c.proven) EXPECT_TRUE(ImportedFiles(home).front().ends_with("/a.wav"));
    EXPECT_EQ(RecordLines(home), c.proven);
    EXPECT_EQ(LsNames(), (Names{"a.voc", "big.voc"})) << "the card was freed";
    EXPECT_EQ(Z({"check"}).exit, 0);

    const RunResult next = Z({"import", "--free", home});
    EXPECT_EQ(next.exit, 0) << next;
    EXPECT_TRUE(Holds(next.out, std::to_string(2 - c.proven) + " freed from the card")) << next;
    EXPECT_EQ(ImportedFiles(home).size(), 2u);
    EXPECT_EQ(RecordLines(home), 2u);
    EXPECT_EQ(LsNames().size(), c.proven);
  }
}
