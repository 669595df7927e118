// zk27 killed at each sector write of a put and of an rm on a card image
// (strace injects SIGKILL at the K-th pwrite64), and zk27 format cut off at
// every command by the virtual player: whatever is cut, the files stored
// before stay whole, and a format that did not finish never says it did.
#include "support/card_image.h"
#include "support/cli.h"

using namespace zk27_test;

namespace {

using Names = std::vector<std::string>;
using Files = std::map<std::string, Bytes>;

class cli_faults : public CliTest {
 protected:
  using CliTest::Z;

  RunOptions Options(const std::string& cwd) {
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    o.env["XDG_RUNTIME_DIR"] = dir_.Sub("run");
    o.env["ZK27_LOCK_WAIT"] = "0.3";
    return o;
  }
  RunResult Z(std::vector<std::string> args, const std::string& cwd) override {
    std::vector<std::string> argv = {Zk27(), "--image", card_};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunProgram(argv, dir_.path(), Options(cwd));
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut) << r;
    EXPECT_FALSE(r.signaled) << r;
    return r;
  }
  // zk27 --image CARD args... under strace with `filter`.
  RunResult Traced(const std::string& filter, const std::string& out, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {strace_, "-f", "-o", out, "-e", filter, Zk27(), "--image", card_};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o = Options("");
    // Under the sanitizer build: the leak checker cannot run under ptrace.
    if (const char* asan = std::getenv("ASAN_OPTIONS"); asan && *asan)
      o.env["ASAN_OPTIONS"] = std::string(asan) + ":detect_leaks=0";
    return RunProgram(argv, dir_.path(), o);
  }

  // Skips the case, saying why, when strace cannot trace a child here.
  bool StraceWorks() {
    strace_ = FindStrace();
    if (strace_.empty()) {
      reason_ = "strace is not installed (scripts/setup installs it)";
      return false;
    }
    const RunResult r = RunProgram({strace_, "-f", "-o", "/dev/null", "-e", "inject=pwrite64:signal=SIGKILL:when=1",
                                    "/bin/true"},
                                   dir_.path());
    if (r.exit != 0) {
      reason_ = "strace cannot trace here (ptrace not permitted?): " + r.err;
      return false;
    }
    return true;
  }

  // The pwrite64 calls zk27 makes for `args` on the card as it is now (the
  // card is put back afterwards).
  int CountWrites(const std::vector<std::string>& args) {
    const Bytes before = *ReadFile(card_);
    const std::string log = dir_ / "writes.trace";
    const RunResult r = Traced("trace=pwrite64", log, args);
    EXPECT_EQ(r.exit, 0) << r;
    EXPECT_TRUE(WriteFile(card_, before));
    return Count(ReadText(log), "pwrite64(");
  }

  // The card with three files; their contents.
  void ThreeFileCard() {
    ASSERT_TRUE(MakeBlankImage(card_, 2 * kSectorsPerMiB));
    ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
    for (const auto& [name, bytes] : stored_) ASSERT_TRUE(WriteFile(pc_ + "/" + name, bytes));
    ASSERT_EQ(Z({"put", "a.mp3", "b.mp3", "c.voc"}).exit, 0);
    for (const auto& [name, bytes] : new_) ASSERT_TRUE(WriteFile(pc_ + "/" + name, bytes));
  }

  // zk27 --image ls and get after the cut: the list is what the oracle
  // found, and every file on it comes back byte for byte; a new file still
  // goes on and the oracle still holds.
  void Afterwards(const card_oracle::Survey& s, const Files& untouched, const Files& targets) {
    std::vector<std::string> listed = LsNames();
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, s.Names());
    const std::string back = dir_.Sub("back-" + std::to_string(++round_));
    std::vector<std::string> get = {"get"};
    for (const std::string& n : s.Names()) get.push_back(n);
    if (get.size() > 1) {
      const RunResult got = Z(get, back);
      EXPECT_EQ(got.exit, 0) << got;
    }
    for (const std::string& n : s.Names())
      EXPECT_TRUE(SameBytes(back + "/" + n, untouched.count(n) ? untouched.at(n) : targets.at(n)));

    const Bytes fresh = Content(65536 + 9, 99);
    ASSERT_TRUE(WriteFile(pc_ + "/fresh.mp3", fresh));
    const RunResult put = Z({"put", "fresh.mp3"});
    EXPECT_EQ(put.exit, 0) << put;
    Files all;
    for (const std::string& n : s.Names()) all[n] = untouched.count(n) ? untouched.at(n) : targets.at(n);
    all["fresh.mp3"] = fresh;
    card_oracle::Judge(card_, all, {});
  }

  // Kills zk27 `args` at each of its sector writes in turn, from the card
  // as it is now.
  void KillAtEveryWrite(const std::vector<std::string>& args, const Files& untouched, const Files& targets) {
    const Bytes start = *ReadFile(card_);
    const int writes = CountWrites(args);
    ASSERT_GE(writes, 4) << "every put and rm writes its tables";
    for (int k = 1; k <= writes; ++k) {
      SCOPED_TRACE("zk27 " + args[0] + " killed at sector write " + std::to_string(k) + " of " + std::to_string(writes));
      ASSERT_TRUE(WriteFile(card_, start));
      const RunResult r = Traced("inject=pwrite64:signal=SIGKILL:when=" + std::to_string(k), "/dev/null", args);
      // strace ends as its child did.
      EXPECT_TRUE(r.signaled && r.signal == SIGKILL) << r;
      const card_oracle::Survey s = card_oracle::Judge(card_, untouched, targets);
      Afterwards(s, untouched, targets);
      if (HasFatalFailure()) return;
    }
  }

  const Files stored_ = {{"a.mp3", Content(70000, 1)}, {"b.mp3", Content(65536, 2)}, {"c.voc", Content(300, 3)}};
  const Files new_ = {{"n0.mp3", {}}, {"n1.voc", Content(1000, 4)}, {"n3.mp3", Content(3 * 65536 - 100, 5)}};
  std::string strace_;
  std::string reason_;
  int round_ = 0;
};

TEST_F(cli_faults, PutKilledAtEverySectorWrite) {
  if (!StraceWorks()) GTEST_SKIP() << reason_;
  ThreeFileCard();
  if (HasFatalFailure()) return;
  KillAtEveryWrite({"put", "n0.mp3", "n1.voc", "n3.mp3"}, stored_, new_);
}

TEST_F(cli_faults, RmKilledAtEverySectorWrite) {
  if (!StraceWorks()) GTEST_SKIP() << reason_;
  ThreeFileCard();
  if (HasFatalFailure()) return;
  Files untouched = stored_, target;
  target.insert(untouched.extract("a.mp3"));
  KillAtEveryWrite({"rm", "a.mp3"}, untouched, target);
}

// ---- format over the virtual player, cut at every command ---------------------

class cli_format_faults : public CliTest {
 protected:
  using CliTest::Z;
  void SetUp() override {
    CliTest::SetUp();
    socket_ = dir_ / "player.sock";
  }
  RunResult Z(std::vector<std::string> args, const std::string& cwd) override {
    std::vector<std::string> argv = {Zk27()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = socket_;
    o.env["XDG_RUNTIME_DIR"] = dir_.Sub("run");
    RunResult r = RunProgram(argv, dir_.path(), o);
    EXPECT_FALSE(r.timedOut) << r;
    EXPECT_FALSE(r.signaled) << r;
    return r;
  }
  RunResult Ctl(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {PlayerBin(), "ctl", "--socket", socket_};
    argv.insert(argv.end(), words.begin(), words.end());
    RunResult r = RunProgram(argv, dir_.path());
    EXPECT_EQ(r.exit, 0) << r;
    return r;
  }
  std::uint64_t Commands() {
    return CommandCount(Ctl({"status"}).out);
  }
  std::string socket_;
  std::unique_ptr<PlayerProcess> player_;
};

TEST_F(cli_format_faults, AFormatCutAtAnyCommandFailsAndKeepsOrDropsFilesWhole) {
  player_ = std::make_unique<PlayerProcess>(card_, socket_, dir_.path());
  const std::string ready = player_->Start(2);
  ASSERT_NE(ready.find("serving"), std::string::npos) << ready;
  ASSERT_EQ(Z({"format", "-y"}).exit, 0);
  const Files stored = {{"a.mp3", Content(70000, 1)}, {"b.mp3", Content(65536, 2)}, {"c.voc", Content(300, 3)}};
  for (const auto& [name, bytes] : stored) ASSERT_TRUE(WriteFile(pc_ + "/" + name, bytes));
  ASSERT_EQ(Z({"put", "a.mp3", "b.mp3", "c.voc"}).exit, 0);
  const Bytes start = *ReadFile(card_);

  const std::uint64_t before = Commands();
  const RunResult whole = Z({"format", "-y"});
  ASSERT_EQ(whole.exit, 0) << whole;
  ASSERT_TRUE(whole.err.empty()) << whole;
  // ctl's own requests are no card commands.
  const std::uint64_t commands = Commands() - before;
  ASSERT_GE(commands, 8u) << "status, identify, boot sector, read-back, directory, names, copy 1, copy 2";

  for (std::uint64_t n = 1; n <= commands; ++n) {
    SCOPED_TRACE("format cut at command " + std::to_string(n) + " of " + std::to_string(commands));
    // The player is idle between commands and reads nothing ahead, so the
    // card can be put back under it.
    ASSERT_TRUE(WriteAt(card_, 0, start));
    Ctl({"fail-after", std::to_string(n)});
    const RunResult r = Z({"format", "-y"});
    EXPECT_EQ(r.exit, 3) << r;
    EXPECT_TRUE(Holds(r.err, "zk27: ")) << r;
    EXPECT_TRUE(Holds(Ctl({"status"}).out, "fail-after: off\n")) << "the cut did not come";
    // The old files are whole or gone; nothing lies over a freed cluster.
    const card_oracle::Survey s = card_oracle::Judge(card_, {}, stored);
    const RunResult ls = Z({"ls"});
    EXPECT_EQ(ls.exit, 0) << ls;
    std::vector<std::string> listed = Lines(ls.out);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, s.Names());
  }
}

}  // namespace
