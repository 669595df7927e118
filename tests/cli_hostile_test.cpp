// zk27 --image on card images whose tables lie: names, chains, sizes and
// geometry edited byte by byte. The program may refuse a file or the card, but
// it never crashes, never hangs and never writes outside the folder it
// fetches into.
#include <random>

#include "support/cli.h"

using namespace zk27_test;

namespace {

constexpr std::uint32_t kCardMiB = 4;

// The suite's name starts with cli_ like its program's, so that
// `ctest -R cli_` selects these cases.
class cli_hostile : public CliTest {
 protected:
  using CliTest::Z;
  void SetUp() override {
    CliTest::SetUp();
    ASSERT_TRUE(MakeBlankImage(card_, kCardMiB * kSectorsPerMiB));
    ASSERT_EQ(Z({"format", "--yes"}).exit, 0);
    // a.mp3: clusters 2-3, b.mp3: 4, c.mp3: 5-7, d.voc: 8.
    content_["a.mp3"] = Pc("a.mp3", 100000, 1);
    content_["b.mp3"] = Pc("b.mp3", 100, 2);
    content_["c.mp3"] = Pc("c.mp3", 150000, 3);
    content_["d.voc"] = Pc("d.voc", 500, 4);
    const RunResult put = Z({"put", "a.mp3", "b.mp3", "c.mp3", "d.voc"});
    ASSERT_EQ(put.exit, 0) << put;
    layout_ = ReadLayout(card_);
    for (const auto& [name, bytes] : content_) {
      entry_[name] = FindEntry(card_, name);
      ASSERT_NE(entry_[name], 0u) << name;
    }
  }

  // zk27 --image CARD args..., in `cwd` (default: the PC folder). Whatever the
  // card holds, the program ends on its own within the time limit with one of
  // its own statuses.
  RunResult Z(std::vector<std::string> args, const std::string& cwd) override {
    std::vector<std::string> argv = {Zk27(), "--image", card_};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = cwd.empty() ? pc_ : cwd;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    o.timeoutSeconds = 20;
    RunResult r = RunProgram(argv, dir_.path(), o);
    const std::string what = "zk27 " + (args.empty() ? std::string() : args[0]);
    EXPECT_TRUE(r.started) << what;
    EXPECT_FALSE(r.timedOut) << what << " hung\n" << r;
    EXPECT_FALSE(r.signaled) << what << " crashed\n" << r;
    EXPECT_GE(r.exit, 0) << what << "\n" << r;
    EXPECT_LE(r.exit, 3) << what << "\n" << r;
    return r;
  }

  // Writes `bytes` into both allocation tables at cluster's entry.
  void SetTable(std::uint32_t cluster, std::uint16_t value) {
    ASSERT_TRUE(WriteAt(card_, layout_.TableEntry(cluster), LeBytes(value, 2)));
    ASSERT_TRUE(WriteAt(card_, layout_.table2 + 2ull * cluster, LeBytes(value, 2)));
  }

  Layout layout_;
  std::map<std::string, Bytes> content_;
  std::map<std::string, std::uint64_t> entry_;
};

using Names = std::vector<std::string>;

struct Damage {
  const char* what;
  const char* victim;        // the card file the damage is done to
  bool listedUnderItsName;   // whether ls still shows the victim's name
};

// Each damage on a fresh card: the card still lists, the damaged file is
// refused with a message and leaves nothing behind, the others are fetched
// whole, and deleting the damaged file ends cleanly.
TEST_F(cli_hostile, DamagedEntriesAreRefusedOneByOne) {
  const std::string pristine = dir_ / "pristine.img";
  fs::copy_file(card_, pristine);
  const std::vector<Damage> damages = {
      {"name length 0xFFFF", "b.mp3", false},
      {"name slot beyond the name table", "b.mp3", false},
      {"chain that loops back", "a.mp3", true},
      {"chain into itself", "c.mp3", true},
      {"size 0xFFFFFFFF", "c.mp3", true},
      {"first cluster beyond the table", "a.mp3", true},
      {"chain leaving the table", "c.mp3", true},
      {"chain ending early", "c.mp3", true},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    fs::copy_file(pristine, card_, fs::copy_options::overwrite_existing);
    const std::string victim = d.victim;
    const std::string w = d.what;
    if (w == "name length 0xFFFF") {
      ASSERT_TRUE(WriteAt(card_, SlotOf(card_, entry_[victim]), {0xFF, 0xFF}));
    } else if (w == "name slot beyond the name table") {
      ASSERT_TRUE(WriteAt(card_, entry_[victim] + 1, LeBytes(0xFFC0, 2)));
    } else if (w == "chain that loops back") {
      SetTable(3, 2);  // 2 -> 3 -> 2 ...
      ASSERT_TRUE(WriteAt(card_, entry_[victim] + 28, LeBytes(5 * kCluster, 4)));
    } else if (w == "chain into itself") {
      SetTable(5, 5);
    } else if (w == "size 0xFFFFFFFF") {
      ASSERT_TRUE(WriteAt(card_, entry_[victim] + 28, LeBytes(0xFFFFFFFF, 4)));
    } else if (w == "first cluster beyond the table") {
      ASSERT_TRUE(WriteAt(card_, entry_[victim] + 26, LeBytes(0xFFF0, 2)));
    } else if (w == "chain leaving the table") {
      SetTable(6, 0xFFF0);
    } else if (w == "chain ending early") {
      SetTable(5, 0xFFFF);
    }

    const RunResult ls = Z({"ls", "-l"});
    EXPECT_EQ(ls.exit, 0) << ls;
    const RunResult plain = Z({"ls"});
    EXPECT_EQ(plain.exit, 0) << plain;
    const Names listed = Lines(plain.out);
    for (const char* other : {"a.mp3", "b.mp3", "c.mp3", "d.voc"}) {
      const bool shown = std::find(listed.begin(), listed.end(), other) != listed.end();
      if (other == victim) EXPECT_EQ(shown, d.listedUnderItsName) << plain.out;
      else EXPECT_TRUE(shown) << other << " is missing:\n" << plain.out;
    }
    if (w == "size 0xFFFFFFFF") {
      for (const LongLine& l : ParseLong(ls.out)) {
        if (l.name == victim) {
          EXPECT_EQ(l.size, 0xFFFFFFFFu);
        }
      }
    }

    const std::string back = dir_.Sub(std::string("back-") + std::to_string(&d - damages.data()));
    const RunResult got = Z({"get", victim, "d.voc"}, back);
    EXPECT_EQ(got.exit, 1) << got;
    EXPECT_TRUE(Holds(got.err, victim)) << "the refusal does not name the file";
    // A file that is listed is refused as damaged; one whose name cannot be
    // read is not found under it.
    EXPECT_TRUE(Holds(got.err, d.listedUnderItsName ? ": damaged on the card" : ": no such file on the card"));
    // One line for the file, and at most the warning that a name is unreadable.
    EXPECT_EQ(Count(got.err, victim), 1) << got;
    for (const std::string& line : Lines(got.err)) EXPECT_EQ(line.rfind("zk27: ", 0), 0u) << got;
    EXPECT_EQ(FolderNames(back), Names{"d.voc"}) << "a refused fetch left something behind";
    EXPECT_TRUE(SameBytes(back + "/d.voc", content_["d.voc"]));

    // Deleting it ends, and leaves the rest of the card usable.
    Z({"rm", victim});
    const RunResult after = Z({"ls"});
    EXPECT_EQ(after.exit, 0) << after;
    EXPECT_TRUE(Holds(after.out, "d.voc\n"));
    const RunResult again = Z({"get", "d.voc"}, back);
    EXPECT_EQ(again.exit, 0) << again;
    EXPECT_TRUE(SameBytes(back + "/d.voc", content_["d.voc"]));
  }
}

TEST_F(cli_hostile, CardNamesNeverLeaveTheFetchFolder) {
  const std::string pristine = dir_ / "pristine.img";
  fs::copy_file(card_, pristine);
  const std::string outer = dir_.Sub("outer");
  const std::string back = dir_.Sub("outer/back");
  const std::string absolute = dir_ / "abs.mp3";
  int row = 0;
  for (const std::string& name : {std::string("../x.mp3"), absolute, std::string("a/b.mp3"), std::string(".."),
                                 std::string("C:x.mp3"), std::string("a\x01.mp3"), std::string(".bashrc"),
                                 std::string("notes.txt")}) {
    SCOPED_TRACE(name);
    fs::copy_file(pristine, card_, fs::copy_options::overwrite_existing);
    ASSERT_TRUE(WriteSlotName(card_, SlotOf(card_, entry_["b.mp3"]), name));

    const RunResult ls = Z({"ls"});
    EXPECT_EQ(ls.exit, 0) << ls;
    const RunResult got = Z({"get", name, "a.mp3"}, back);
    EXPECT_EQ(got.exit, 1) << got;
    EXPECT_TRUE(SameBytes(back + "/a.mp3", content_["a.mp3"]));
    EXPECT_EQ(FolderNames(back), Names{"a.mp3"});
    EXPECT_EQ(FolderNames(outer), Names{"back"});
    EXPECT_FALSE(fs::exists(absolute));

    // Every file: the damaged name is refused with its message, the others come.
    const std::string every = dir_.Sub("every-" + std::to_string(++row));
    const RunResult all = Z({"get", "-a"}, every);
    EXPECT_EQ(all.exit, 1) << all;
    EXPECT_TRUE(Holds(all.err, ": its card name is damaged")) << all;
    EXPECT_EQ(FolderNames(every), (Names{"a.mp3", "c.mp3", "d.voc"}));
  }
}

TEST_F(cli_hostile, BootSectorsThatDoNotFitAreRefused) {
  const std::string pristine = dir_ / "pristine.img";
  fs::copy_file(card_, pristine);
  struct Edit {
    const char* what;
    std::uint64_t at;  // offset in the boot sector
    Bytes bytes;
  };
  const std::vector<Edit> edits = {
      {"sectors per table 0xFFFF", 22, LeBytes(0xFFFF, 2)},
      {"no sectors per table", 22, LeBytes(0, 2)},
      {"root entries 0xFFFF", 17, LeBytes(0xFFFF, 2)},
      {"no root entries", 17, LeBytes(0, 2)},
      {"total sectors below the data area", 32, LeBytes(40, 4)},
  };
  for (const Edit& e : edits) {
    SCOPED_TRACE(e.what);
    fs::copy_file(pristine, card_, fs::copy_options::overwrite_existing);
    ASSERT_TRUE(WriteAt(card_, 32 * kSector + e.at, e.bytes));
    const Bytes before = *ReadFile(card_);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"ls"}, {"info"}, {"get", "a.mp3"}, {"put", "a.mp3"}, {"rm", "a.mp3"}}) {
      const RunResult r = Z(args);
      EXPECT_EQ(r.exit, 3) << args[0] << "\n" << r;
      EXPECT_EQ(r.err,
                "zk27: the card's file tables do not fit the card, so it cannot be read; " + ImageHint("format") +
                    " makes it usable again (every file on it is lost)\n")
          << args[0];
    }
    EXPECT_TRUE(SameBytes(card_, before)) << "a refused card was written";
    EXPECT_EQ(FolderNames(pc_), (Names{"a.mp3", "b.mp3", "c.mp3", "d.voc"}));
  }

  // A card that claims to be far larger than it is: the sectors past its end
  // do not exist, and the image never grows.
  fs::copy_file(pristine, card_, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(WriteAt(card_, 32 * kSector + 32, LeBytes(0xFFFFFF00, 4)));
  const std::string back = dir_.Sub("back");
  Z({"ls", "-l"});
  Z({"info"});
  Z({"get", "a.mp3", "d.voc"}, back);
  Pc("e.mp3", 3 * kCluster, 5);
  Z({"put", "e.mp3"});
  EXPECT_EQ(fs::file_size(card_), std::uint64_t{kCardMiB} << 20);
  for (const std::string& n : FolderNames(back)) {
    ASSERT_TRUE(content_.count(n)) << n;
    EXPECT_TRUE(SameBytes(back + "/" + n, content_[n]));
  }
}

// Directory and name table full of noise: every command ends with one of
// zk27's statuses, and a fetch writes only inside its folder and never more
// than the card holds.
TEST_F(cli_hostile, NoiseInTheTablesNeverCrashesTheProgram) {
  const std::string pristine = dir_ / "pristine.img";
  fs::copy_file(card_, pristine);
  const std::uint64_t cardBytes = std::uint64_t{kCardMiB} << 20;
  const std::string outer = dir_.Sub("noise");
  int listedRuns = 0;  // runs in which the noisy card still listed names to fetch
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    fs::copy_file(pristine, card_, fs::copy_options::overwrite_existing);
    std::mt19937 gen(seed);
    // Flip a third of the directory's and the name table's bytes, and some of
    // the allocation table's.
    auto scramble = [&](std::uint64_t at, std::size_t size, unsigned oneIn) {
      Bytes b = ReadAt(card_, at, size);
      for (auto& x : b)
        if (gen() % oneIn == 0) x = static_cast<std::uint8_t>(gen());
      ASSERT_TRUE(WriteAt(card_, at, b));
    };
    scramble(layout_.directory, 2 * kSector, 3);
    scramble(layout_.nameTable, 2 * kSector, 3);
    scramble(layout_.table1, kSector, 8);

    const std::string back = outer + "/" + std::to_string(seed);
    fs::create_directories(back);
    Z({"info"});
    const RunResult ls = Z({"ls"});
    std::vector<std::string> get = {"get"};
    for (const std::string& n : Lines(ls.out))
      if (!n.empty()) get.push_back(n);
    if (get.size() > 1) {
      ++listedRuns;
      Z(get, back);
      Z({"rm", get[1]});
    }
    Z({"ls", "-l"});
    for (const std::string& n : FolderNames(back)) {
      std::error_code ec;
      EXPECT_LE(fs::file_size(back + "/" + n, ec), cardBytes) << n;
    }
    EXPECT_EQ(FolderNames(outer).size(), seed) << "a fetch wrote beside its folder";
  }
  // The noise must leave something to fetch, or get and rm were never tried.
  EXPECT_GT(listedRuns, 6);
}

}  // namespace
