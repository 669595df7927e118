// The manual pages and bash's completion say what the programs' --help
// says: every command and every option, and the version; and the completion
// works in bash, card names included.
#include "support/cli.h"

using namespace zk27_test;

namespace {

using Names = std::vector<std::string>;

std::string Source(const std::string& relative) { return std::string(ZK27_SOURCE_DIR) + "/" + relative; }

// A manual page as its reader sees the words: no font changes, plain hyphens.
std::string ManText(const std::string& path) {
  std::string text = ReadText(path);
  text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
  text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
  return text;
}

bool HasToken(const std::string& text, const std::string& token) {
  const std::string quoted = std::regex_replace(token, std::regex(R"([.*+?^${}()|\[\]\\])"), R"(\$&)");
  return std::regex_search(text, std::regex("(^|[^A-Za-z0-9-])" + quoted + "($|[^A-Za-z0-9-])"));
}

// The options a help text names: -x and --long-name.
Names OptionsIn(const std::string& help) {
  Names options;
  static const std::regex option(R"((^|[\s\[,|(])(--?[A-Za-z][A-Za-z-]*))");
  for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it) {
    const std::string o = (*it)[2];
    if (std::find(options.begin(), options.end(), o) == options.end()) options.push_back(o);
  }
  return options;
}

class cli_docs : public ImageCliTest {
 protected:
  // The commands `zk27 --help` lists.
  Names Commands() {
    const std::string help = Raw({"--help"}).out;
    const std::string section = help.substr(help.find("Commands:\n"));
    Names commands;
    static const std::regex command(R"(^  ([a-z]+) )");
    for (const std::string& line : Lines(section.substr(0, section.find("\n\n")))) {
      std::smatch m;
      if (std::regex_search(line, m, command)) commands.push_back(m[1]);
    }
    return commands;
  }
};

TEST_F(cli_docs, ManualPagesNameEveryCommandAndOptionOfTheHelp) {
  const std::string man = ManText(Source("docs/zk27.1"));
  const Names commands = Commands();
  ASSERT_GE(commands.size(), 9u);
  for (const std::string& c : commands) EXPECT_TRUE(HasToken(man, c)) << "zk27.1 lacks the command " << c;
  std::size_t options = 0;
  for (const std::string& o : OptionsIn(Raw({"--help"}).out)) {
    EXPECT_TRUE(HasToken(man, o)) << "zk27.1 lacks " << o;
    ++options;
  }
  for (const std::string& c : commands) {
    const RunResult help = Raw({"help", c});
    ASSERT_EQ(help.exit, 0) << help;
    for (const std::string& o : OptionsIn(help.out)) {
      EXPECT_TRUE(HasToken(man, o)) << "zk27.1 lacks " << c << "'s " << o;
      ++options;
    }
  }
  EXPECT_GE(options, 15u) << "the help texts name too few options: is the reading of them broken?";

  const std::string playerHelp = RunProgram({PlayerBin(), "--help"}, dir_.path()).out;
  const std::string playerMan = ManText(Source("docs/zk27-player.1"));
  for (const char* c : {"serve", "ctl", "tone"}) {
    EXPECT_TRUE(HasToken(playerHelp, c)) << c;
    EXPECT_TRUE(HasToken(playerMan, c)) << "zk27-player.1 lacks " << c;
  }
  for (const std::string& o : OptionsIn(playerHelp)) EXPECT_TRUE(HasToken(playerMan, o)) << "zk27-player.1 lacks " << o;

  // Every variable the programs read is in the page's ENVIRONMENT.
  const std::string environment = man.substr(man.find(".SH ENVIRONMENT"), man.find(".SH FILES") - man.find(".SH ENVIRONMENT"));
  std::size_t variables = 0;
  for (const char* folder : {"src", "drivers", "cli", "player"})
    for (const auto& f : std::filesystem::recursive_directory_iterator(Source(folder))) {
      if (!f.is_regular_file()) continue;
      const std::string code = ReadText(f.path().string());
      static const std::regex read(R"re(getenv\("(ZK27_[A-Z_]+)"\))re");
      for (auto it = std::sregex_iterator(code.begin(), code.end(), read); it != std::sregex_iterator(); ++it, ++variables)
        EXPECT_TRUE(HasToken(environment, (*it)[1])) << "zk27.1's ENVIRONMENT lacks " << (*it)[1];
    }
  EXPECT_GE(variables, 3u);

  // The README's summary of the command line lists every command.
  const std::string readme = ReadText(Source("README.md"));
  const std::size_t summary = readme.find("zk27 [OPTION]... COMMAND [ARG]...");
  ASSERT_NE(summary, std::string::npos);
  const std::string block = readme.substr(summary, readme.find("```", summary) - summary);
  for (const std::string& c : commands)
    EXPECT_TRUE(std::regex_search(block, std::regex("\n  " + c + " "))) << "the README's summary lacks " << c;

  // The pages carry the programs' version.
  const std::string version = Raw({"--version"}).out;
  ASSERT_EQ(version.rfind("zk27 ", 0), 0u);
  const std::string number = version.substr(5, version.size() - 6);
  for (const char* page : {"docs/zk27.1", "docs/zk27-player.1"})
    EXPECT_TRUE(Holds(ReadText(Source(page)), "\"zk27 " + number + "\"")) << page << " is not of version " << number;
}

TEST_F(cli_docs, CompletionKnowsEveryCommandAndOption) {
  const std::string script = ReadText(Source("packaging/zk27.bash"));
  for (const std::string& c : Commands()) EXPECT_TRUE(HasToken(script, c)) << "completion lacks " << c;
  for (const std::string& o : OptionsIn(Raw({"--help"}).out)) EXPECT_TRUE(HasToken(script, o)) << o;
  for (const std::string& c : Commands())
    for (const std::string& o : OptionsIn(Raw({"help", c}).out))
      EXPECT_TRUE(HasToken(script, o)) << "completion lacks " << c << "'s " << o;
}

// The completion run in bash: what it offers after the words typed.
TEST_F(cli_docs, CompletionOffersCommandsOptionsAndCardNames) {
  Format(4);
  for (const char* n : {"a.mp3", "my song.mp3", "c.voc"}) Pc(n, 10, 1);
  ASSERT_EQ(Z({"put", "a.mp3", "my song.mp3", "c.voc"}).exit, 0);

  auto offered = [&](const std::string& words) {
    RunOptions o;
    o.env["PATH"] = BinDir() + ":/usr/bin:/bin";
    o.env["ZK27_PLAYER_SOCKET"] = dir_ / "no-player.sock";
    o.cwd = pc_;
    const std::string code = "source '" + Source("packaging/zk27.bash") + "'\nCOMP_WORDS=(" + words +
                             ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_zk27\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    const RunResult r = RunProgram({"/bin/bash", "-c", code}, dir_.path(), o);
    EXPECT_EQ(r.exit, 0) << r;
    Names lines = Lines(r.out);
    lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_EQ(offered("zk27 t"), Names{"towav"});
  EXPECT_EQ(offered("zk27 -v r"), (Names{"restore", "rm"}));
  EXPECT_EQ(offered("zk27 ls --h"), (Names{"--help", "--human-readable"}));
  EXPECT_EQ(offered("zk27 get --a"), Names{"--all"});
  // Card names from the card the line names, quoted for the shell.
  EXPECT_EQ(offered("zk27 --image '" + card_ + "' get ''"), (Names{"a.mp3", "c.voc", "my\\ song.mp3"}));
  EXPECT_EQ(offered("zk27 rm -i '" + card_ + "' m"), Names{"my\\ song.mp3"});
  // towav offers the voice recordings only, order the music only.
  EXPECT_EQ(offered("zk27 --image '" + card_ + "' towav ''"), Names{"c.voc"});
  EXPECT_EQ(offered("zk27 --image '" + card_ + "' order ''"), (Names{"a.mp3", "my\\ song.mp3"}));
  // ls's -h (its sizes) once, though the help is -h elsewhere.
  const Names ls = offered("zk27 ls -");
  EXPECT_EQ(std::count(ls.begin(), ls.end(), "-h"), 1) << ::testing::PrintToString(ls);
  // put offers the PC's MP3 and voice files.
  Pc("notes.txt", 1, 1);
  EXPECT_EQ(offered("zk27 put ''"), (Names{"a.mp3", "c.voc", "my song.mp3"}));
}

}  // namespace
