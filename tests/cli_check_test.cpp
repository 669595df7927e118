// zk27 check and check --repair on card images, from the outside: exit
// statuses, the lines printed, a repaired card read back, and a card that
// another program holds.
#include <sys/file.h>

#include "support/cli.h"

using namespace zk27_test;

namespace {

class cli_check : public CliTest {
 protected:
  using CliTest::Z;

  RunResult Raw(const std::vector<std::string>& args, std::map<std::string, std::optional<std::string>> env = {},
                const std::string& cwd = "") {
    std::vector<std::string> argv = {Zk27()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env = std::move(env);
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    RunResult r = RunProgram(argv, dir_.path(), o);
    EXPECT_TRUE(r.started) << "zk27 did not start: " << Zk27();
    EXPECT_FALSE(r.timedOut) << r;
    return r;
  }
  RunResult Z(std::vector<std::string> args, const std::string& cwd) override {
    args.insert(args.begin(), {"--image", card_});
    return Raw(args, {}, cwd);
  }

  // A formatted 4 MiB card holding a.mp3 (4 clusters) and b.voc.
  void CardWithTwoFiles() {
    ASSERT_TRUE(MakeBlankImage(card_, 4 * kSectorsPerMiB));
    ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
    a_ = Pc("a.mp3", 200000, 1);
    Pc("b.voc", 5000, 2);
    const RunResult r = Z({"put", "a.mp3", "b.voc"});
    ASSERT_EQ(r.exit, 0) << r;
  }

  Bytes a_;
};

TEST_F(cli_check, ACleanCardExitsZeroAndRepairNeedsConsentOffATerminal) {
  CardWithTwoFiles();
  const Bytes before = *ReadFile(card_);
  RunResult r = Z({"check"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out, "The card is clean: 2 files.\n");
  EXPECT_TRUE(r.err.empty()) << r;

  // Nothing to mend, nothing to confirm: no terminal and no -y are needed.
  r = Z({"check", "--repair"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out, "The card is clean: 2 files.\n");
  r = Z({"check", "extra"});
  EXPECT_EQ(r.exit, 2) << r;
  r = Z({"check", "--repair", "-y"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(SameBytes(card_, before)) << "checking a clean card changed it";

  r = Raw({"check", "--help"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out.rfind("Usage: zk27 check [--repair [-y|--yes]]", 0), 0u) << r;
  EXPECT_TRUE(Holds(Raw({"--help"}).out, "  check [--repair]"));
}

TEST_F(cli_check, ADamagedCardIsListedThenRepairedAndItsFilesKept) {
  CardWithTwoFiles();
  const Layout l = ReadLayout(card_);
  // A deletion cut after copy 1 (a's links gone there only) and a send cut
  // after its name (a slot no entry holds).
  for (std::uint32_t c = 2; c < 6; ++c) ASSERT_TRUE(WriteAt(card_, l.TableEntry(c), {0, 0}));
  ASSERT_TRUE(WriteSlotName(card_, l.nameTable + 50 * 64, "ghost.mp3"));
  const Bytes damaged = *ReadFile(card_);

  RunResult r = Z({"check"});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_TRUE(Holds(r.out, "the two copies of the allocation table differ in 4 entries (the first is entry 2)\n"));
  EXPECT_TRUE(Holds(r.out, "a.mp3: its chain runs into cluster 2, which is marked free, after 0 of its 4 clusters\n"));
  EXPECT_TRUE(Holds(r.out, "1 name slot is in use but held by no file: 50\n"));
  EXPECT_TRUE(Holds(r.out, "3 problems found; " + ImageHint("check --repair") + " mends them.\n"));
  EXPECT_TRUE(SameBytes(card_, damaged)) << "a check without --repair changed the card";
  // A repair is asked for on a terminal; off one it needs -y.
  r = Z({"check", "--repair"});
  EXPECT_EQ(r.exit, 2) << r;
  EXPECT_TRUE(Holds(r.err, "zk27: check --repair asks for confirmation; not on a terminal, give -y"));
  EXPECT_TRUE(SameBytes(card_, damaged)) << "a repair without consent changed the card";
  // The hint names the card as the shell takes it back, a blank and all.
  const std::string spaced = dir_ / "my card.img";
  ASSERT_TRUE(WriteFile(spaced, damaged));
  r = Raw({"-i", spaced, "check"});
  EXPECT_TRUE(Holds(r.out, "3 problems found; 'zk27 --image \"" + spaced + "\" check --repair' mends them.\n")) << r;

  r = Z({"check", "--repair", "-y"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(Holds(r.out, "allocation table copy 1 restored from copy 2, which matches the directory\n"));
  EXPECT_TRUE(Holds(r.out, "1 name slot that no file held freed\n"));
  EXPECT_TRUE(Holds(r.out, "The card is now clean.\n"));

  r = Z({"check"});
  EXPECT_EQ(r.exit, 0) << r;
  const std::string out = dir_.Sub("out");
  r = Z({"get", "a.mp3"}, out);
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(SameBytes(out + "/a.mp3", a_));
  EXPECT_EQ(ReadAt(card_, l.table1, kSector), ReadAt(card_, l.table2, kSector));
}

// A boot sector whose total field was lost: no writing command formats the
// card, the check reads it at the card's size and the repair writes that back.
TEST_F(cli_check, AZeroTotalOverFilesIsRefusedByEveryWriteAndRepaired) {
  CardWithTwoFiles();
  Pc("c.mp3", 1000, 3);
  const std::uint64_t total = 32 * kSector + 32;
  ASSERT_TRUE(WriteAt(card_, total, LeBytes(0, 4)));
  const Bytes damaged = *ReadFile(card_);
  const std::string folder = dir_.Sub("folder");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"rm", "nosuch.mp3"}, {"put", "c.mp3"}, {"mv", "a.mp3", "z.mp3"}, {"order", "a.mp3"}, {"sync", folder}}) {
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, 3) << args[0] << "\n" << r;
    EXPECT_EQ(r.err, "zk27: the card's boot sector gives it no sectors, but its directory holds files; " +
                         ImageHint("check --repair") + " gives it the card's size again\n")
        << args[0];
    EXPECT_TRUE(SameBytes(card_, damaged)) << args[0] << " changed the card";
  }
  RunResult r = Z({"check"});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_TRUE(Holds(r.out, "the boot sector gives the card 0 sectors, though its directory holds files; the card "
                           "has 8,192\n"));
  r = Z({"check", "--repair", "-y"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(Holds(r.out, "the boot sector gives the card its 8,192 sectors again\nThe card is now clean.\n"));
  EXPECT_EQ(ReadAt(card_, total, 4), LeBytes(4 * kSectorsPerMiB, 4));
  const std::string out = dir_.Sub("out");
  r = Z({"get", "a.mp3", "b.voc"}, out);
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(SameBytes(out + "/a.mp3", a_));

  // A blank card (no entry at all) is still formatted by the first write.
  ASSERT_TRUE(MakeBlankImage(card_, 4 * kSectorsPerMiB));
  ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
  ASSERT_TRUE(WriteAt(card_, total, LeBytes(0, 4)));
  r = Z({"put", "c.mp3"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(ReadAt(card_, total, 4), LeBytes(4 * kSectorsPerMiB, 4));
}

// A boot sector larger than the card: a 32 MiB card cut to 16 MiB, a total
// of 0xFFFFFFFF, and a cut card with a file past the cut.
TEST_F(cli_check, AVolumeLargerThanTheCardIsReportedShrunkAndNeverReadPast) {
  struct Case {
    const char* what;
    std::uint32_t mib;         // the card formatted
    std::uint32_t claimed;     // the boot sector's total written over it; 0: as formatted
    std::uint32_t cutMib;      // the image cut to; 0: not cut
    std::uint32_t pastBytes;   // a file that reaches past the cut; 0: none
    const char* cardSectors;   // the card's size, as the lines show it
  };
  const Case cases[] = {{"cut", 32, 0, 16, 0, "32,768"},
                        {"total 0xFFFFFFFF", 4, 0xFFFFFFFF, 0, 0, "8,192"},
                        {"file past the cut", 32, 0, 16, 20 << 20, "32,768"}};
  const std::uint64_t total = 32 * kSector + 32;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(MakeBlankImage(card_, c.mib * kSectorsPerMiB));
    ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
    a_ = Pc("a.mp3", 200000, 1);
    ASSERT_EQ(Z({"put", "a.mp3"}).exit, 0);
    if (c.pastBytes) {
      Pc("big.mp3", c.pastBytes, 5);
      ASSERT_EQ(Z({"put", "big.mp3"}).exit, 0);
    }
    if (c.claimed) {
      ASSERT_TRUE(WriteAt(card_, total, LeBytes(c.claimed, 4)));
    }
    if (c.cutMib) fs::resize_file(card_, std::uint64_t{c.cutMib} << 20);
    const std::uint32_t card = (c.cutMib ? c.cutMib : c.mib) * kSectorsPerMiB;

    RunResult r = Z({"check"});
    EXPECT_EQ(r.exit, 1) << r;
    EXPECT_TRUE(Holds(r.out, "the volume is larger than the card: its boot sector gives it ")) << r;
    r = Z({"info"});
    EXPECT_EQ(r.exit, 0) << r;
    EXPECT_TRUE(Holds(r.out, std::string("(") + c.cardSectors + " sectors of 512 bytes)")) << r;
    const std::string backup = dir_ / "backup.img";
    fs::remove(backup);
    r = Z({"backup", backup});
    EXPECT_EQ(r.exit, 0) << r;
    EXPECT_EQ(fs::exists(backup) ? fs::file_size(backup) : 0, std::uint64_t{card} * kSector);

    r = Z({"check", "--repair", "-y"});
    if (c.pastBytes) {
      EXPECT_EQ(r.exit, 1) << r;
      EXPECT_TRUE(Holds(r.out, "the volume is left larger than the card: big.mp3 lies past its end\n")) << r;
      EXPECT_TRUE(Holds(r.out, "big.mp3: it lies past the card's end\n")) << r;
      EXPECT_TRUE(Holds(Z({"ls"}).out, "big.mp3\n"));
      EXPECT_NE(ReadAt(card_, total, 4), LeBytes(card, 4));
    } else {
      EXPECT_EQ(r.exit, 0) << r;
      EXPECT_TRUE(Holds(r.out, std::string("sectors to the card's ") + c.cardSectors +
                               "\nThe card is now clean.\n")) << r;
      EXPECT_EQ(ReadAt(card_, total, 4), LeBytes(card, 4));
    }
    const std::string out = dir_.Sub(std::string("out-") + std::to_string(&c - cases));
    r = Z({"get", "a.mp3"}, out);
    EXPECT_EQ(r.exit, 0) << r;
    EXPECT_TRUE(SameBytes(out + "/a.mp3", a_));
  }
}

TEST_F(cli_check, AHiddenNameIsDamageThatTheRepairRenames) {
  CardWithTwoFiles();
  ASSERT_TRUE(WriteSlotName(card_, SlotOf(card_, FindEntry(card_, "a.mp3")), ".bashrc"));
  RunResult r = Z({"check"});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_TRUE(Holds(r.out, ".bashrc: its name begins with a dot (a hidden file on the PC)\n")) << r;
  r = Z({"check", "--repair", "-y"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(Holds(r.out, ".bashrc: named recovered-001.mp3; its name begins with a dot")) << r;
  const std::string out = dir_.Sub("out");
  EXPECT_EQ(Z({"get", "recovered-001.mp3"}, out).exit, 0);
  EXPECT_TRUE(SameBytes(out + "/recovered-001.mp3", a_));
}

TEST_F(cli_check, NoCardOrACardInUseIsADeviceFailure) {
  ASSERT_TRUE(MakeBlankImage(card_, 4 * kSectorsPerMiB));
  RunResult r = Z({"check"});
  EXPECT_EQ(r.exit, 3) << r;
  EXPECT_TRUE(Holds(r.err, "zk27: the card is not in the player's format"));
  r = Raw({"--image", dir_ / "no-such.img", "check"});
  EXPECT_EQ(r.exit, 3) << r;

  CardWithTwoFiles();
  const std::map<std::string, std::optional<std::string>> quick = {{"ZK27_LOCK_WAIT", "0.3"}};
  const int fd = ::open(card_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // Another reader: a check may run beside it, a repair may not.
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  r = Raw({"--image", card_, "check"}, quick);
  EXPECT_EQ(r.exit, 0) << r;
  r = Raw({"--image", card_, "check", "--repair", "-y"}, quick);
  EXPECT_EQ(r.exit, 3) << r;
  EXPECT_TRUE(Holds(r.err, "zk27: the card is in use by another program"));
  // A writer: not even a check.
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  r = Raw({"--image", card_, "check"}, quick);
  EXPECT_EQ(r.exit, 3) << r;
  EXPECT_TRUE(Holds(r.err, "zk27: the card is in use by another program"));
  ::close(fd);
}

}  // namespace
