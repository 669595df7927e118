// zk27-player as a separate process, reached with the real driver calls over
// its socket and steered with `zk27-player ctl`.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/card_image.h"
#include "support/files.h"
#include "support/player_protocol.h"
#include "support/programs.h"
#include "gadget.h"
#include "voc_writer.h"

using namespace zk27_test;

namespace {

class player_daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    card_ = dir_ / "card.img";
    socket_ = dir_ / "run/p.sock";
    ::setenv("ZK27_PLAYER_SOCKET", socket_.c_str(), 1);
  }
  void TearDown() override {
    StopDaemon();
    ::unsetenv("ZK27_PLAYER_TCP");
  }

  // Starts the daemon and waits for its ready line.
  void StartDaemon(int sizeMiB = 1) {
    ASSERT_EQ(daemon_.Start(static_cast<std::uint32_t>(sizeMiB)),
              "zk27-player: serving " + card_ + " on " + socket_ + "\n");
  }

  // Waits for the daemon to end; returns its wait status.
  int Reap(int signal = 0) { return daemon_.Reap(signal); }
  void StopDaemon() { Reap(SIGTERM); }

  RunResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), PlayerBin());
    return RunProgram(args, dir_.path());
  }
  RunResult Ctl(const std::vector<std::string>& words) {
    std::vector<std::string> args{"ctl", "--socket", socket_};
    args.insert(args.end(), words.begin(), words.end());
    return Run(args);
  }

  std::uint16_t Status() {
    Bytes none;
    return Exchange(StatusCommand(), 0, &none);
  }

  TempDir dir_;
  std::string card_;
  std::string socket_;
  PlayerProcess daemon_{dir_ / "card.img", dir_ / "run/p.sock", dir_.path()};
};

TEST_F(player_daemon, ServesTheCardThroughTheDriver) {
  const mode_t wide = ::umask(0);  // the sockets' mode must not hang on the umask
  StartDaemon(1);
  ::umask(wide);
  for (const std::string& socket : {socket_, socket_ + ".ctl"}) {
    struct stat st {};
    ASSERT_EQ(::stat(socket.c_str(), &st), 0) << socket;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << socket;
  }
  EXPECT_EQ(Status(), 0);
  Bytes info(512);
  ASSERT_EQ(Exchange(IdentifyCommand(), 1, &info), 0);
  EXPECT_EQ(info[16], 0x08);  // a blank card of 1 MiB: 2048 sectors

  Bytes cluster;
  for (std::uint32_t s = 0; s < 128; ++s) {
    const Bytes p = Pattern(s, 9);
    cluster.insert(cluster.end(), p.begin(), p.end());
  }
  ASSERT_EQ(Exchange(WriteCommand(1000, 128), 128, &cluster, true), 0);
  EXPECT_EQ(ReadAt(card_, 1000 * 512, cluster.size()), cluster);
  Bytes back(cluster.size());
  ASSERT_EQ(Exchange(ReadCommand(1000, 128), 128, &back), 0);
  EXPECT_EQ(back, cluster);

  const RunResult s = Ctl({"status"});
  EXPECT_EQ(s.exit, 0);
  EXPECT_NE(s.out.find("card: " + card_ + "\n"), std::string::npos) << s.out;
  EXPECT_NE(s.out.find("size: 2048 sectors\n"), std::string::npos) << s.out;
  EXPECT_NE(s.out.find("\ncommands: 4\n"), std::string::npos) << s.out;
}

// Data that is not the write's (one sector too many in the one message):
// the daemon writes nothing of it and hangs up; the next command is served.
TEST_F(player_daemon, OversizedDataPhaseIsDroppedUnwritten) {
  StartDaemon(1);
  const Bytes command = WriteCommand(1000, 128);
  const Bytes data(129 * 512, 0x5A);
  const BulkHandle dev = open_dev(), in = open_read(), out = open_write();
  ASSERT_NE(dev, kInvalidBulkHandle);
  std::uint32_t done = 0;
  std::uint8_t reply[13];
  ASSERT_TRUE(pipe_write(out, command.data(), 31, &done));
  ASSERT_TRUE(pipe_read(in, reply, 2, &done));
  ASSERT_EQ(done, 2u);
  EXPECT_TRUE(pipe_write(out, data.data(), static_cast<std::uint32_t>(data.size()), &done));
  EXPECT_FALSE(pipe_read(in, reply, 13, &done));  // no completion: the player hung up
  for (BulkHandle h : {dev, in, out}) close_handle(h);
  EXPECT_EQ(ReadAt(card_, 1000 * 512, 128 * 512), Bytes(128 * 512, 0));
  EXPECT_EQ(Status(), 0);
}

TEST_F(player_daemon, ControlRequestsChangeWhatTheHostSees) {
  StartDaemon();
  ASSERT_EQ(Ctl({"eject"}).exit, 0);
  EXPECT_EQ(Status(), 0x0080);
  EXPECT_NE(Ctl({"status"}).out.find("card inserted: no\n"), std::string::npos);
  ASSERT_EQ(Ctl({"insert"}).exit, 0);
  ASSERT_EQ(Ctl({"busy", "on"}).exit, 0);
  EXPECT_EQ(Status(), 0x0001);
  ASSERT_EQ(Ctl({"busy", "off"}).exit, 0);
  ASSERT_EQ(Ctl({"not-ready", "on"}).exit, 0);
  EXPECT_EQ(Status(), 0x007F);
  ASSERT_EQ(Ctl({"not-ready", "off"}).exit, 0);
  ASSERT_EQ(Ctl({"recheck"}).exit, 0);
  EXPECT_EQ(Status(), 0x0002);
  EXPECT_EQ(Status(), 0);
  ASSERT_EQ(Ctl({"fail-after", "2"}).exit, 0);
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(Status(), 0xFF7F);  // received, never answered
  EXPECT_EQ(Status(), 0);

  ASSERT_EQ(Ctl({"unplug"}).exit, 0);
  EXPECT_EQ(Status(), 0x0003);  // nobody to connect to
  EXPECT_NE(Ctl({"status"}).out.find("plugged: no\n"), std::string::npos);
  ASSERT_EQ(Ctl({"plug"}).exit, 0);
  EXPECT_EQ(Status(), 0);
  EXPECT_NE(Ctl({"status"}).out.find("\ncommands: 9\n"), std::string::npos);

  // A socket has no endpoint to halt.
  const RunResult stall = Ctl({"stall"});
  EXPECT_EQ(stall.exit, 1);
  EXPECT_NE(stall.err.find("stall needs the player on a USB bus"), std::string::npos) << stall.err;
  EXPECT_EQ(Status(), 0);
}

// What the player hands a functionfs ep0, read as the kernel reads it: the
// header, then each descriptor by its own length.
TEST_F(player_daemon, GadgetDescriptorsDescribeTheTwoBulkPipes) {
  const Bytes d = player::GadgetDescriptors();
  ASSERT_GE(d.size(), 20u);
  EXPECT_EQ(Le32(d, 0), 3u);  // the second version of the block
  EXPECT_EQ(Le32(d, 4), d.size());
  EXPECT_EQ(Le32(d, 8), 3u);  // full and high speed
  EXPECT_EQ(Le32(d, 12), 3u);
  EXPECT_EQ(Le32(d, 16), 3u);
  std::size_t at = 20;
  for (const unsigned packet : {64u, 512u}) {
    ASSERT_LE(at + 9, d.size());
    EXPECT_EQ(Bytes(d.begin() + at, d.begin() + at + 9), (Bytes{9, 4, 0, 0, 2, 0xFF, 0, 0, 1}));
    at += d[at];
    for (const std::uint8_t address : {0x81, 0x02}) {
      ASSERT_LE(at + 7, d.size());
      EXPECT_EQ(Bytes(d.begin() + at, d.begin() + at + 7),
                (Bytes{7, 5, address, 2, static_cast<std::uint8_t>(packet), static_cast<std::uint8_t>(packet >> 8), 0}))
          << "packets of " << packet;
      at += d[at];
    }
  }
  EXPECT_EQ(at, d.size());

  const Bytes s = player::GadgetStrings();
  ASSERT_GE(s.size(), 18u);
  EXPECT_EQ(Le32(s, 0), 2u);
  EXPECT_EQ(Le32(s, 4), s.size());
  EXPECT_EQ(Le32(s, 8), 1u);
  EXPECT_EQ(Le32(s, 12), 1u);
  EXPECT_EQ(Le16(s, 16), 0x0409u);
  EXPECT_EQ(std::string(s.begin() + 18, s.end()), std::string("ZK27 player", 12));
}

// A folder that is no functionfs instance: the player says so and leaves
// no socket behind.
TEST_F(player_daemon, GadgetOnAPlainFolderIsRefused) {
  const RunResult r = Run({"serve", "--card", card_, "--socket", socket_, "--gadget", dir_.path()});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("cannot open " + (dir_ / "ep0") + ": "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("is a functionfs instance mounted on " + dir_.path() + "?"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(socket_ + ".ctl"));
}

TEST_F(player_daemon, CompletedWriteSurvivesAKilledDaemon) {
  StartDaemon();
  Bytes sector = Pattern(77, 1);
  ASSERT_EQ(Exchange(WriteCommand(77, 1), 1, &sector, true), 0);
  const int status = Reap(SIGKILL);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ReadAt(card_, 77 * 512, 512), sector);

  // Its socket files are left behind; the next daemon clears them.
  EXPECT_TRUE(std::filesystem::exists(socket_));
  StartDaemon();
  Bytes back(512);
  ASSERT_EQ(Exchange(ReadCommand(77, 1), 1, &back), 0);
  EXPECT_EQ(back, sector);
}

TEST_F(player_daemon, QuitAndTermEndCleanlyAndASecondDaemonIsRefused) {
  StartDaemon();
  const RunResult second = Run({"serve", "--card", dir_ / "other.img", "--socket", socket_});
  EXPECT_EQ(second.exit, 1);
  EXPECT_NE(second.err.find("already answering"), std::string::npos) << second.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "other.img"));

  EXPECT_EQ(Ctl({"quit"}).exit, 0);
  const int status = Reap();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(socket_));
  EXPECT_FALSE(std::filesystem::exists(socket_ + ".ctl"));

  const RunResult gone = Ctl({"status"});
  EXPECT_EQ(gone.exit, 1);
  EXPECT_NE(gone.err.find("no zk27-player is running"), std::string::npos) << gone.err;

  StartDaemon();
  const int termStatus = Reap(SIGTERM);
  ASSERT_TRUE(WIFEXITED(termStatus));
  EXPECT_EQ(WEXITSTATUS(termStatus), 0);
  EXPECT_FALSE(std::filesystem::exists(socket_));
  EXPECT_FALSE(std::filesystem::exists(socket_ + ".ctl"));
}

// The card gets the voice file made of the WAV file; a file that is no sound
// is refused and leaves the directory as it was.
TEST_F(player_daemon, RecordRequestWritesAVoiceFile) {
  ASSERT_TRUE(MakeBlankImage(card_, 2048));
  const Layout geo = FormatImage(card_, 2048);
  StartDaemon();
  const std::string wavPath = dir_ / "memo.wav";
  ASSERT_EQ(Run({"tone", "4.5", wavPath}).exit, 0);
  Bytes voc;
  std::string problem;
  ASSERT_TRUE(tvdh::WavToVoiceFile(wavPath, &voc, &problem)) << problem;

  const RunResult done = Ctl({"record", wavPath});
  EXPECT_EQ(done.exit, 0) << done.err;
  EXPECT_NE(done.out.find("0x81"), std::string::npos) << done.out;
  const Bytes entry = ReadAt(card_, geo.dirStart * 512ull, 32);
  EXPECT_EQ(entry[12], 0x81);
  EXPECT_EQ(Le16(entry, 26), 2u);
  EXPECT_EQ(Le32(entry, 28), voc.size());
  EXPECT_EQ(ReadAt(card_, geo.ClusterOffset(2), voc.size()), voc);

  const std::string rawPath = dir_ / "memo.raw";
  ASSERT_TRUE(MakeBlankImage(rawPath, 0));
  ASSERT_TRUE(WriteAt(rawPath, 0, Bytes(3000, 0x5A)));
  const RunResult noSound = Ctl({"record", rawPath});
  EXPECT_EQ(noSound.exit, 1);
  EXPECT_NE(noSound.err.find("not recorded: " + rawPath + " is not a sound file"), std::string::npos)
      << noSound.err;
  EXPECT_EQ(ReadAt(card_, geo.dirStart * 512ull + 32, 32), Bytes(32, 0)) << "a refused file was stored";

  ASSERT_EQ(Ctl({"eject"}).exit, 0);
  const RunResult refused = Ctl({"record", wavPath});
  EXPECT_EQ(refused.exit, 1);
  EXPECT_NE(refused.err.find("no card"), std::string::npos) << refused.err;
}

// With --tcp the player answers on the loopback too, each message framed by
// its length; the driver reaches it there through ZK27_PLAYER_TCP. Anything
// off the loopback is refused by both.
TEST_F(player_daemon, AnswersOverTcpOnTheLoopbackOnly) {
  for (const char* address : {"10.0.0.1:5000", "0.0.0.0:5000", "localhost:5000", "127.0.0.1:70000", "127.0.0.1"}) {
    SCOPED_TRACE(address);
    const RunResult r = Run({"serve", "--card", card_, "--socket", socket_, "--tcp", address});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.err, std::string("zk27-player: --tcp ") + address + ": not an address on the loopback (127.0.0.1:PORT)\n");
    EXPECT_FALSE(std::filesystem::exists(card_));
  }
  const std::string line = daemon_.Start(1, {"--tcp", "127.0.0.1:0"});
  const std::string said = "zk27-player: serving " + card_ + " on " + socket_ + " and on TCP 127.0.0.1:";
  ASSERT_EQ(line.substr(0, said.size()), said) << line;
  const std::string port = line.substr(said.size(), line.size() - said.size() - 1);
  ::setenv("ZK27_PLAYER_TCP", ("127.0.0.1:" + port).c_str(), 1);
  ::setenv("ZK27_PLAYER_SOCKET", (dir_ / "nobody.sock").c_str(), 1);
  Bytes cluster;
  for (std::uint32_t s = 0; s < 128; ++s) {
    const Bytes p = Pattern(s, 3);
    cluster.insert(cluster.end(), p.begin(), p.end());
  }
  EXPECT_EQ(Exchange(WriteCommand(500, 128), 128, &cluster, true), 0);
  EXPECT_EQ(ReadAt(card_, 500 * 512, cluster.size()), cluster);
  Bytes back(cluster.size());
  EXPECT_EQ(Exchange(ReadCommand(500, 128), 128, &back), 0);
  EXPECT_EQ(back, cluster);

  for (const std::string& off : {"192.168.1.1:" + port, "localhost:" + port, std::string("127.0.0.1:0")}) {
    ::setenv("ZK27_PLAYER_TCP", off.c_str(), 1);
    EXPECT_EQ(Status(), 0x0003) << off;
    EXPECT_EQ(bulkusb::LastOpenRefusal().kind, bulkusb::Refusal::kAddress) << off;
    EXPECT_EQ(bulkusb::LastOpenRefusal().path, off);
  }
  ::unsetenv("ZK27_PLAYER_TCP");
}

TEST_F(player_daemon, UsageErrorsExitWithTwo) {
  EXPECT_EQ(Run({}).exit, 2);
  EXPECT_EQ(Run({"serve", "--size", "0"}).exit, 2);
  EXPECT_EQ(Run({"serve", "--card"}).exit, 2);
  EXPECT_EQ(Ctl({"bogus"}).exit, 2);
  EXPECT_EQ(Ctl({"busy"}).exit, 2);
  EXPECT_EQ(Ctl({"fail-after", "x"}).exit, 2);
  EXPECT_EQ(Ctl({"status", "extra"}).exit, 2);
  EXPECT_EQ(Ctl({"stall", "extra"}).exit, 2);
  EXPECT_EQ(Run({"serve", "--udc-file", dir_ / "UDC"}).exit, 2);
  EXPECT_EQ(Run({"serve", "--gadget"}).exit, 2);
  EXPECT_EQ(Run({"serve", "--tcp"}).exit, 2);
  EXPECT_EQ(Run({"serve", "--tcp", "127.0.0.1:0", "--gadget", dir_.path()}).exit, 2);
  EXPECT_EQ(Run({"tone", "0", dir_ / "t.wav"}).exit, 2);
  EXPECT_EQ(Run({"tone", "1"}).exit, 2);
  EXPECT_EQ(Run({"--help"}).exit, 0);
}

}  // namespace
