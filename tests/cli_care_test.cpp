// Looking after a card with zk27, on a card image and through the virtual
// player: backup and restore, renaming, the play order, and a folder kept in
// sync, with faults cut into the writing.
#include <sys/stat.h>

#include "support/cli.h"

using namespace zk27_test;

namespace {

using Names = std::vector<std::string>;
enum class Reach { kImage, kPlayer };

class cli_care : public CliTest, public ::testing::WithParamInterface<Reach> {
 protected:
  using CliTest::Z;
  void SetUp() override {
    CliTest::SetUp();
    socket_ = dir_ / "run/player.sock";
  }
  bool OnPlayer() const { return GetParam() == Reach::kPlayer; }
  // A hint as zk27 gives it on this test's card.
  std::string CardHint(const std::string& command) const {
    return OnPlayer() ? "'zk27 " + command + "'" : ImageHint(command);
  }

  // A formatted card of `mib` MiB, reached as the test's parameter says.
  void Card(std::uint32_t mib) {
    player_.reset();
    ASSERT_TRUE(MakeBlankImage(card_, mib * kSectorsPerMiB));
    if (OnPlayer()) {
      player_ = std::make_unique<PlayerProcess>(card_, socket_, dir_.path());
      ASSERT_NE(player_->Start(mib).find("serving"), std::string::npos);
    }
    const RunResult r = Z({"format", "--yes"});
    ASSERT_EQ(r.exit, 0) << r;
  }
  RunResult Z(std::vector<std::string> args, const std::string& cwd) override {
    std::vector<std::string> argv = {Zk27()};
    if (!OnPlayer()) argv.insert(argv.end(), {"--image", card_});
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = OnPlayer() ? socket_ : dir_ / "nobody.sock";
    return RunProgram(argv, dir_.path(), o);
  }
  // zk27 --image on another image.
  RunResult OnImage(const std::string& image, std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), {Zk27(), "--image", image});
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "nobody.sock";
    return RunProgram(args, dir_.path(), o);
  }
  void Ctl(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {PlayerBin(), "ctl", "--socket", socket_};
    argv.insert(argv.end(), words.begin(), words.end());
    const RunResult r = RunProgram(argv, dir_.path());
    ASSERT_EQ(r.exit, 0) << r;
  }
  // The player's "commands: N".
  std::uint64_t Commands() {
    return CommandCount(RunProgram({PlayerBin(), "ctl", "--socket", socket_, "status"}, dir_.path()).out);
  }
  // Puts files of these sizes on the card; returns their content by name.
  std::map<std::string, Bytes> Put(const std::vector<std::pair<std::string, std::size_t>>& files) {
    std::map<std::string, Bytes> content;
    std::vector<std::string> args = {"put"};
    std::uint32_t seed = 1;
    for (const auto& [name, size] : files) {
      content[name] = Pc(name, size, seed++);
      args.push_back(name);
    }
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, 0) << r;
    return content;
  }
  // Every file fetched from `image` (the card when empty) is `content`'s.
  void ExpectFiles(const std::map<std::string, Bytes>& content, const std::string& image = "") {
    const std::string out = dir_.Sub("out-" + std::to_string(fetches_++));
    const RunResult r = image.empty() ? Z({"get", "--all"}, out) : OnImage(image, {"get", "--all"}, out);
    ASSERT_EQ(r.exit, 0) << r;
    Names expected;
    for (const auto& [name, bytes] : content) {
      expected.push_back(name);
      EXPECT_TRUE(SameBytes(out + "/" + name, bytes)) << name;
    }
    EXPECT_EQ(FolderNames(out), expected);
  }
  // The sectors before the data area: boot sector, tables, directory, names.
  Bytes Tables(const std::string& image) { return ReadAt(image, 0, std::size_t{ReadLayout(image).data}); }

  std::string socket_;
  int fetches_ = 0;
  std::unique_ptr<PlayerProcess> player_;
};

TEST_P(cli_care, BackupAndRestoreGiveTheSameCard) {
  Card(8);
  const auto content = Put({{"a.mp3", 200000}, {"b.voc", 3000}, {"c.mp3", 0}, {"d.mp3", 70000}});
  const std::string backup = dir_ / "backup.img";
  const Bytes tables = Tables(card_);
  RunResult r = Z({"backup", backup});
  ASSERT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(r.out.empty() && r.err.empty()) << r;
  // The card's size, but only what is in use takes room on disk.
  struct stat st{};
  ASSERT_EQ(::stat(backup.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 8ull * 1024 * 1024);
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1024ull * 1024) << "the image is not sparse";
  EXPECT_EQ(Tables(backup), tables);
  EXPECT_EQ(OnImage(backup, {"check"}).exit, 0);
  ExpectFiles(content, backup);
  for (const std::string& name : FolderNames(dir_.path()))
    EXPECT_FALSE(Holds(name, ".part")) << "the backup left its part behind: " << name;

  // The card changes; the restore brings it back, tables byte for byte.
  ASSERT_EQ(Z({"rm", "a.mp3"}).exit, 0);
  Put({{"e.mp3", 130000}});
  r = Z({"restore", "--yes", backup});
  ASSERT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(r.err.empty()) << r;
  EXPECT_EQ(Tables(card_), tables);
  ExpectFiles(content);
  EXPECT_EQ(Z({"check"}).exit, 0);
  EXPECT_EQ(LsNames(), (Names{"a.mp3", "c.mp3", "d.mp3", "b.voc"}));

  // Onto a blank card of the same size, attached directly: the same card.
  const std::string blank = dir_ / "blank.img";
  ASSERT_TRUE(MakeBlankImage(blank, 8 * kSectorsPerMiB));
  r = OnImage(blank, {"restore", "-y", backup});
  ASSERT_EQ(r.exit, 0) << r;
  EXPECT_EQ(Tables(blank), tables);
  ExpectFiles(content, blank);
}

TEST_P(cli_care, RestoreRefusesWhatItCannotWriteWhole) {
  Card(4);
  Put({{"keep.mp3", 1000}});
  const Bytes before = *ReadFile(card_);
  const std::string big = dir_ / "big.img";
  ASSERT_TRUE(MakeBlankImage(big, 8 * kSectorsPerMiB));
  ASSERT_EQ(OnImage(big, {"format", "-y"}).exit, 0);
  RunResult r = Z({"restore", "-y", big});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err, "zk27: " + big + ": its volume is 8.4 MB, the card only 4.2 MB: the card cannot hold the image "
                   "as it is; nothing was written. " + CardHint("restore --files " + big) +
                   " formats the card at its own size and sends the image's files, if they fit\n");
  const std::string junk = dir_ / "junk.img";
  ASSERT_TRUE(WriteFile(junk, Content(40000, 3)));
  r = Z({"restore", "-y", junk});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_TRUE(Holds(r.err, "not a card image")) << r;
  EXPECT_EQ(Z({"restore", "-y", dir_ / "missing.img"}).exit, 1);
  // Not on a terminal and not told yes: a usage error, nothing asked.
  EXPECT_EQ(Z({"restore", big}).exit, 2);
  EXPECT_TRUE(SameBytes(card_, before)) << "a refused restore wrote to the card";
}

// An image onto a card of another size: a larger card is said to keep the
// image's volume before the question; --files formats the card at its own
// size and sends the files in their order, onto a larger card or a smaller
// one that holds them; a card that cannot is left untouched.
TEST_P(cli_care, RestoreFilesOntoACardOfAnotherSize) {
  Card(4);
  const auto content = Put({{"z.mp3", 1000000}, {"a.mp3", 70000}, {"memo.voc", 3000}});  // 19 clusters
  const std::string backup = dir_ / "backup.img";
  ASSERT_EQ(Z({"backup", backup}).exit, 0);
  const Names order = {"z.mp3", "a.mp3", "memo.voc"};
  const std::string unused = "zk27: " + backup + ": its volume is 4.2 MB, the card 8.4 MB: the card keeps the "
                             "image's volume and its other 4.2 MB stay unused; " + CardHint("restore --files " + backup) +
                             " formats the card at its own size and sends the image's files instead\n";
  Card(8);
  if (!OnPlayer()) {
    const auto [shown, exit] = OnTerminal({Zk27(), "--image", card_, "restore", backup}, "n\n");
    EXPECT_EQ(exit, 1) << shown;
    EXPECT_LT(shown.find("stay unused"), shown.find("[y/N]")) << shown;
  }
  RunResult r = Z({"restore", "-y", backup});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.err, unused);
  for (const std::uint32_t mib : {8u, 2u, 1u}) {
    SCOPED_TRACE(std::to_string(mib) + " MiB");
    Card(mib);
    const Bytes before = *ReadFile(card_);
    r = Z({"restore", "--files", "-y", backup});
    if (mib == 1) {
      EXPECT_EQ(r.exit, 1) << r;
      EXPECT_EQ(r.err, "zk27: the image does not fit: it needs 19 clusters (1.2 MB), the card has 14 clusters "
                       "(917.5 kB) once formatted; 5 short\nzk27: nothing was written\n");
      EXPECT_TRUE(SameBytes(card_, before)) << "a refused restore wrote to the card";
      continue;
    }
    EXPECT_EQ(r.exit, 0) << r;
    EXPECT_TRUE(r.err.empty()) << r;
    EXPECT_EQ(LsNames(), order);
    ExpectFiles(content);
    EXPECT_EQ(Z({"check"}).exit, 0);
    const Bytes total = ReadAt(card_, 32 * 512 + 32, 4);  // the boot sector's total
    EXPECT_EQ(total[0] | total[1] << 8 | total[2] << 16 | total[3] << 24, static_cast<int>(mib * kSectorsPerMiB));
  }
}

TEST_P(cli_care, RenameAndOrder) {
  Card(4);
  const auto content = Put({{"a.mp3", 70000}, {"b.mp3", 10}, {"c.mp3", 20}, {"v.voc", 30}});
  RunResult r = Z({"mv", "-v", "a.mp3", "Zulu.mp3"});
  ASSERT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out, "renamed a.mp3 to Zulu.mp3\n");
  std::vector<LongLine> l = ParseLong(Z({"ls", "-l"}).out);
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[0].name, "Zulu.mp3");
  EXPECT_EQ(l[0].id, 1u) << "the rename moved the file in the play order";

  // Every refusal is decided before anything is written.
  const Bytes before = *ReadFile(card_);
  struct Refusal {
    std::vector<std::string> args;
    std::string said;
  };
  const std::vector<Refusal> refusals = {
      {{"mv", "b.mp3", "b.voc"}, "b.mp3 is a music file and keeps its kind"},
      {{"mv", "b.mp3", "c.mp3"}, "c.mp3: another file on the card has this name"},
      {{"mv", "b.mp3", std::string(59, 'x') + ".mp3"}, "name too long for the card"},
      {{"mv", "b.mp3", "a:b.mp3"}, "the card cannot hold this name"},
      {{"mv", "nothere.mp3", "x.mp3"}, "nothere.mp3: no such file on the card"},
      {{"order", "v.voc"}, "v.voc: a voice file has no place in the play order"},
      {{"order", "nothere.mp3"}, "nothere.mp3: no such file on the card"},
  };
  for (const Refusal& f : refusals) {
    r = Z(f.args);
    EXPECT_EQ(r.exit, 1) << r;
    EXPECT_TRUE(Holds(r.err, f.said)) << r;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r;
  }
  EXPECT_TRUE(SameBytes(card_, before)) << "a refused rename or order wrote to the card";

  ASSERT_EQ(Z({"order", "c.mp3", "Zulu.mp3"}).exit, 0);
  EXPECT_EQ(LsNames(), (Names{"c.mp3", "Zulu.mp3", "b.mp3", "v.voc"}));
  ASSERT_EQ(Z({"order", "--by-name"}).exit, 0);
  EXPECT_EQ(LsNames(), (Names{"Zulu.mp3", "b.mp3", "c.mp3", "v.voc"}));
  l = ParseLong(Z({"ls", "-l"}).out);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(l[i].id, i + 1);
  EXPECT_EQ(Z({"check"}).exit, 0);
  // Only names and numbers changed: the data is where it was.
  std::map<std::string, Bytes> renamed = content;
  renamed["Zulu.mp3"] = renamed["a.mp3"];
  renamed.erase("a.mp3");
  ExpectFiles(renamed);
}

TEST_P(cli_care, SyncMakesTheCardHoldTheFolder) {
  Card(8);
  Put({{"old.mp3", 100}, {"same.mp3", 500}, {"resized.mp3", 600}, {"memo.voc", 50}});
  const std::string folder = dir_.Sub("music");
  std::map<std::string, Bytes> want;
  for (const auto& [name, size] : std::vector<std::pair<std::string, std::size_t>>{
           {"b-song.mp3", 140000}, {"a-song.mp3", 70000}, {"resized.mp3", 700}, {"new.voc", 3000},
           {"01. Intro.mp3", 10}, {"Mr. Brightside.mp3", 20}}) {
    want[name] = Content(size, static_cast<std::uint32_t>(size));
    ASSERT_TRUE(WriteFile(folder + "/" + name, want[name]));
  }
  ASSERT_TRUE(WriteFile(folder + "/same.mp3", *ReadFile(pc_ + "/same.mp3")));
  want["same.mp3"] = *ReadFile(pc_ + "/same.mp3");
  // Of no kind the card takes: left out, and said.
  ASSERT_TRUE(WriteFile(folder + "/notes.txt", Content(10, 1)));
  ASSERT_TRUE(WriteFile(folder + "/Vol. 2.mp3.part", Content(30, 1)));
  const std::string leftOut = "zk27: Vol. 2.mp3.part: not an MP3 or voice file\nzk27: notes.txt: not an MP3 or voice file\n";

  const Bytes before = *ReadFile(card_);
  RunResult r = Z({"sync", "--delete", "--dry-run", folder});
  ASSERT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.out,
            "send     01. Intro.mp3 (10 bytes)\n"
            "send     Mr. Brightside.mp3 (20 bytes)\n"
            "left out Vol. 2.mp3.part (30 bytes)\n"
            "send     a-song.mp3 (70.0 kB)\n"
            "send     b-song.mp3 (140.0 kB)\n"
            "send     new.voc (3.0 kB)\n"
            "left out notes.txt (10 bytes)\n"
            "replace  resized.mp3 (700 bytes; sent first, beside the card's copy, as resized-zk27-new.mp3)\n"
            "delete   old.mp3\n"
            "delete   memo.voc\n"
            "needs 9 clusters (589.8 kB); 125 clusters (8.2 MB) free once the deletions are made\n");
  EXPECT_EQ(r.err, leftOut);
  EXPECT_TRUE(SameBytes(card_, before)) << "a dry run wrote";

  r = Z({"sync", "--delete", folder});
  ASSERT_EQ(r.exit, 1) << r;
  EXPECT_TRUE(r.out.empty()) << r;
  EXPECT_EQ(r.err, leftOut);
  // The folder's files, in its name order.
  EXPECT_EQ(LsNames(), (Names{"01. Intro.mp3", "Mr. Brightside.mp3", "a-song.mp3", "b-song.mp3", "resized.mp3",
                              "same.mp3", "new.voc"}));
  ExpectFiles(want);
  EXPECT_EQ(Z({"check"}).exit, 0);
  // Nothing left to do.
  r = Z({"sync", "--dry-run", folder});
  EXPECT_EQ(r.out, "left out Vol. 2.mp3.part (30 bytes)\nleft out notes.txt (10 bytes)\nnothing to do\n");
}

// A cut anywhere in a sync leaves the card consistent, and the next sync
// ends where an uncut one would.
TEST_P(cli_care, ASyncCutShortIsFinishedByTheNext) {
  if (!OnPlayer()) GTEST_SKIP() << "the cut is the player's";
  Card(8);
  Put({{"gone.mp3", 100000}, {"resized.mp3", 600}});
  const std::string folder = dir_.Sub("music");
  std::map<std::string, Bytes> want;
  for (const auto& [name, size] : std::vector<std::pair<std::string, std::size_t>>{
           {"a.mp3", 200000}, {"b.mp3", 140000}, {"resized.mp3", 70000}, {"c.voc", 3000}}) {
    want[name] = Content(size, static_cast<std::uint32_t>(size));
    ASSERT_TRUE(WriteFile(folder + "/" + name, want[name]));
  }
  const Bytes start = *ReadFile(card_);
  for (int cut : {3, 8, 14, 20}) {
    SCOPED_TRACE("cut at command " + std::to_string(cut));
    ASSERT_TRUE(WriteAt(card_, 0, start));
    Ctl({"fail-after", std::to_string(cut)});
    const RunResult r = Z({"sync", "--delete", folder});
    EXPECT_NE(r.exit, 0) << r;
    Ctl({"fail-after", "0"});
    const RunResult check = Z({"check"});
    if (check.exit != 0) {
      ASSERT_EQ(Z({"check", "--repair", "-y"}).exit, 0) << check;
    }
    const RunResult again = Z({"sync", "--delete", folder});
    ASSERT_EQ(again.exit, 0) << again;
    EXPECT_EQ(LsNames(), (Names{"a.mp3", "b.mp3", "resized.mp3", "c.voc"}));
    ExpectFiles(want);
  }
}

// A backup cut off by the player, or interrupted, leaves no image and no
// part of one; an older file of the name stays as it was.
TEST_P(cli_care, ABackupCutShortLeavesNoImage) {
  if (!OnPlayer()) GTEST_SKIP() << "the cut is the player's";
  Card(16);
  Put({{"big.mp3", 6 * 1024 * 1024}, {"a.mp3", 1000}});
  const std::string backup = dir_ / "backup.img";
  const Bytes older = Content(5000, 9);
  ASSERT_TRUE(WriteFile(backup, older));
  Ctl({"fail-after", "30"});
  RunResult r = Z({"backup", backup});
  EXPECT_EQ(r.exit, 3) << r;
  EXPECT_TRUE(Holds(r.err, "during the backup; no image was kept")) << r;
  Ctl({"fail-after", "0"});
  EXPECT_TRUE(SameBytes(backup, older));

  const std::string err = dir_ / "backup.err";
  const std::uint64_t before = Commands();
  const pid_t pid = StartInBackground({Zk27(), "backup", backup}, pc_, socket_, err);
  // Under way: the card opened and some clusters read (of about a second's).
  for (int i = 0; i < 500 && Commands() < before + 20; ++i) ::usleep(10000);
  ::kill(pid, SIGINT);
  EXPECT_EQ(WaitFor(pid), 130);
  EXPECT_EQ(FileLines(err), Names{"zk27: interrupted; no image was written"});
  EXPECT_TRUE(SameBytes(backup, older));
  Names left = FolderNames(dir_.path());
  for (const std::string& name : left) EXPECT_FALSE(Holds(name, ".part")) << name;
}

// A restore cut at any point leaves a card that a repair makes consistent;
// the restore run again gives the backed-up card.
TEST_P(cli_care, ARestoreCutShortIsRepairedAndRunAgain) {
  if (!OnPlayer()) GTEST_SKIP() << "the cut is the player's";
  Card(4);
  // Enough clusters that an interrupt sent once the writing has begun finds
  // it still among them, even in a slow build.
  const auto content = Put({{"a.mp3", 2000000}, {"b.voc", 3000}});
  const std::string backup = dir_ / "backup.img";
  ASSERT_EQ(Z({"backup", backup}).exit, 0);
  const Bytes tables = Tables(backup);
  ASSERT_EQ(Z({"rm", "a.mp3"}).exit, 0);
  Put({{"c.mp3", 100000}});
  const Bytes changed = *ReadFile(card_);
  // Command 2 sizes the card up before the question; the cuts fall after it.
  for (int cut : {3, 5, 7, 9, 11}) {
    SCOPED_TRACE("cut at command " + std::to_string(cut));
    ASSERT_TRUE(WriteAt(card_, 0, changed));
    Ctl({"fail-after", std::to_string(cut)});
    const RunResult r = Z({"restore", "-y", backup});
    EXPECT_EQ(r.exit, 3) << r;
    EXPECT_TRUE(Holds(r.err, "the card may hold part of the image: 'zk27 restore' with the same image completes it"))
        << r;
    Ctl({"fail-after", "0"});
    const RunResult check = Z({"check"});
    if (check.exit != 0) {
      ASSERT_EQ(Z({"check", "--repair", "-y"}).exit, 0) << check;
      EXPECT_EQ(Z({"check"}).exit, 0);
    }
    ASSERT_EQ(Z({"restore", "-y", backup}).exit, 0);
    EXPECT_EQ(Tables(card_), tables);
    ExpectFiles(content);
  }
  // Interrupted among the clusters: no file is left, and zk27 says how to
  // complete the card.
  ASSERT_TRUE(WriteAt(card_, 0, changed));
  const std::string err = dir_ / "restore.err";
  const std::uint64_t before = Commands();
  const pid_t pid = StartInBackground({Zk27(), "restore", "-y", backup}, pc_, socket_, err);
  for (int i = 0; i < 500 && Commands() < before + 4; ++i) ::usleep(2000);
  ::kill(pid, SIGINT);
  EXPECT_EQ(WaitFor(pid), 130);
  EXPECT_EQ(FileLines(err), Names{"zk27: interrupted; the card holds part of the image and none of its files yet: "
                                  "'zk27 restore' with the same image completes it"});
  EXPECT_TRUE(LsNames().empty());
}

INSTANTIATE_TEST_SUITE_P(Reaches, cli_care, ::testing::Values(Reach::kImage, Reach::kPlayer),
                         [](const auto& info) { return info.param == Reach::kImage ? "image" : "player"; });

// The plan at each limit of the card, on an image: one cluster too many,
// the 241st name, the 128th music file. Nothing is written unless --partial.
class cli_care_limits : public ImageCliTest {};

TEST_F(cli_care_limits, APlanThatDoesNotFitWritesNothing) {
  Format(4);  // 62 clusters
  const std::string folder = dir_.Sub("music");
  ASSERT_TRUE(WriteFile(folder + "/a.mp3", Content(30 * kCluster, 1)));
  ASSERT_TRUE(WriteFile(folder + "/b.mp3", Content(32 * kCluster + 1, 2)));  // one cluster too many
  ASSERT_TRUE(WriteFile(folder + "/c.mp3", Content(100, 3)));
  const Bytes before = *ReadFile(card_);
  RunResult r = Z({"sync", folder});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err,
            "zk27: the folder does not fit: it needs 64 clusters (4.2 MB), the card has 62 clusters (4.1 MB) once "
            "the deletions are made; 2 short\n"
            "zk27: nothing was written; " + ImageHint("sync --partial") + " sends as much as fits\n");
  EXPECT_TRUE(SameBytes(card_, before));
  // The dry run says the same and promises nothing more.
  r = Z({"sync", "--dry-run", folder});
  EXPECT_EQ(r.exit, 1);
  // As much as fits, in name order: a and c, b left out.
  r = Z({"sync", "--partial", folder});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(LsNames(), (Names{"a.mp3", "c.mp3"}));
  EXPECT_EQ(Z({"check"}).exit, 0);
}

// A replacement whose new file cannot be read keeps the card's copy, with
// room for both copies and without; the plan says which it has.
TEST_F(cli_care_limits, AReplacementNeverLeavesTheCardWithoutEitherCopy) {
  Format(4);  // 62 clusters
  const Bytes old = Pc("memo.voc", 100000, 1);
  Pc("filler.mp3", 59 * kCluster, 2);
  ASSERT_EQ(Z({"put", "memo.voc", "filler.mp3"}).exit, 0);
  const std::string folder = dir_.Sub("music");
  const std::string memo = folder + "/memo.voc";
  ASSERT_TRUE(WriteFile(memo, Content(150000, 3)));
  ASSERT_TRUE(WriteFile(folder + "/filler.mp3", *ReadFile(pc_ + "/filler.mp3")));
  RunResult r = Z({"sync", "--dry-run", folder});
  EXPECT_EQ(r.out,
            "replace  memo.voc (150.0 kB; no room for both copies: the card's copy goes first, once the new one "
            "reads whole)\n"
            "needs 3 clusters (196.6 kB); 3 clusters (196.6 kB) free once the deletions are made\n")
      << r;
  // Unreadable even to root: zk27 runs without the power to override a
  // file's mode.
  ASSERT_EQ(::chmod(memo.c_str(), 0), 0);
  const std::vector<std::string> unprivileged = {"/usr/bin/setpriv", "--inh-caps=-dac_override,-dac_read_search",
                                                 "--bounding-set=-dac_override,-dac_read_search", Zk27(),
                                                 "--image", card_, "sync", folder};
  if (!std::filesystem::exists(unprivileged[0])) GTEST_SKIP() << "no setpriv";
  dir_.Sub("get");
  for (const bool room : {false, true}) {
    SCOPED_TRACE(room ? "room for both" : "no room for both");
    if (room) {
      ASSERT_EQ(Z({"rm", "filler.mp3"}).exit, 0);
      ASSERT_TRUE(std::filesystem::remove(folder + "/filler.mp3"));
    }
    r = RunProgram(unprivileged, dir_.path());
    EXPECT_EQ(r.exit, 1) << r;
    EXPECT_TRUE(Holds(r.err, "memo.voc: ") && Holds(r.err, "; the card keeps its copy")) << r;
    EXPECT_EQ(Z({"get", "memo.voc"}, dir_ / "get").exit, 0);
    EXPECT_TRUE(SameBytes(dir_ / "get/memo.voc", old));
    EXPECT_EQ(Z({"check"}).exit, 0);
  }
  ASSERT_EQ(::chmod(memo.c_str(), 0644), 0);
  r = Z({"sync", "--dry-run", folder});
  EXPECT_TRUE(Holds(r.out, "replace  memo.voc (150.0 kB; sent first, beside the card's copy, as memo-zk27-new.voc)"))
      << r;
  r = Z({"sync", folder});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(LsNames(), Names{"memo.voc"});
  EXPECT_EQ(Z({"get", "memo.voc"}, dir_ / "get").exit, 0);
  EXPECT_TRUE(SameBytes(dir_ / "get/memo.voc", Content(150000, 3)));
}

TEST_F(cli_care_limits, NamesAndNumbersRunOutInThePlan) {
  Format(4);
  // 127 music files on the card: a 128th is one too many.
  std::vector<std::string> put = {"put"};
  for (int i = 1; i <= 127; ++i) {
    Pc("m" + std::to_string(i) + ".mp3", 0, 0);
    put.push_back("m" + std::to_string(i) + ".mp3");
  }
  ASSERT_EQ(Z(put).exit, 0);
  const std::string folder = dir_.Sub("music");
  for (int i = 1; i <= 127; ++i) ASSERT_TRUE(WriteFile(folder + "/m" + std::to_string(i) + ".mp3", {}));
  ASSERT_TRUE(WriteFile(folder + "/m999.mp3", Content(10, 1)));
  const Bytes before = *ReadFile(card_);
  RunResult r = Z({"sync", folder});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_TRUE(Holds(r.err, "needs 1 more music files, the card takes 0 more")) << r;
  EXPECT_TRUE(SameBytes(card_, before));

  // 240 names: voice files up to the 240th; the 241st does not fit.
  put = {"put"};
  for (int i = 1; i <= 113; ++i) {
    Pc("v" + std::to_string(i) + ".voc", 0, 0);
    put.push_back("v" + std::to_string(i) + ".voc");
  }
  ASSERT_EQ(Z(put).exit, 0);
  const std::string voices = dir_.Sub("voices");
  for (int i = 1; i <= 114; ++i) ASSERT_TRUE(WriteFile(voices + "/v" + std::to_string(i) + ".voc", {}));
  const Bytes full = *ReadFile(card_);
  r = Z({"sync", voices});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_TRUE(Holds(r.err, "needs 1 new names, the card's name table has room for 0")) << r;
  EXPECT_TRUE(SameBytes(card_, full));
  // With --delete the music goes first and makes room.
  r = Z({"sync", "--delete", voices});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(LsNames().size(), 114u);

  // A name the card cannot hold is in the plan too, said once, with what
  // to do about it.
  ASSERT_TRUE(WriteFile(voices + "/日本.voc", {}));
  r = Z({"sync", "--dry-run", voices});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "left out 日本.voc (0 bytes)\nnothing to do\n");
  const std::string refused =
      "zk27: 日本.voc: the card cannot hold this name (a character outside its code page, a control character, "
      "\\ or :, or a leading dot)\n";
  EXPECT_EQ(r.err, refused);
  ASSERT_TRUE(WriteFile(voices + "/v115.voc", {}));
  r = Z({"sync", "--delete", voices});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, refused + "zk27: nothing was written; rename the files whose names the card cannot hold, or " +
                             ImageHint("sync --partial") + " sends the others\n");
  EXPECT_EQ(LsNames().size(), 114u);
  r = Z({"sync", "--partial", voices});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, refused);
  EXPECT_EQ(LsNames().size(), 115u);
}

}  // namespace
