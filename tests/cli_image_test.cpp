// zk27 as a user runs it on card images (--image): exit statuses, help,
// formatting, sending, fetching and deleting files, with real files in
// temporary folders.
#include <csignal>
#include <sys/resource.h>

#include "support/cli.h"

using namespace zk27_test;

namespace {

// The suite's name starts with cli_ like its program's, so that
// `ctest -R cli_` selects these cases.
class cli_image : public ImageCliTest {};

using Names = std::vector<std::string>;

TEST_F(cli_image, UsageErrorsExitTwoAndHelpGoesToStdout) {
  Format(4);
  const Bytes before = *ReadFile(card_);
  struct Case {
    std::vector<std::string> args;
    bool withImage;
  };
  const std::vector<Case> usage = {
      {{}, false},                       // no command at all
      {{}, true},                        // an image but no command
      {{"frobnicate"}, true},            // unknown command
      {{"--frob", "ls"}, false},         // unknown tool option
      {{"ls", "--bogus"}, true},         // unknown command option
      {{"put"}, true},                   // put without FILE
      {{"get"}, true},
      {{"rm"}, true},
      {{"towav"}, true},
      {{"ls", "extra"}, true},
      {{"format"}, true},                // no --yes and stdin is no terminal
      {{"--image"}, false},              // --image without a path
  };
  for (const Case& c : usage) {
    const RunResult r = c.withImage ? Z(c.args) : Raw(c.args);
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    EXPECT_EQ(r.exit, 2) << "args: " << shown << "\n" << r;
    EXPECT_TRUE(r.out.empty()) << "args: " << shown << "\n" << r;
    EXPECT_TRUE(Holds(r.err, "zk27")) << "args: " << shown;
  }
  // A format that was not confirmed wrote nothing.
  EXPECT_TRUE(SameBytes(card_, before)) << "an unconfirmed format changed the card";

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"help"}}) {
    const RunResult r = Raw(args);
    EXPECT_EQ(r.exit, 0) << r;
    EXPECT_EQ(r.out.rfind("Usage: zk27", 0), 0u) << r;
    for (const char* cmd : {"info", "ls", "put", "get", "rm", "format", "towav"})
      EXPECT_TRUE(Holds(r.out, std::string("  ") + cmd)) << "tool help lacks " << cmd;
    EXPECT_TRUE(r.err.empty()) << r;
  }
  for (const std::string cmd : {"info", "ls", "put", "get", "rm", "format", "towav"}) {
    // ls -h is --human-readable, as with ls(1).
    std::vector<std::vector<std::string>> asks = {{cmd, "--help"}, {"help", cmd}, {"--help", cmd}};
    if (cmd != "ls") asks.push_back({cmd, "-h"});
    for (const std::vector<std::string>& args : asks) {
      // Help needs no card: a missing image is not even opened.
      const RunResult r = Raw(args);
      EXPECT_EQ(r.exit, 0) << cmd << "\n" << r;
      EXPECT_EQ(r.out.rfind("Usage: zk27 " + cmd, 0), 0u) << r;
      EXPECT_TRUE(r.err.empty()) << r;
    }
  }
}

TEST_F(cli_image, UnformattedOrMissingImageIsADeviceFailure) {
  ASSERT_TRUE(MakeBlankImage(card_, 4 * kSectorsPerMiB));
  Pc("a.mp3", 100, 1);
  const Bytes blank = *ReadFile(card_);
  const std::vector<std::vector<std::string>> commands = {
      {"ls"}, {"ls", "-l"}, {"info"}, {"put", "a.mp3"}, {"get", "a.mp3"}, {"rm", "a.mp3"}};
  for (const auto& args : commands) {
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, 3) << args[0] << "\n" << r;
    EXPECT_EQ(r.err,
              "zk27: the card is not in the player's format; " + ImageHint("format") +
                  " formats it (every file on it is lost)\n")
        << args[0];
  }
  // Refusing the card wrote nothing to it, and nothing was fetched.
  EXPECT_TRUE(SameBytes(card_, blank)) << "refusing the card changed it";
  EXPECT_EQ(FolderNames(pc_), Names{"a.mp3"});

  const std::string missing = dir_ / "no-such-card.img";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--image", missing, "ls"}, {"--image=" + missing, "info"}}) {
    const RunResult r = Raw(args);
    EXPECT_EQ(r.exit, 3) << r;
    EXPECT_TRUE(Holds(r.err, "cannot open the card image"));
    EXPECT_TRUE(Holds(r.err, missing));
  }
  EXPECT_FALSE(fs::exists(missing)) << "a missing card image must not be created";
}

TEST_F(cli_image, FormatAndInfoShowTheFreeSpace) {
  // (sectors / 128 - 2) clusters of 64 KB each.
  for (const std::uint32_t mib : {16u, 4u}) {
    Format(mib);
    const std::uint64_t clusters = (mib * 2048ull) / 128 - 2;
    const std::string info = Z({"info"}).out;
    EXPECT_EQ(FreeClustersIn(info), static_cast<long>(clusters)) << info;
    EXPECT_TRUE(Holds(info, "files:         0 music, 0 voice\n")) << info;
    EXPECT_TRUE(LsNames().empty());
  }

  // Formatting a card that holds files empties it again.
  Format(16);
  Pc("song.mp3", 3 * kCluster, 2);
  ASSERT_EQ(Z({"put", "song.mp3"}).exit, 0);
  EXPECT_EQ(FreeClusters(), 251);
  const RunResult again = Z({"format", "-y"});
  EXPECT_EQ(again.exit, 0) << again;
  EXPECT_TRUE(again.err.empty()) << again;
  EXPECT_TRUE(LsNames().empty());
  EXPECT_EQ(FreeClusters(), 254);
}

TEST_F(cli_image, PutGetRmRoundTripByteForByte) {
  Format(16);
  const std::vector<std::pair<std::string, std::size_t>> files = {
      {"empty.mp3", 0}, {"small.mp3", 100}, {"one.mp3", 65536}, {"two.voc", 65537}, {"big.mp3", 1048576 + 321}};
  std::vector<std::string> put = {"put"};
  std::map<std::string, Bytes> content;
  std::uint64_t clusters = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    content[files[i].first] = Pc(files[i].first, files[i].second, 10 + static_cast<std::uint32_t>(i));
    put.push_back(files[i].first);
    clusters += (files[i].second + kCluster - 1) / kCluster;
  }
  const RunResult sent = Z(put);
  EXPECT_EQ(sent.exit, 0) << sent;
  EXPECT_TRUE(sent.err.empty()) << sent;
  EXPECT_TRUE(sent.out.empty()) << sent;
  EXPECT_EQ(FreeClusters(), 254 - clusters);

  // The data lands in the lowest free clusters, file after file.
  const std::vector<LongLine> listed = LsLong();
  ASSERT_EQ(listed.size(), 5u);
  const std::map<std::string, std::string> first = {
      {"empty.mp3", "-"}, {"small.mp3", "2"}, {"one.mp3", "3"}, {"two.voc", "4"}, {"big.mp3", "6"}};
  for (const LongLine& l : listed) {
    ASSERT_TRUE(content.count(l.name)) << l.name;
    EXPECT_EQ(l.size, content[l.name].size()) << l.name;
    EXPECT_EQ(l.first, first.at(l.name)) << l.name;
  }

  const std::string back = dir_.Sub("back");
  std::vector<std::string> get = {"get"};
  for (const auto& f : files) get.push_back(f.first);
  const RunResult fetched = Z(get, back);
  EXPECT_EQ(fetched.exit, 0) << fetched;
  EXPECT_TRUE(fetched.err.empty()) << fetched;
  EXPECT_TRUE(fetched.out.empty()) << fetched;
  // Exactly the files, exactly their bytes, no leftovers of the copying.
  Names expected;
  for (const auto& f : files) expected.push_back(f.first);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderNames(back), expected);
  for (const auto& f : files) {
    EXPECT_TRUE(SameBytes(back + "/" + f.first, content[f.first]));
  }

  std::vector<std::string> rm = {"rm"};
  for (const auto& f : files) rm.push_back(f.first);
  const RunResult removed = Z(rm);
  EXPECT_EQ(removed.exit, 0) << removed;
  EXPECT_TRUE(LsNames().empty());
  EXPECT_EQ(FreeClusters(), 254);
}

TEST_F(cli_image, ListShowsMusicThenVoiceEachByFileId) {
  Format(4);
  Pc("v1.voc", 10, 1);
  Pc("m1.mp3", 20, 2);
  Pc("v2.VOC", 30, 3);
  Pc("m2.Mp3", 0, 4);
  const RunResult r = Z({"put", "v1.voc", "m1.mp3", "v2.VOC", "m2.Mp3"});
  ASSERT_EQ(r.exit, 0) << r;
  EXPECT_EQ(LsNames(), (Names{"m1.mp3", "m2.Mp3", "v1.voc", "v2.VOC"}));
  const std::vector<LongLine> l = LsLong();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[0].id, 0x01u);
  EXPECT_EQ(l[1].id, 0x02u);
  EXPECT_EQ(l[2].id, 0x81u);
  EXPECT_EQ(l[3].id, 0x82u);
  EXPECT_EQ(l[0].first, "3");  // v1.voc took cluster 2
  EXPECT_EQ(l[1].first, "-");  // empty: no cluster
  EXPECT_EQ(l[1].size, 0u);
  EXPECT_EQ(l[2].first, "2");
  EXPECT_EQ(l[3].first, "4");
  EXPECT_EQ(l[3].size, 30u);
}

TEST_F(cli_image, PutSkipsAWrongKindAndGoesOn) {
  Format(4);
  Pc("a.mp3", 1000, 1);
  Pc("b.txt", 1000, 2);
  Pc("c.voc", 1000, 3);
  const RunResult r = Z({"put", "a.mp3", "b.txt", "c.voc"});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err, "zk27: b.txt: not an MP3 or voice file\n") << r;
  EXPECT_EQ(LsNames(), (Names{"a.mp3", "c.voc"}));

  // A name is judged by what follows its last dot: a.b.mp3 is an MP3,
  // a.mp3.txt is none.
  Pc("a.b.mp3", 10, 4);
  Pc("a.mp3.txt", 10, 5);
  Pc("y.mp3", 10, 6);
  const RunResult dots = Z({"put", "a.b.mp3", "a.mp3.txt", "y.mp3"});
  EXPECT_EQ(dots.exit, 1) << dots;
  EXPECT_EQ(dots.err, "zk27: a.mp3.txt: not an MP3 or voice file\n") << dots;
  EXPECT_EQ(LsNames(), (Names{"a.mp3", "a.b.mp3", "y.mp3", "c.voc"}));
}

TEST_F(cli_image, NoSpaceStopsTheRun) {
  Format(4);  // 62 free clusters
  Pc("small.mp3", 100, 1);
  Pc("huge.mp3", 62 * kCluster, 2);  // one cluster too many once small.mp3 is on
  Pc("later.mp3", 100, 3);
  const RunResult r = Z({"put", "small.mp3", "huge.mp3", "later.mp3"});
  EXPECT_EQ(r.exit, 1) << r;
  // What is missing, in clusters and bytes, and how far the run got.
  EXPECT_EQ(r.err, "zk27: huge.mp3: needs 62 clusters (4.1 MB), 61 free (4.0 MB); 1 of 3 files sent\n") << r;
  EXPECT_EQ(LsNames(), Names{"small.mp3"}) << "the run goes no further than the file that did not fit";
  EXPECT_EQ(FreeClusters(), 61);

  // Space is judged before the kind: a file both too large and of a wrong
  // kind stops the run as well.
  Pc("huge.txt", 62 * kCluster, 4);
  const RunResult both = Z({"put", "huge.txt", "later.mp3"});
  EXPECT_EQ(both.exit, 1) << both;
  EXPECT_EQ(both.err, "zk27: huge.txt: needs 62 clusters (4.1 MB), 61 free (4.0 MB); 0 of 2 files sent\n")
      << both;

  // A file needing exactly the free clusters fits and leaves none; an empty
  // file still fits after that.
  Pc("fill.mp3", 61 * kCluster - 5, 5);
  Pc("zero.mp3", 0, 6);
  const RunResult fill = Z({"put", "fill.mp3", "zero.mp3"});
  EXPECT_EQ(fill.exit, 0) << fill;
  EXPECT_TRUE(fill.err.empty()) << fill;
  EXPECT_EQ(FreeClusters(), 0);
  EXPECT_EQ(LsNames(), (Names{"small.mp3", "fill.mp3", "zero.mp3"}));
}

TEST_F(cli_image, UnreadablePcFilesAreSkippedAndCounted) {
  Format(4);
  Pc("a.mp3", 300, 1);
  Pc("c.mp3", 300, 2);
  fs::create_directories(pc_ + "/folder.mp3");
  const RunResult r = Z({"put", "a.mp3", "missing.mp3", "folder.mp3", "c.mp3"});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err,
            "zk27: missing.mp3: No such file or directory\n"
            "zk27: folder.mp3: is a directory\n")
      << r;
  EXPECT_EQ(LsNames(), (Names{"a.mp3", "c.mp3"}));

  Pc("d.voc", 5, 3);
  const RunResult one = Z({"put", "d.voc"});
  EXPECT_EQ(one.exit, 0) << one;
  EXPECT_TRUE(one.err.empty()) << one;
  const RunResult none = Z({"put", "missing.mp3"});
  EXPECT_EQ(none.exit, 1) << none;
  EXPECT_EQ(none.err, "zk27: missing.mp3: No such file or directory\n") << none;
  // A file in a folder whose name holds a dot is judged by its own name.
  fs::create_directories(pc_ + "/dir.v2");
  Pc("dir.v2/e.mp3", 7, 4);
  const RunResult inDir = Z({"put", "dir.v2/e.mp3"});
  EXPECT_EQ(inDir.exit, 0) << inDir;
  EXPECT_EQ(LsNames(), (Names{"a.mp3", "c.mp3", "e.mp3", "d.voc"}));
}

TEST_F(cli_image, NamesTheCardCannotHoldAreRefusedBeforeAnythingIsWritten) {
  Format(4);
  const std::string tooLong = std::string(59, 'n') + ".mp3";       // 63 bytes
  const std::string foreign = "日本.mp3";                            // not in Windows-1252
  std::string accentsTooLong;
  for (int i = 0; i < 59; ++i) accentsTooLong += "é";                // 63 card bytes
  accentsTooLong += ".mp3";
  Pc(tooLong, 5000, 1);
  Pc(foreign, 5000, 2);
  Pc(accentsTooLong, 5000, 3);
  const Bytes before = *ReadFile(card_);

  const RunResult r = Z({"put", tooLong, foreign, accentsTooLong});
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err,
            "zk27: " + tooLong + ": name too long for the card (at most 62 characters)\n"
            "zk27: " + foreign + ": the card cannot hold this name (a character outside its code page, a "
            "control character, \\ or :, or a leading dot)\n"
            "zk27: " + accentsTooLong + ": name too long for the card (at most 62 characters)\n")
      << r;
  EXPECT_TRUE(SameBytes(card_, before)) << "a refused name changed the card image";
  EXPECT_EQ(FreeClusters(), 62);

  // 62 bytes fit, counted in card bytes: 58 accented letters are 116 bytes of
  // UTF-8 but 58 bytes on the card.
  const std::string longest = std::string(58, 'k') + ".mp3";
  std::string accents;
  for (int i = 0; i < 58; ++i) accents += "é";
  accents += ".mp3";
  const Bytes a = Pc(longest, 2000, 4);
  const Bytes b = Pc(accents, 3000, 5);
  const Bytes c = Pc("Café.mp3", 70000, 6);
  const RunResult ok = Z({"put", longest, accents, "Café.mp3"});
  EXPECT_EQ(ok.exit, 0) << ok;
  EXPECT_EQ(LsNames(), (Names{longest, accents, "Café.mp3"}));

  // On the card the name is Windows-1252: "Caf" 0xE9 ".mp3", 8 bytes.
  const std::uint64_t entry = FindEntry(card_, std::string("Caf\xE9.mp3"));
  EXPECT_NE(entry, 0u) << "Café.mp3 is not stored in Windows-1252";
  EXPECT_NE(FindEntry(card_, std::string(58, '\xE9') + ".mp3"), 0u);

  const std::string back = dir_.Sub("back");
  const RunResult got = Z({"get", "Café.mp3", accents, longest}, back);
  EXPECT_EQ(got.exit, 0) << got;
  EXPECT_TRUE(SameBytes(back + "/Café.mp3", c));
  EXPECT_TRUE(SameBytes(back + "/" + accents, b));
  EXPECT_TRUE(SameBytes(back + "/" + longest, a));
  EXPECT_EQ(FolderNames(back).size(), 3u);
}

// A file sent with zk27 is either refused before it is written or comes back
// with zk27 get. Put once stored names that get refuses as "a name that
// cannot be used on the PC": names with ':' or '\\', control characters (TAB,
// DEL) or one of the five code points Windows-1252 leaves undefined (U+0090
// here).
TEST_F(cli_image, EveryNamePutAcceptsComesBackWithGet) {
  Format(4);
  const Names odd = {"a:b.mp3", "a\\b.mp3", "tab\tx.mp3", "del\x7f.mp3", "ctl\xC2\x90.mp3", "€uro.mp3", ".mp3"};
  const std::string back = dir_.Sub("back");
  std::uint32_t seed = 40;
  for (const std::string& name : odd) {
    SCOPED_TRACE(name);
    // No Windows file has ':', '\\' or a control character in its name.
    if (Zk27UnderWine() && name.find_first_of(":\\\t") != std::string::npos) continue;
    const Bytes content = Pc(name, 1000, seed++);
    const Bytes before = *ReadFile(card_);
    const RunResult put = Z({"put", name});
    const Names listed = LsNames();
    const bool stored = std::find(listed.begin(), listed.end(), name) != listed.end();
    if (!stored) {
      // Refused: said so, and nothing of it reached the card.
      EXPECT_EQ(put.exit, 1) << put;
      EXPECT_TRUE(Holds(put.err, ": the card cannot hold this name")) << put;
      EXPECT_EQ(Lines(put.err).size(), 1u) << put;
      EXPECT_TRUE(SameBytes(card_, before));
      continue;
    }
    EXPECT_EQ(put.exit, 0) << put;
    const RunResult got = Z({"get", name}, back);
    EXPECT_EQ(got.exit, 0) << "stored by put but not given back by get\n" << got;
    EXPECT_TRUE(SameBytes(back + "/" + name, content));
  }
}

TEST_F(cli_image, DirectoryLimitsAreCheckedBeforeWriting) {
  Format(4);
  // 127 music numbers; the 128th music file is refused and the run goes on.
  std::vector<std::string> put = {"put"};
  for (int i = 1; i <= 128; ++i) {
    Pc("m" + std::to_string(i) + ".mp3", 0, 0);
    put.push_back("m" + std::to_string(i) + ".mp3");
  }
  Pc("v1.voc", 0, 0);
  put.push_back("v1.voc");
  const RunResult music = Z(put);
  EXPECT_EQ(music.exit, 1) << music;
  EXPECT_EQ(music.err, "zk27: m128.mp3: the card holds 127 music files already\n") << music;
  std::vector<LongLine> l = LsLong();
  ASSERT_EQ(l.size(), 128u);
  EXPECT_EQ(l[126].name, "m127.mp3");
  EXPECT_EQ(l[126].id, 0x7Fu);
  EXPECT_EQ(l[127].name, "v1.voc");

  // 240 name slots: the 241st file stops the run.
  put = {"put"};
  for (int i = 2; i <= 114; ++i) {
    Pc("v" + std::to_string(i) + ".voc", 0, 0);
    put.push_back("v" + std::to_string(i) + ".voc");
  }
  const Bytes c = Pc("c.voc", 100, 1);
  const RunResult names = Z(put);
  EXPECT_EQ(names.exit, 1) << names;
  EXPECT_EQ(names.err, "zk27: v114.voc: the card's name table is full; 112 of 113 files sent\n") << names;
  l = LsLong();
  ASSERT_EQ(l.size(), 240u);
  EXPECT_EQ(l.back().name, "v113.voc");
  const Bytes full = *ReadFile(card_);
  const RunResult more = Z({"put", "c.voc"});
  EXPECT_EQ(more.exit, 1) << more;
  EXPECT_TRUE(SameBytes(card_, full)) << "a file refused for want of a name slot was written";

  // Deleting one makes room for one.
  ASSERT_EQ(Z({"rm", "m1.mp3"}).exit, 0);
  ASSERT_EQ(Z({"put", "c.voc"}).exit, 0);
  ASSERT_EQ(Z({"get", "c.voc"}, dir_.Sub("back")).exit, 0);
  EXPECT_TRUE(SameBytes(dir_ / "back/c.voc", c));
}

TEST_F(cli_image, GetReportsMissingNamesAndReplacesPcFiles) {
  Format(4);
  const Bytes a = Pc("a.mp3", 70000, 1);
  const Bytes b = Pc("b.voc", 200, 2);
  ASSERT_EQ(Z({"put", "a.mp3", "b.voc"}).exit, 0);

  const std::string back = dir_.Sub("back");
  // An older, longer PC file of the same name is replaced without a question.
  ASSERT_TRUE(WriteFile(back + "/b.voc", Content(100000, 9)));
  const RunResult r = Z({"get", "a.mp3", "nothere.mp3", "b.voc"}, back);
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err, "zk27: nothere.mp3: no such file on the card\n") << r;
  EXPECT_EQ(FolderNames(back), (Names{"a.mp3", "b.voc"}));
  EXPECT_TRUE(SameBytes(back + "/a.mp3", a));
  EXPECT_TRUE(SameBytes(back + "/b.voc", b));

  const RunResult none = Z({"get", "nothere.mp3"}, back);
  EXPECT_EQ(none.exit, 1) << none;
  EXPECT_EQ(none.err, "zk27: nothere.mp3: no such file on the card\n") << none;
  const RunResult one = Z({"get", "a.mp3"}, back);
  EXPECT_EQ(one.exit, 0) << one;
  EXPECT_TRUE(one.err.empty()) << one;
  // Names are matched exactly, case included; the name that differs only in
  // case is suggested.
  const RunResult cased = Z({"get", "A.MP3"}, back);
  EXPECT_EQ(cased.exit, 1) << cased;
  EXPECT_EQ(cased.err, "zk27: A.MP3: no such file on the card (did you mean a.mp3?)\n") << cased;
  EXPECT_EQ(FolderNames(back), (Names{"a.mp3", "b.voc"}));

  // A PC file that cannot be made (a folder holds the name) ends the pass:
  // the folder is left alone and nothing after it is fetched.
  const std::string blocked = dir_.Sub("blocked");
  fs::create_directories(blocked + "/a.mp3");
  const RunResult handle = Z({"get", "a.mp3", "b.voc"}, blocked);
  EXPECT_EQ(handle.exit, 1) << handle;
  EXPECT_EQ(handle.err, "zk27: a.mp3: cannot be created in the current directory; 0 of 2 files fetched\n") << handle;
  EXPECT_EQ(FolderNames(blocked), Names{"a.mp3"});
  EXPECT_TRUE(fs::is_directory(blocked + "/a.mp3"));
  EXPECT_TRUE(FolderNames(blocked + "/a.mp3").empty());
}

TEST_F(cli_image, RmClosesUpFileIdsAndReportsMissingNames) {
  Format(4);
  const Names names = {"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "v1.voc", "v2.voc"};
  std::map<std::string, Bytes> content;
  for (std::size_t i = 0; i < names.size(); ++i) content[names[i]] = Pc(names[i], 70000, 100 + static_cast<std::uint32_t>(i));
  ASSERT_EQ(Z({"put", "m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "v1.voc", "v2.voc"}).exit, 0);
  EXPECT_EQ(FreeClusters(), 62 - 12);

  // The two lowest music files go: the other two become 01 and 02, voice
  // files keep their numbers.
  const RunResult r = Z({"rm", "m1.mp3", "m2.mp3"});
  EXPECT_EQ(r.exit, 0) << r;
  std::vector<LongLine> l = LsLong();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[0].name, "m3.mp3");
  EXPECT_EQ(l[0].id, 0x01u);
  EXPECT_EQ(l[1].name, "m4.mp3");
  EXPECT_EQ(l[1].id, 0x02u);
  EXPECT_EQ(l[2].name, "v1.voc");
  EXPECT_EQ(l[2].id, 0x81u);
  EXPECT_EQ(l[3].name, "v2.voc");
  EXPECT_EQ(l[3].id, 0x82u);
  EXPECT_EQ(FreeClusters(), 62 - 8);

  // A name that is not on the card is reported; the others are deleted.
  const RunResult miss = Z({"rm", "v1.voc", "gone.mp3"});
  EXPECT_EQ(miss.exit, 1) << miss;
  EXPECT_EQ(miss.err, "zk27: gone.mp3: no such file on the card\n") << miss;
  l = LsLong();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[2].name, "v2.voc");
  EXPECT_EQ(l[2].id, 0x81u);
  EXPECT_EQ(l[0].id, 0x01u);
  EXPECT_EQ(l[1].id, 0x02u);

  // The next music file numbers on from the closed-up ones.
  Pc("m5.mp3", 10, 5);
  ASSERT_EQ(Z({"put", "m5.mp3"}).exit, 0);
  l = LsLong();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[2].name, "m5.mp3");
  EXPECT_EQ(l[2].id, 0x03u);

  // Deleting the highest number changes no other.
  ASSERT_EQ(Z({"rm", "m5.mp3"}).exit, 0);
  l = LsLong();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0].id, 0x01u);
  EXPECT_EQ(l[1].id, 0x02u);

  // The content of the survivors is untouched.
  const std::string back = dir_.Sub("back");
  ASSERT_EQ(Z({"get", "m3.mp3", "m4.mp3", "v2.voc"}, back).exit, 0);
  for (const char* n : {"m3.mp3", "m4.mp3", "v2.voc"})
    EXPECT_TRUE(SameBytes(back + "/" + n, content[n]));
}

// A name one character short of a card file's names no file: rm and get
// must never take "a.mp3" for "a.mp".
TEST_F(cli_image, ANameMustMatchWholly) {
  Format(4);
  const Bytes a = Pc("a.mp3", 1000, 7);
  Pc("ab.mp3", 1000, 8);
  ASSERT_EQ(Z({"put", "a.mp3", "ab.mp3"}).exit, 0);
  const RunResult rm = Z({"rm", "a.mp"});
  EXPECT_EQ(rm.exit, 1) << rm;
  EXPECT_EQ(rm.err, "zk27: a.mp: no such file on the card\n") << rm;
  const std::string back = dir_.Sub("back");
  const RunResult get = Z({"get", "ab.mp"}, back);
  EXPECT_EQ(get.exit, 1) << get;
  EXPECT_EQ(FolderNames(back), Names{});
  EXPECT_EQ(LsNames(), (Names{"a.mp3", "ab.mp3"}));
  ASSERT_EQ(Z({"get", "a.mp3"}, back).exit, 0);
  EXPECT_TRUE(SameBytes(back + "/a.mp3", a));
}

// A card that carries the player's label but no size is formatted when it is
// read, without a question, instead of being refused.
// A boot sector whose total is 0 marks a card to be formatted: a command that
// only reads it says so and leaves it alone; one that writes formats it first.
TEST_F(cli_image, ACardWithoutItsSizeIsFormattedOnlyByAWriter) {
  Format(4);
  Pc("a.mp3", 1000, 9);
  Pc("b.mp3", 1000, 10);
  ASSERT_EQ(Z({"put", "a.mp3"}).exit, 0);
  ASSERT_TRUE(WriteAt(card_, 32 * 512 + 32, {0, 0, 0, 0}));
  // Over a file, a total of 0 is damage that no command formats away; the
  // check reports it.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls"}, {"info"}, {"check"}, {"put", "b.mp3"}}) {
    const RunResult r = Z(args);
    EXPECT_EQ(r.exit, args[0] == "check" ? 1 : 3) << r;
    EXPECT_EQ(ReadAt(card_, 32 * 512 + 32, 4), LeBytes(0, 4)) << args[0];
    EXPECT_NE(FindEntry(card_, "a.mp3"), 0u) << args[0];
  }
  // A blank card, its directory empty: only a writer formats it.
  Format(4);
  ASSERT_TRUE(WriteAt(card_, 32 * 512 + 32, {0, 0, 0, 0}));
  for (const char* reader : {"ls", "info", "check"}) {
    const RunResult r = Z({reader});
    EXPECT_EQ(r.exit, 3) << r;
    EXPECT_TRUE(Holds(r.err, "not formatted")) << reader;
    EXPECT_EQ(ReadAt(card_, 32 * 512 + 32, 4), LeBytes(0, 4)) << reader;
  }
  const RunResult put = Z({"put", "b.mp3"});
  EXPECT_EQ(put.exit, 0) << put;
  EXPECT_EQ(ReadAt(card_, 32 * 512 + 32, 4), LeBytes(8192, 4));
  EXPECT_EQ(LsNames(), Names{"b.mp3"});
  EXPECT_EQ(FreeClusters(), 61);
}

// On a card whose names and FileIds disagree (a music number named .voc),
// deleting it must not push the voice numbers down into the music range or
// to number 0.
TEST_F(cli_image, RenumberingNeverCrossesIntoTheOtherKind) {
  Format(4);
  for (const char* n : {"a.mp3", "y.voc", "z.voc"}) Pc(n, 100, 3);
  ASSERT_EQ(Z({"put", "a.mp3", "y.voc", "z.voc"}).exit, 0);
  // Rename the music file's slot to "a.voc" (same length), as a foreign
  // program might have left it.
  ASSERT_NE(FindEntry(card_, "a.mp3"), 0u);
  ASSERT_TRUE(WriteAt(card_, SlotOf(card_, FindEntry(card_, "a.mp3")) + 2, {'a', '.', 'v', 'o', 'c'}));
  const RunResult rm = Z({"rm", "a.voc"});
  EXPECT_EQ(rm.exit, 0) << rm;
  std::vector<LongLine> l = LsLong();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].name, "y.voc");
  EXPECT_EQ(l[0].id, 0x81u);
  EXPECT_EQ(l[1].name, "z.voc");
  EXPECT_EQ(l[1].id, 0x82u);
}

TEST_F(cli_image, TowavFetchesVoiceRecordingsAndWritesWaveFiles) {
  Format(4);
  // Bytes without the voice file header are headerless ADPCM: 2 samples a byte.
  const Bytes memo = Pc("memo.voc", 1000, 1);
  Pc("a.mp3", 100, 2);
  ASSERT_EQ(Z({"put", "memo.voc", "a.mp3"}).exit, 0);
  ASSERT_EQ(::unlink((pc_ + "/memo.voc").c_str()), 0);
  ASSERT_EQ(::unlink((pc_ + "/a.mp3").c_str()), 0);

  const RunResult r = Z({"towav", "a.mp3", "memo.voc", "none.voc"});
  EXPECT_EQ(r.exit, 1) << r;
  // The name missing is said before anything is fetched.
  EXPECT_EQ(r.err,
            "zk27: none.voc: no such file on the card\n"
            "zk27: a.mp3: not a voice recording\n")
      << r;
  EXPECT_TRUE(r.out.empty()) << r;
  EXPECT_EQ(FolderNames(pc_), (Names{"memo.voc", "memo.wav"}));
  EXPECT_EQ(*ReadFile(pc_ + "/memo.voc"), memo);
  const Bytes wav = *ReadFile(pc_ + "/memo.wav");
  ASSERT_GE(wav.size(), 44u + 4000u);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 12), "WAVE");
  const std::size_t at = wav.size() - 4000 - 4;
  EXPECT_EQ(wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 | wav[at + 3] << 24, 4000) << "the data chunk holds the 2000 samples";
}

TEST_F(cli_image, FormatAsksOnATerminalAndTakesOnlyYes) {
  ZK27_SKIP_UNDER_WINE("the terminal is a Linux pty");
  Format(4);
  Pc("a.mp3", 100, 1);
  ASSERT_EQ(Z({"put", "a.mp3"}).exit, 0);
  const std::vector<std::string> format = {Zk27(), "--image", card_, "format"};

  auto [shown, exit] = OnTerminal(format, "n\n");
  EXPECT_TRUE(Holds(shown, "zk27: format the card? Every file on it is lost. [y/N] ")) << shown;
  EXPECT_TRUE(Holds(shown, "zk27: the card was not formatted")) << shown;
  EXPECT_NE(exit, 0);
  EXPECT_EQ(LsLong().size(), 1u);

  std::tie(shown, exit) = OnTerminal(format, "y\n");
  EXPECT_EQ(exit, 0) << shown;
  EXPECT_FALSE(Holds(shown, "not formatted")) << shown;
  EXPECT_TRUE(LsLong().empty());
}

// zk27 starts without the decoder's sound libraries, and on a card image it
// never needs USB; only a conversion loads the sound libraries (the dynamic
// loader's own log tells which files it opened).
TEST_F(cli_image, SoundAndUsbLibrariesLoadOnlyWhenNeeded) {
  ZK27_SKIP_UNDER_WINE("the loads are seen through LD_DEBUG");
  Format(4);
  Pc("memo.voc", 1000, 1);
  ASSERT_EQ(Z({"put", "memo.voc"}).exit, 0);
  auto loaded = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {Zk27(), "--image", card_});
    RunOptions o;
    o.cwd = pc_;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    o.env["LD_DEBUG"] = "files";
    const RunResult r = RunProgram(args, dir_.path(), o);
    EXPECT_EQ(r.exit, 0) << r;
    return r.err;
  };
  for (const std::vector<std::string>& args : {std::vector<std::string>{"ls"}, {"info"}, {"--help"}}) {
    const std::string log = loaded(args);
    EXPECT_FALSE(Holds(log, "libsndfile")) << args[0];
    EXPECT_FALSE(Holds(log, "libusb")) << args[0];
  }
  const std::string log = loaded({"towav", "memo.voc"});
  EXPECT_TRUE(Holds(log, "libsndfile"));
  EXPECT_FALSE(Holds(log, "libusb"));
  EXPECT_TRUE(std::filesystem::exists(pc_ + "/memo.wav"));
}

// An image file is written as cp writes a file, its writes left to the
// kernel; with --sync every changing command waits for them (fdatasync) at
// its barriers. Each command runs on the same card both ways.
TEST_F(cli_image, SyncWaitsForAnImagesWritesOnlyWhenAsked) {
  ZK27_SKIP_UNDER_WINE("the barriers are counted with strace");
  const std::string strace = FindStrace();
  if (strace.empty()) GTEST_SKIP() << "strace is not installed (scripts/setup installs it)";
  Format(2);
  Pc("a.mp3", 70000, 1);
  Pc("b.voc", 3000, 2);
  Pc("d.mp3", 1000, 3);
  ASSERT_EQ(Z({"put", "b.voc", "d.mp3"}).exit, 0);
  const std::string trace = dir_ / "sync.trace";
  // The calls that wait for the disk that zk27 makes for `args`.
  auto waits = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {strace, "-f", "-qq", "-o", trace, "-e",
                                     "trace=fsync,fdatasync,sync,syncfs,sync_file_range,msync", Zk27()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = pc_;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    // Under the sanitizer build: the leak checker cannot run under ptrace.
    if (const char* asan = std::getenv("ASAN_OPTIONS"); asan && *asan)
      o.env["ASAN_OPTIONS"] = std::string(asan) + ":detect_leaks=0";
    const RunResult r = RunProgram(argv, dir_.path(), o);
    EXPECT_EQ(r.exit, 0) << r;
    const std::string log = ReadText(trace);
    return std::pair{Count(log, "fdatasync("), Count(log, "(") - Count(log, "fdatasync(")};
  };
  const std::vector<std::vector<std::string>> commands = {
      {"put", "a.mp3"}, {"mv", "a.mp3", "c.mp3"}, {"order", "c.mp3"}, {"rm", "b.voc"}, {"format", "--yes"}};
  for (const std::vector<std::string>& command : commands) {
    SCOPED_TRACE(command[0]);
    const Bytes before = *ReadFile(card_);
    std::vector<std::string> args = {"--image", card_};
    args.insert(args.end(), command.begin(), command.end());
    EXPECT_EQ(waits(args), (std::pair{0, 0})) << "an image written without --sync waited for the disk";
    ASSERT_TRUE(WriteFile(card_, before));
    args.insert(args.begin(), "--sync");
    const auto [synced, others] = waits(args);
    EXPECT_GE(synced, 1) << "--sync made no barrier wait for the disk";
    EXPECT_EQ(others, 0);
  }
  EXPECT_TRUE(LsNames().empty());
}

TEST_F(cli_image, ReadOnlyImageCanBeListedButNotWritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes a read-only file all the same";
  Format(4);
  Pc("a.mp3", 100, 1);
  ASSERT_EQ(Z({"put", "a.mp3"}).exit, 0);
  ASSERT_EQ(::chmod(card_.c_str(), 0444), 0);
  const Bytes before = *ReadFile(card_);
  EXPECT_EQ(LsNames(), Names{"a.mp3"});
  Pc("b.mp3", 100, 2);
  const RunResult r = Z({"put", "b.mp3"});
  EXPECT_EQ(r.exit, 3) << r;
  EXPECT_EQ(r.err, "zk27: the card is write-protected (read-only) during b.mp3; 0 of 1 file sent\n") << r;
  EXPECT_TRUE(SameBytes(card_, before));
}

// The disk that holds the image is full (here: a file size limit, which the
// image's writes meet with EFBIG). zk27 says so, and a delete whose table
// write reached nothing says that every file is still there.
TEST_F(cli_image, AFullDiskIsSaidAndAWriteThatReachedNothingSaysSo) {
  ZK27_SKIP_UNDER_WINE("the full disk is RLIMIT_FSIZE, which wine does not say as a full disk");
  Format(4);
  Pc("a.mp3", 100, 1);
  ASSERT_EQ(Z({"put", "a.mp3"}).exit, 0);
  const Layout layout = ReadLayout(card_);
  const Bytes before = *ReadFile(card_);
  Pc("b.mp3", 100000, 2);
  struct Case {
    std::vector<std::string> args;
    std::uint64_t limit;  // the first byte the disk has no room for
    std::string err;
  };
  const Case cases[] = {
      {{"put", "b.mp3"}, layout.ClusterOffset(3),
       "zk27: no space left on the disk that holds the card image during b.mp3; 0 of 1 file sent\n"},
      {{"rm", "a.mp3"}, layout.directory,
       "zk27: no space left on the disk that holds the card image while writing the card's tables; nothing was "
       "written, no file was deleted\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = c.limit;
    auto* const oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const RunResult r = Z(c.args);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r.exit, 3) << r;
    EXPECT_EQ(r.err, c.err) << r;
    EXPECT_TRUE(SameBytes(card_, before));
  }
  EXPECT_EQ(LsNames(), Names{"a.mp3"});
}

}  // namespace
