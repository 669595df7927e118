// zk27 as a Unix tool, from the outside: quiet on success, one line a
// problem, -v and -q, options anywhere and "--", card names as patterns and
// by FileId, names escaped, the progress line only on a terminal.
#include "support/cli.h"

#include "cli.h"
#include "messages.h"
#include "tvdh.h"

using namespace zk27_test;

namespace {

using Names = std::vector<std::string>;

class cli_conventions : public ImageCliTest {
 protected:
  // A card holding two music files and two voice files.
  void FourFiles() {
    Format(4);
    for (const char* n : {"a.mp3", "b.mp3", "c.voc", "d.voc"}) content_[n] = Pc(n, 70000, n[0]);
    const RunResult r = Z({"put", "a.mp3", "b.mp3", "c.voc", "d.voc"});
    ASSERT_EQ(r.exit, 0) << r;
  }

  // Overwrites the stored name of card file `name` with `bytes` of the same
  // length, as a foreign program might have written it.
  void RenameOnCard(const std::string& name, const std::string& bytes) {
    ASSERT_EQ(name.size(), bytes.size());
    ASSERT_NE(FindEntry(card_, name), 0u) << name;
    ASSERT_TRUE(WriteAt(card_, SlotOf(card_, FindEntry(card_, name)) + 2, Bytes(bytes.begin(), bytes.end())));
  }
  void SetSlotLength(const std::string& name, std::uint16_t length) {
    ASSERT_NE(FindEntry(card_, name), 0u) << name;
    ASSERT_TRUE(WriteAt(card_, SlotOf(card_, FindEntry(card_, name)), LeBytes(length, 2)));
  }

  // zk27 --image CARD args... with its standard descriptors as the shell
  // redirection `redirect` leaves them.
  RunResult Redirected(const std::string& redirect, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect, Zk27(), "--image", card_};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.cwd = pc_;
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    return RunProgram(argv, dir_.path(), o);
  }

  std::map<std::string, Bytes> content_;
};

TEST_F(cli_conventions, ClosedDescriptorsAndAFullStandardOutput) {
  FourFiles();
  const auto before = ReadFile(card_);
  ASSERT_TRUE(before);
  for (const char* closed : {"2>&-", "<&- >&- 2>&-"}) {
    const RunResult r = Redirected(closed, {"get", "nosuch.mp3"});
    EXPECT_EQ(r.exit, 1) << closed << "\n" << r;
    EXPECT_TRUE(ReadFile(card_) == before) << closed << ": the card image changed";
  }
  for (const char* command : {"ls", "info", "check"}) {
    const RunResult r = Redirected(">/dev/full", {command});
    EXPECT_EQ(r.exit, 1) << command << "\n" << r;
    EXPECT_EQ(r.err, "zk27: standard output: No space left on device\n") << command;
  }
}

TEST_F(cli_conventions, PatternsChooseFilesAndANameChoosingNothingIsNamed) {
  FourFiles();
  const std::string back = dir_.Sub("back");
  RunResult r = Z({"get", "*.voc"}, back);
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(r.err.empty() && r.out.empty()) << r;
  EXPECT_EQ(FolderNames(back), (Names{"c.voc", "d.voc"}));
  EXPECT_TRUE(SameBytes(back + "/c.voc", content_["c.voc"]));

  // Patterns and names that overlap fetch each file once; [..] and ? work;
  // a pattern that matches nothing fails the run but not the others.
  const std::string more = dir_.Sub("more");
  r = Z({"get", "[ab].mp3", "a.mp3", "?.voc", "*.wma"}, more);
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err, "zk27: *.wma: no card file matches\n") << r;
  EXPECT_EQ(FolderNames(more), (Names{"a.mp3", "b.mp3", "c.voc", "d.voc"}));

  // towav's patterns choose among the recordings only.
  const std::string wav = dir_.Sub("wav");
  r = Z({"towav", "*"}, wav);
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(FolderNames(wav), (Names{"c.voc", "c.wav", "d.voc", "d.wav"}));
  r = Z({"towav", "*.mp3"}, wav);
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err, "zk27: *.mp3: no voice recording on the card matches\n");

  // --all fetches everything; it takes no names, and get needs one or the other.
  const std::string all = dir_.Sub("all");
  r = Z({"get", "--all"}, all);
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(FolderNames(all), (Names{"a.mp3", "b.mp3", "c.voc", "d.voc"}));
  EXPECT_EQ(Z({"get", "-a", "a.mp3"}).exit, 2);
  EXPECT_EQ(Z({"get"}).exit, 2);

  // A pattern deletes; the card is then as if the files were deleted by name.
  r = Z({"rm", "-v", "*.mp3"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out, "deleted a.mp3\ndeleted b.mp3\n");
  EXPECT_EQ(LsNames(), (Names{"c.voc", "d.voc"}));
  EXPECT_EQ(Z({"check"}).exit, 0);
}

TEST_F(cli_conventions, QuietOnSuccessVerboseSaysWhatWasDone) {
  Format(4);
  Pc("a.mp3", 4200, 1);
  Pc("b.voc", 999, 2);
  RunResult r = Z({"put", "a.mp3", "b.voc"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_TRUE(r.out.empty() && r.err.empty()) << r;
  ASSERT_EQ(Z({"rm", "a.mp3", "b.voc"}).exit, 0);

  // -v anywhere before "--", a line a file on stdout.
  r = Z({"put", "a.mp3", "b.voc", "-v"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out, "sent a.mp3 (4.2 kB)\nsent b.voc (999 bytes)\n");
  EXPECT_TRUE(r.err.empty()) << r;
  const std::string back = dir_.Sub("back");
  r = Z({"--verbose", "get", "a.mp3"}, back);
  EXPECT_EQ(r.out, "fetched a.mp3 (4.2 kB)\n");
  r = Z({"-v", "towav", "b.voc"}, back);
  EXPECT_EQ(r.out, "converted b.voc to b.wav\n");
  r = Z({"format", "-yv"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out, "formatted the card: 4.1 MB free\n");

  // A problem is said with -v and with -q alike: one line, naming the file.
  Pc("notes.txt", 10, 3);
  for (const char* mode : {"-v", "-q"}) {
    r = Z({mode, "put", "notes.txt"});
    EXPECT_EQ(r.exit, 1) << r;
    EXPECT_EQ(r.err, "zk27: notes.txt: not an MP3 or voice file\n") << mode;
  }
}

TEST_F(cli_conventions, OptionsGoAnywhereBeforeTheDoubleDash) {
  Format(4);
  Pc("-dash.mp3", 100, 1);
  Pc("a.mp3", 100, 2);
  // "--" ends the options: a file whose name begins with '-'.
  RunResult r = Z({"put", "--", "-dash.mp3", "a.mp3"});
  EXPECT_EQ(r.exit, 0) << r;
  r = Z({"put", "-dash.mp3"});
  EXPECT_EQ(r.exit, 2) << r;
  EXPECT_TRUE(Holds(r.err, "unknown option -d")) << r;

  // The program's options after the command, the command's bundled, the
  // command itself after "--".
  r = Raw({"ls", "-lh", "--image", card_});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(r.out, "01  100 bytes      2  -dash.mp3\n02  100 bytes      3  a.mp3\n");
  r = Raw({"--image=" + card_, "--", "ls"});
  EXPECT_EQ(Lines(r.out), (Names{"-dash.mp3", "a.mp3"})) << r;
  r = Raw({"-i", card_, "--", "rm", "-dash.mp3"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(LsNames(), Names{"a.mp3"});

  // Unknown options and values where none is taken are usage errors.
  EXPECT_EQ(Z({"ls", "--long=yes"}).exit, 2);
  EXPECT_EQ(Z({"ls", "-x"}).exit, 2);
  EXPECT_EQ(Raw({"ls", "--image"}).exit, 2);
}

TEST_F(cli_conventions, VersionOfBothPrograms) {
  const RunResult zk27 = Raw({"--version"});
  EXPECT_EQ(zk27.exit, 0) << zk27;
  EXPECT_TRUE(std::regex_match(zk27.out, std::regex(R"(zk27 [0-9]+\.[0-9]+\.[0-9]+\n)"))) << zk27.out;
  // Anywhere, like --help, and without a card.
  EXPECT_EQ(Raw({"ls", "--version"}).out, zk27.out);
  RunOptions o;
  const RunResult player = RunProgram({PlayerBin(), "--version"}, dir_.path(), o);
  EXPECT_EQ(player.exit, 0) << player;
  EXPECT_EQ(player.out, "zk27-player" + zk27.out.substr(4));
}

// A name with a control character is listed escaped, one line a file, and
// is taken back in that form; a file whose name cannot be read at all is
// listed as <unnamed #XX> and taken by its FileId.
TEST_F(cli_conventions, NamesAreEscapedAndEveryFileCanBeNamed) {
  Format(4);
  for (const char* n : {"xay.mp3", "eabcd.mp3", "nam.mp3", "long.mp3", "ok.mp3"}) Pc(n, 100, 1);
  ASSERT_EQ(Z({"put", "xay.mp3", "eabcd.mp3", "nam.mp3", "long.mp3", "ok.mp3"}).exit, 0);
  RenameOnCard("xay.mp3", "x\ny.mp3");
  RenameOnCard("eabcd.mp3", "e\x1b[2J.mp3");
  RenameOnCard("nam.mp3", std::string("n\0m.mp3", 7));
  SetSlotLength("long.mp3", 0xFFFF);

  RunResult r = Z({"ls"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(Lines(r.out), (Names{"x\\ny.mp3", "e\\e[2J.mp3", "<unnamed #03>", "<unnamed #04>", "ok.mp3"})) << r;
  for (const char c : r.out) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F)) << "raw control character";
  // The unreadable name is a warning; -q drops it.
  EXPECT_TRUE(Holds(r.err, "zk27: a music file on the card has no readable name")) << r;
  EXPECT_TRUE(Z({"-q", "ls"}).err.empty());

  // Named as listed, by FileId, by its <unnamed> form, or by a pattern over
  // the listed names.
  r = Z({"rm", "-v", "x\\ny.mp3", "#03", "<unnamed #04>"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(Lines(r.out), (Names{"deleted x\\ny.mp3", "deleted <unnamed #03>", "deleted <unnamed #04>"}));
  EXPECT_EQ(LsNames(), (Names{"e\\e[2J.mp3", "ok.mp3"}));
  r = Z({"rm", "e?e*"});
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(LsNames(), Names{"ok.mp3"});
  r = Z({"check"});
  EXPECT_EQ(r.exit, 0) << r;

  r = Z({"rm", "#09"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "zk27: #09: no file on the card has FileId #09\n");
}

// A name that differs from a card file's only in case is suggested, but
// never taken.
TEST_F(cli_conventions, ANameInTheWrongCaseIsSuggested) {
  Format(4);
  Pc("UPPER.MP3", 10, 1);
  Pc("Mixed.mp3", 10, 2);
  Pc("mixed.MP3", 10, 3);
  ASSERT_EQ(Z({"put", "UPPER.MP3", "Mixed.mp3", "mixed.MP3"}).exit, 0);
  const std::string back = dir_.Sub("back");
  RunResult r = Z({"get", "upper.mp3"}, back);
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "zk27: upper.mp3: no such file on the card (did you mean UPPER.MP3?)\n");
  // Two files alike: no guess.
  r = Z({"rm", "MIXED.mp3"});
  EXPECT_EQ(r.err, "zk27: MIXED.mp3: no such file on the card\n");
  EXPECT_TRUE(FolderNames(back).empty());
  EXPECT_EQ(LsNames().size(), 3u);
}

// On a terminal the progress line shows the file, the bytes, the percentage;
// it is wiped when the file is done, so a run that went well leaves the
// terminal as it was. Off a terminal nothing is shown (the other tests).
TEST_F(cli_conventions, ProgressLineOnlyOnATerminal) {
  Format(8);
  Pc("big.mp3", 2 * 1024 * 1024, 1);
  auto [shown, exit] = OnTerminal({Zk27(), "--image", card_, "put", pc_ + "/big.mp3"}, "");
  EXPECT_EQ(exit, 0) << shown;
  EXPECT_TRUE(Holds(shown, "big.mp3  ")) << shown;
  EXPECT_TRUE(Holds(shown, " of 2.1 MB  ")) << shown;
  EXPECT_TRUE(Holds(shown, "2.1 MB of 2.1 MB  100%")) << shown;
  EXPECT_EQ(shown.substr(shown.size() - 4), "\r\x1b[K") << "the line is not wiped at the end";

  // Fetched and sent: the figures never go back, the percentage is of the
  // bytes there, rounded down, and the last line is of the whole file.
  Pc("half.mp3", 500000, 3);  // 7 whole clusters and a part
  ASSERT_EQ(Z({"put", "half.mp3"}).exit, 0);
  const std::string back = dir_.Sub("back");
  for (const std::string command : {"get", "put"}) {
    SCOPED_TRACE(command);
    const std::string operand = command == "get" ? "half.mp3" : pc_ + "/half.mp3";
    if (command == "put") {
      ASSERT_EQ(Z({"rm", "half.mp3"}).exit, 0);
    }
    std::vector<std::string> args = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", back, Zk27(), "--image", card_,
                                     command, operand};
    std::tie(shown, exit) = OnTerminal(args, "");
    EXPECT_EQ(exit, 0) << shown;
    static const std::regex draw(R"(half\.mp3  ([0-9.]+ (?:bytes|kB)) of 500\.0 kB  ([0-9]+)%)");
    std::vector<std::pair<double, int>> drawn;
    for (auto it = std::sregex_iterator(shown.begin(), shown.end(), draw); it != std::sregex_iterator(); ++it)
      drawn.emplace_back(std::stod((*it)[1]) * (Holds((*it)[1], "kB") ? 1000 : 1), std::stoi((*it)[2]));
    ASSERT_FALSE(drawn.empty()) << shown;
    for (std::size_t i = 1; i < drawn.size(); ++i) {
      EXPECT_GE(drawn[i].first, drawn[i - 1].first) << shown;
      EXPECT_GE(drawn[i].second, drawn[i - 1].second) << shown;
    }
    for (const auto& [bytes, percent] : drawn) {
      EXPECT_EQ(percent, static_cast<int>(bytes * 100 / 500000 + 1e-9)) << shown;
      EXPECT_TRUE(percent < 100 || bytes == 500000) << shown;
    }
    EXPECT_EQ(drawn.back(), std::make_pair(500000.0, 100)) << shown;
  }
  Pc("big2.mp3", 2 * 1024 * 1024, 2);
  std::tie(shown, exit) = OnTerminal({Zk27(), "-q", "--image", card_, "put", pc_ + "/big2.mp3"}, "");
  EXPECT_EQ(exit, 0) << shown;
  EXPECT_TRUE(shown.empty()) << "-q still showed: " << shown;
}

// towav writes the format and the rate asked for; a WAV file renamed .voc
// is refused by name, and the rest of the run goes on.
TEST_F(cli_conventions, TowavWritesTheFormatAndRateAsked) {
  Format(4);
  Pc("memo.voc", 1000, 1);  // no voice file header: 4-bit VOX at 8 kHz, 2,000 samples
  ASSERT_EQ(RunProgram({PlayerBin(), "tone", "1", pc_ + "/fake.voc"}, dir_.path()).exit, 0);
  ASSERT_EQ(Z({"put", "memo.voc", "fake.voc"}).exit, 0);
  const std::string out = dir_.Sub("out");

  RunResult r = Z({"towav", "--rate", "16000", "memo.voc"}, out);
  ASSERT_EQ(r.exit, 0) << r;
  const Bytes wav = *ReadFile(out + "/memo.wav");
  EXPECT_EQ(Le32(wav, 24), 16000u) << "the WAV file's rate";
  EXPECT_EQ(Le32(wav, 40), 4000u * 2) << "twice the samples at twice the rate";

  r = Z({"towav", "--format=flac", "-a"}, out);
  EXPECT_EQ(r.exit, 1) << r;
  EXPECT_EQ(r.err,
            "zk27: fake.voc: not a voice recording: it holds another format's sound (WAV, MP3, Ogg or FLAC)\n")
      << r;
  EXPECT_EQ(std::string(ReadText(out + "/memo.flac"), 0, 4), "fLaC");
  EXPECT_FALSE(std::filesystem::exists(out + "/fake.flac"));
  r = Z({"towav", "--format", "ogg", "memo.voc"}, out);
  EXPECT_EQ(r.exit, 0) << r;
  EXPECT_EQ(std::string(ReadText(out + "/memo.ogg"), 0, 4), "OggS");

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"towav", "--format", "mp3", "memo.voc"}, {"towav", "--rate", "0", "memo.voc"},
           {"towav", "--rate", "8k", "memo.voc"}, {"towav", "--format", "flac", "--rate", "700000", "memo.voc"}}) {
    r = Z(bad, out);
    EXPECT_EQ(r.exit, 2) << r;
    EXPECT_TRUE(Holds(r.err, "zk27: " + bad[bad.size() - 3])) << r;  // the option found wrong
  }
}

// Every notice of the engine's has its words in the window and in zk27: a
// notice without its row in a table does not build, and none is left blank.
TEST(cli_conventions_words, EveryNoticeHasItsWordsInBothFrontEnds) {
  for (int i = 0; i < kNoticeCount; ++i) {
    const Notice notice = static_cast<Notice>(i);
    EXPECT_STRNE(msg::WindowText(notice), "") << i;
    EXPECT_NE(PlainWords(notice), "") << i;
  }
  // zk27's words are its own, never the window's text.
  EXPECT_EQ(PlainWords(Notice::kStartNoCard), "there is no card in the player");
  EXPECT_STREQ(msg::WindowText(Notice::kStartNoCard), msg::kStartNoCard);
}

// Every result of an operation has zk27's words in every scene, from the one
// table: a code said the same in two scenes is one row, and a scene that has
// no words of its own for a code says its plain ones.
TEST(cli_conventions_words, EveryResultHasItsWordsInEveryScene) {
  const ResultScene scenes[] = {ResultScene::kSend,      ResultScene::kFetch,         ResultScene::kCare,
                                ResultScene::kFolderPlan, ResultScene::kImagePlan,     ResultScene::kDeviceFault,
                                ResultScene::kBackup,     ResultScene::kImageRefusal,  ResultScene::kRestore,
                                ResultScene::kRestoreFiles, ResultScene::kImport};
  for (int i = kOpOk; i <= kOpPcNameTaken; ++i)
    for (const ResultScene scene : scenes) {
      // Only an image refused because the device failed has no words: the
      // device's state says it.
      const auto result = static_cast<CardOpResult>(i);
      if (ResultWords(result, scene).empty()) {
        EXPECT_TRUE(StatusOf(result) == kExitDevice &&
                    (scene == ResultScene::kImageRefusal || scene == ResultScene::kRestoreFiles))
            << i << " in " << static_cast<int>(scene);
      }
    }
  EXPECT_EQ(ResultWords(kOpDeviceGone, ResultScene::kImageRefusal), "");
  EXPECT_EQ(ResultWords(kOpWrongKind, ResultScene::kRestore, {.pcPath = "a b.img"}),
            ResultWords(kOpWrongKind, ResultScene::kImageRefusal, {.pcPath = "a b.img"}))
      << "a restore refuses an image in the words of the check before it";
  EXPECT_EQ(ResultWords(kOpWrongKind, ResultScene::kSend), "not an MP3 or voice file");
  EXPECT_EQ(ResultWords(kOpWrongKind, ResultScene::kFetch), "not a voice recording");
  EXPECT_EQ(ResultWords(kOpNameTooLong, ResultScene::kCare), ResultWords(kOpNameTooLong, ResultScene::kImagePlan));
  EXPECT_EQ(ResultWords(kOpStopped, ResultScene::kSend), "not sent");
  EXPECT_EQ(ResultWords(kOpNoFileIdLeft, ResultScene::kSend, {.pcPath = "music/memo.voc"}),
            "the card holds 127 voice files already");
  EXPECT_TRUE(ResultWords(kOpDeviceGone, ResultScene::kDeviceFault, {.name = "a.mp3"}).ends_with(" before a.mp3"));
  // A missing library is named as the system loads it.
  EXPECT_NE(ResultWords(kOpNoSoundLibrary, ResultScene::kFetch).find(TvdhSoundLibraryName()), std::string::npos);
}

// zk27 devices on the removable disks beside the players (Windows' card
// readers): only those that could hold a card are shown, each on a line.
TEST(cli_conventions_words, RemovableDisksOfACardsSize) {
  constexpr std::uint64_t kMiB = 1 << 20;
  const platform::RemovableDisk card{"\\\\.\\PhysicalDrive2", 128 * kMiB, "Generic STORAGE DEVICE"};
  const platform::RemovableDisk nameless{"\\\\.\\PhysicalDrive3", 3900 * kMiB, ""};
  const platform::RemovableDisk empty{"\\\\.\\PhysicalDrive4", 0, "Card Reader"};
  const platform::RemovableDisk stick{"\\\\.\\PhysicalDrive5", 16000 * kMiB, "USB Stick"};
  const std::string none = "No removable disk of a card's size (at most 4 GiB) holds a medium.\n";
  const std::string head = "Removable disks of a card's size (zk27 --image PATH, or the drive letter):\n";
  EXPECT_EQ(CardSizedDisks({}), none);
  EXPECT_EQ(CardSizedDisks({empty, stick}), none);
  EXPECT_EQ(CardSizedDisks({empty, card, stick, nameless}),
            head + "  \\\\.\\PhysicalDrive2      128 MiB    Generic STORAGE DEVICE\n"
                   "  \\\\.\\PhysicalDrive3      3.8 GiB    (no name given)\n");
}

}  // namespace
